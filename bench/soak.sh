#!/usr/bin/env bash
# Soak: rounds of a swarm against one kivpxe process for MINUTES (default 60), N clients a round
# (default 50): usage bench/soak.sh [MINUTES] [N]. Each round's clients have new MACs; between
# rounds the table's rows are deleted (the service is stopped, which clears the table, and started
# again through the console, as an operator would). After each round it prints kivpxe's RSS, open
# descriptors and threads; at the end the slope of each per round (least squares) and whether
# every round completed. Needs root (network namespaces). KIV_KIVPXE runs another kivpxe binary.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
export KIV_SOURCE_DIR=$top KIV_BINARY_DIR=${KIV_BINARY_DIR:-$top/build}
minutes=${1:-60} n=${2:-50}
. "$top/tests/support/netns.sh"
kiv_require_root
. "$top/tools/swarm/swarm-lib.sh"
bin=${KIV_KIVPXE:-$KIV_BINARY_DIR/server/app/kivpxe}
work=$(mktemp -d /tmp/kiv-soak.XXXXXX)
chmod 755 "$work"
trap 'kiv_cleanup; [ -n "${KIV_KEEP:-}" ] || rm -rf "$work"' EXIT
die() { echo "soak: $*"; grep -v '^CLIENT' "$work/out" 2>/dev/null | tail -n 20; exit 1; }

# New MACs each round take new leases (leases outlive rows): a pool of 30,000 addresses, all of
# 10.88.4.0 - 10.88.127.255 local to the clients' namespace.
pool=30000
swarm_network || die "no network"
for net in 10.88.8.0/21 10.88.16.0/20 10.88.32.0/19 10.88.64.0/18; do
  ip -n "$swarm_ns_c" route add local "$net" dev vc || die "no route for $net"
done
swarm_datadir "$work/data" "$pool" || die "no data directory"
kiv_bg "$swarm_ns_s" "$bin" --data-dir "$work/data" > "$work/out" 2>&1
pid=$KIV_LAST_PID
started() { [ "$(grep -c '^SERVICE started' "$work/out")" -ge "$1" ]; }
kiv_wait_for 60 started 1 || die "kivpxe did not start"
ctl() { ip netns exec "$swarm_ns_s" "$bin" ctl --data-dir "$work/data" "$@" > /dev/null; }
threads() { ls "/proc/$1/task" | wc -l; }

end=$((SECONDS + 60 * minutes)) round=0 incomplete=0
: > "$work/rounds"
printf "%5s %7s %9s %10s %6s %8s\n" round seconds finished "RSS(kB)" fds threads
while [ "$SECONDS" -lt "$end" ]; do
  round=$((round + 1)) t0=$SECONDS
  swarm_run --count "$n" --rate 25 --timeout 300 --mac-prefix 02:5e --first-index $((round * n)) \
    --json "$work/round.json" > "$work/round.txt" 2>&1
  finished=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["finished"])' \
    "$work/round.json" 2>/dev/null || echo 0)
  [ "$finished" = "$n" ] || { incomplete=$((incomplete + 1)); tail -n 3 "$work/round.txt"; }
  # The rows go: a stop clears the table (and the per-client files), a start begins the next round.
  ctl stop || die "round $round: the console did not take the stop"
  kiv_wait_for 60 bash -c "[ \$(grep -c '^SERVICE stopped' '$work/out') -ge $round ]" ||
    die "round $round: the service did not stop"
  ctl start || die "round $round: the console did not take the start"
  kiv_wait_for 60 started $((round + 1)) || die "round $round: the service did not start again"
  kill -0 "$pid" 2>/dev/null || die "kivpxe exited in round $round"
  line="$round $((SECONDS - t0)) $finished $(swarm_rss "$pid") $(swarm_fds "$pid") $(threads "$pid")"
  echo "$line" >> "$work/rounds"
  printf "%5s %7s %9s %10s %6s %8s\n" $line
done
python3 - "$work/rounds" "$incomplete" <<'PY'
import sys
rows = [list(map(float, l.split())) for l in open(sys.argv[1]) if l.strip()]
def slope(col):
    xs = [r[0] for r in rows]; ys = [r[col] for r in rows]
    if len(rows) < 2:
        return float("nan")
    mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sum((x - mx) ** 2 for x in xs)
# The first rounds warm the heap and the thread pools up; the slope is taken after them.
total = len(rows)
rows = rows[2:] if len(rows) > 6 else rows
print("SOAK rounds=%d (slopes over the last %d) incomplete=%s RSS %.1f kB/round, descriptors "
      "%.3f/round, threads %.3f/round" % (total, len(rows), sys.argv[2], slope(3), slope(4), slope(5)))
PY
[ "$incomplete" = 0 ]
