#!/usr/bin/env bash
# DHCP through a link that drops 5 % or 20 % of the frames each way, delays them 50 ms and
# reorders some: headless kivpxe behind each link, a swarm of PXE clients (DHCP only) in front,
# which resend their DISCOVER and REQUEST as firmware does. Every client ends with its own lease,
# and the link really dropped DHCP traffic on the way. Prints the DISCOVER -> ACK percentiles.
set -uo pipefail
. "$KIV_SOURCE_DIR/tests/load/load-lib.sh"
. "$KIV_SOURCE_DIR/tests/support/lossy.sh"
load_test_begin loss-dhcp
[ -c /dev/net/tun ] || { echo "SKIP: no /dev/net/tun"; exit 77; }
n=20
losses=(5 20)
fail() { echo "FAIL: $*"; exit 1; }

pids=()
for loss in "${losses[@]}"; do
  kiv_lossy_net "net$loss" "ldhcp$loss" "$SWARM_SERVER/16" 10.88.0.2/16 "$work/link$loss" \
    --loss "$loss" --delay 50 --reorder 10 --seed "$loss" || fail "no lossy link"
  s=net${loss}_s c=net${loss}_c
  swarm_ns_s=${!s}
  # One data directory made, copied for the other server.
  if [ ! -d "$work/data" ]; then swarm_datadir "$work/data" "$n" || fail "no data directory"; fi
  cp -a "$work/data" "$work/data$loss"
  swarm_kivpxe "$work/data$loss" "$work/out$loss" || fail "kivpxe did not start behind $loss % loss"
  ip netns exec "${!c}" python3 "$KIV_SOURCE_DIR/tools/swarm/swarm.py" --iface lc \
    --server "$SWARM_SERVER" --count "$n" --rate 10 --dhcp-only --retries 2 --timeout 150 \
    --mac-prefix "$(printf '02:%02d' "$loss")" --json "$work/swarm$loss.json" > "$work/swarm$loss.txt" 2>&1 &
  pids+=($!)
done
status=()
for pid in "${pids[@]}"; do wait "$pid"; status+=($?); done

for i in "${!losses[@]}"; do
  loss=${losses[$i]}
  kiv_lossy_stats "net$loss"
  [ "${status[$i]}" -eq 0 ] || { cat "$work/swarm$loss.txt"; fail "not every client got its lease through $loss % loss"; }
  python3 - "$work/link$loss" "$work/swarm$loss.json" "$loss" <<'PY' || fail "through $loss % loss"
import json, sys
links, swarm = json.load(open(sys.argv[1]))["links"], json.load(open(sys.argv[2]))
d = swarm["phases"]["dhcp"]
if swarm["distinct_leases"] != swarm["clients"]:
    sys.exit("%d distinct leases for %d clients" % (swarm["distinct_leases"], swarm["clients"]))
print("%s %% loss: %d clients leased, DISCOVER -> ACK p50 %.0f ms, p90 %.0f ms, max %.0f ms; "
      "link dropped %d to the server, %d to the clients" % (
          sys.argv[3], swarm.get("finished", 0), d["p50"], d["p90"], d["max"],
          links["to_server"]["dropped"], links["to_client"]["dropped"]))
if not (links["to_server"]["dropped"] and links["to_client"]["dropped"]):
    sys.exit("the link dropped nothing in one direction")
PY
done
echo "ok: every client leased through the losses"
