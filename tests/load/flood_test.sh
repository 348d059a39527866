#!/usr/bin/env bash
# 20,000 spoofed MACs DISCOVER and RELEASE against kivpxe with a 20-address pool: rows of
# clients that never took their offer stay bounded (four times the pool) and age out with the
# offer, no per-client file is written for them, and a fresh client is still served. Prints the
# rows, files, RSS and a fresh client's DISCOVER -> ACK time after the flood
# (KIV_FLOOD_MACS changes the count; KIV_KIVPXE runs another kivpxe binary).
set -uo pipefail
. "$KIV_SOURCE_DIR/tests/load/load-lib.sh"
load_test_begin flood
macs=${KIV_FLOOD_MACS:-20000} pool=20
fail() { echo "FAIL: $*"; echo "--- kivpxe"; grep -v '^CLIENT' "$work/out" | tail -n 20; exit 1; }

swarm_network || fail "no network"
swarm_datadir "$work/data" "$pool" || fail "no data directory"
swarm_kivpxe "$work/data" "$work/out" || fail "kivpxe did not start"
sleep 1
echo "idle: RSS $(swarm_rss "$swarm_pid") kB"
swarm_run --flood "$macs" --mac-prefix 02:66 --rate 4000 || fail "flood"
rows_flood=$(grep -o '^CLIENT [^ ]*' "$work/out" | sort -u | wc -l)
# The offers age 10 s after they were made; the table sweeps each 100 ms.
sleep 12
swarm_run --count 3 --rate 10 --mac-prefix 02:67 --timeout 120 --json "$work/fresh.json" > "$work/fresh.txt" ||
  { cat "$work/fresh.txt"; fail "fresh clients not served after the flood"; }
rows=$(swarm_logged_rows "$work/data")
files=$(swarm_client_files "$work/data")
rss=$(swarm_rss "$swarm_pid")
answer=$(python3 -c 'import json,sys; print("%.1f" % json.load(open(sys.argv[1]))["phases"]["dhcp"]["p50"])' "$work/fresh.json")
echo "after $macs spoofed MACs: rows shown $rows_flood, rows left $rows (+3 fresh), client files $files, RSS $rss kB, fresh DISCOVER->ACK p50 $answer ms"
[ "$rows_flood" -le $((4 * pool + 10)) ] || fail "$rows_flood rows during the flood (limit $((4 * pool)))"
[ "${rows:-99999}" -le 2 ] || fail "$rows rows of the flood left after the offers aged"
[ "$files" -le 6 ] || fail "$files client files: written at offers, not only for the 3 clients that took theirs"
grep -c "never took it" "$work/data"/log/*.log | awk -F: '{s+=$NF} END {exit !(s == 1)}' ||
  fail "not exactly one log line for the full table"
echo "ok: the table stayed bounded, the offers aged, files only for clients that took their lease"
