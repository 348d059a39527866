#!/usr/bin/env bash
# A kill -9 right after the last ACK of a burst of new clients: every address a client holds is
# in the lease database, so no restart can hand it out again.
# Then kill -9 at random moments while a swarm of clients boots (KIV_CRASH_KILLS times, default 5),
# restarting kivpxe on the same data directory each time: the settings and the lease database
# always parse, no lease saved before a kill is lost, no temporary file is left after a restart,
# the instance lock is free again (the restart starts), the swarm's clients retry through the
# kills and finish, and a last swarm of new clients finishes too.
set -uo pipefail
. "$KIV_SOURCE_DIR/tests/load/load-lib.sh"
load_test_begin crash
kills=${KIV_CRASH_KILLS:-5} n=20
fail() { echo "FAIL: $*"; tail -n 20 "$work/out"; exit 1; }
leases() {
  python3 - "$work/data/conf/dhcp_db.json" <<'PY'
import json, sys
try:
    d = json.load(open(sys.argv[1]))
except FileNotFoundError:
    d = {"list": []}
for item in d["list"]:
    print(item["mac"], item["ip"])
PY
}

swarm_network || fail "no network"
swarm_datadir "$work/data" $((3 * n)) || fail "no data directory"
swarm_kivpxe "$work/data" "$work/out" || fail "kivpxe did not start"
swarm_run --count "$n" --rate 1000 --timeout 60 --dhcp-only --mac-prefix 02:5d \
  --json "$work/acked.json" > /dev/null || fail "the burst of new clients did not get leases"
kill -9 "$swarm_pid"
wait "$swarm_pid" 2>/dev/null
awk '{print $1, $2}' "$work/acked.json.clients" | sort > "$work/acked"
leases | sort > "$work/kept"
lost=$(comm -23 "$work/acked" "$work/kept")
[ -z "$lost" ] || fail "$(echo "$lost" | wc -l) leases acknowledged before the kill are not on disk, e.g. $(echo "$lost" | head -n 1)"
echo "ok: the $n leases acknowledged just before a kill -9 are all on disk"
# One swarm runs through all the kills: its clients retry against each restarted server.
swarm_kivpxe "$work/data" "$work/out" || fail "kivpxe did not start"
swarm_run --count "$n" --rate 5 --timeout 300 --retries 30 > "$work/swarm.txt" 2>&1 &
KIV_PID_LIST+=($!)
swarm=$!
for round in $(seq "$kills"); do
  sleep "$(python3 -c 'import random; print(round(random.uniform(0.3, 3.0), 2))')"
  kill -9 "$swarm_pid"
  wait "$swarm_pid" 2>/dev/null
  # The lease database exists once a lease was saved; what exists must parse.
  for f in "$work/data/conf/orv.json" "$work/data/conf/dhcp_db.json"; do
    [ -f "$f" ] || [ "${f##*/}" = dhcp_db.json ] || fail "round $round: $f is missing"
    [ ! -f "$f" ] || python3 -c 'import json,sys; json.load(open(sys.argv[1]))' "$f" ||
      fail "round $round: $f does not parse"
  done
  leases | sort > "$work/now"
  missing=$(comm -23 "$work/kept" "$work/now")
  [ -z "$missing" ] || fail "round $round: saved leases lost: $missing"
  cp "$work/now" "$work/kept"
  swarm_kivpxe "$work/data" "$work/out" || fail "round $round: kivpxe did not restart (instance lock?)"
  ls "$work/data/conf" | grep -q '\.tmp\.' && fail "round $round: a temporary file was left in conf/"
  echo "ok: round $round killed and restarted; $(wc -l < "$work/now") leases kept"
done
wait "$swarm" || { tail -n 15 "$work/swarm.txt"; fail "clients of the swarm that ran through the kills did not finish"; }
grep '^SWARM clients' "$work/swarm.txt"
kill -9 "$swarm_pid"
wait "$swarm_pid" 2>/dev/null
swarm_kivpxe "$work/data" "$work/out" || fail "kivpxe did not start after the last kill"
ls "$work/data/conf" | grep -q '\.tmp\.' && fail "a temporary file was left in conf/"
swarm_run --count "$n" --rate 20 --timeout 120 --mac-prefix 02:5c > "$work/swarm.txt" ||
  { cat "$work/swarm.txt"; fail "the swarm after the kills did not finish"; }
echo "ok: after $kills kills every file parsed, no lease lost, and $n new clients finished"
