#!/usr/bin/env bash
# A room larger than the pool: 30 PXE clients against a pool of 10. Ten clients get distinct
# leases and finish; the other twenty get no offer however often they ask (no row, no file), the
# pool's end is logged once, not once per DISCOVER, and kivpxe keeps running.
set -uo pipefail
. "$KIV_SOURCE_DIR/tests/load/load-lib.sh"
load_test_begin pool
pool=10 n=30
fail() { echo "FAIL: $*"; echo "--- kivpxe"; grep -v '^CLIENT' "$work/out" | tail -n 20; exit 1; }

swarm_network || fail "no network"
swarm_datadir "$work/data" "$pool" || fail "no data directory"
swarm_kivpxe "$work/data" "$work/out" || fail "kivpxe did not start"
# The clients without an address go on asking until the swarm's time is up.
swarm_run --count "$n" --rate 30 --timeout 40 --json "$work/swarm.json" > "$work/swarm.txt"
read -r finished leased distinct < <(python3 -c '
import json, sys
d = json.load(open(sys.argv[1]))
print(d["finished"], d["leases"], d["distinct_leases"])' "$work/swarm.json")
[ "$leased" = "$pool" ] && [ "$distinct" = "$pool" ] ||
  fail "$leased leases ($distinct distinct) for a pool of $pool"
[ "$finished" = "$pool" ] || { tail -n 5 "$work/swarm.txt"; fail "$finished clients finished, $pool had an address"; }
echo "ok: $pool clients leased and finished, $((n - pool)) got no offer"
rows=$(grep -o '^CLIENT [^ ]*' "$work/out" | sort -u | wc -l)
[ "$rows" = "$pool" ] || fail "$rows rows for $pool clients with an address"
files=$(swarm_client_files "$work/data")
[ "$files" -le $((2 * pool)) ] || fail "$files client files for $pool clients"
kiv_wait_for 5 bash -c "cat '$work/data'/log/*.log | grep -qa 'No enough ip resource'" ||
  fail "the pool's end is not logged"
lines=$(cat "$work/data"/log/*.log | grep -ac 'No enough ip resource')
[ "$lines" = 1 ] || fail "the pool's end logged $lines times"
kill -0 "$swarm_pid" || fail "kivpxe exited"
echo "ok: $rows rows, $files client files, the pool's end logged once"
