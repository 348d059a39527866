#!/usr/bin/env bash
# A swarm of KIV_SWARM_N (default 50) PXE clients, half BIOS half UEFI, against headless kivpxe:
# every client gets a distinct lease, downloads its boot file and menu over TFTP, kernel and
# initrd over HTTP, reports and finishes; kivpxe shows exactly one row per client, each through
# its statuses in order; its descriptors return to their idle count and its RSS stays small; then
# clients that ask for their menu the moment their ACK is in find it already written.
set -uo pipefail
. "$KIV_SOURCE_DIR/tests/load/load-lib.sh"
load_test_begin swarm
n=${KIV_SWARM_N:-50}
fail() { echo "FAIL: $*"; echo "--- kivpxe"; grep -v '^CLIENT' "$work/out" | tail -n 30; exit 1; }

swarm_network || fail "no network"
swarm_datadir "$work/data" $((n + 10)) || fail "no data directory"
swarm_kivpxe "$work/data" "$work/out" || fail "kivpxe did not start"
sleep 1
idle_fds=$(swarm_fds "$swarm_pid") idle_rss=$(swarm_rss "$swarm_pid")

swarm_run --count "$n" --rate 25 --timeout 240 --json "$work/swarm.json" || {
  cat "$work/swarm.json"; fail "not every client finished"; }
echo "ok: $n clients finished"
leases=$(awk '{print $2}' "$work/swarm.json.clients" | sort -u | grep -vc '^-$')
[ "$leases" = "$n" ] || fail "$leases distinct leases for $n clients"
echo "ok: $n distinct leases"
kiv_wait_for 10 bash -c "[ \$(grep -c '^CLIENT .* Install Finished' '$work/out') -ge $n ]" ||
  fail "not every row reads Install Finished"
swarm_check_rows "$work/out" "$n" || fail "rows"
kiv_wait_for 20 bash -c "[ \$(ls /proc/$swarm_pid/fd | wc -l) -le $idle_fds ]" ||
  fail "descriptors: $(swarm_fds "$swarm_pid") after the swarm, $idle_fds idle"
rss=$(swarm_rss "$swarm_pid")
echo "ok: descriptors back to $idle_fds; RSS ${idle_rss} kB idle, ${rss} kB after"
[ "$rss" -lt 102400 ] || fail "RSS $rss kB"
kill -0 "$swarm_pid" || fail "kivpxe exited"
# Clients that ask for their menu the moment their ACK is in find it written.
swarm_run --count 10 --rate 50 --timeout 120 --menu-first --mac-prefix 02:5f --json "$work/first.json" \
  > "$work/first.txt" || { tail -n 5 "$work/first.txt"; fail "a menu asked for right after the ACK was missing"; }
echo "ok: 10 menus asked for right after the ACK were there"
