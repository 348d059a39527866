#!/usr/bin/env bash
# The DHCP service's router advertisements (--ipv6-ra) on a veth pair between private network
# namespaces: Debian's rdisc6 solicits as a host does and must hear an advertisement that makes no
# one a router (lifetime 0, M/O clear, no prefix), and none while the switch is off; solicitations
# a router must drop (routed, wrong code, bad option, too short) get nothing; a flood is answered
# at a bounded rate and the service keeps answering afterwards.
set -u
. "$KIV_SOURCE_DIR/tests/support/netns.sh"
kiv_require_root
command -v rdisc6 >/dev/null || { echo "SKIP: rdisc6 is not installed (package ndisc6)"; exit 77; }
server_bin="$KIV_BINARY_DIR/server/qvDHCP/qvdhcp_testserver"
solicit="$KIV_SOURCE_DIR/server/qvDHCP/qvdhcp_ra_solicit.py"
[ -x "$server_bin" ] || { echo "FAIL: $server_bin not built"; exit 1; }

work=$(mktemp -d "/tmp/kiv-ra-$$-XXXXXX")
trap 'kiv_cleanup; rm -rf "$work"' EXIT
failures=0
check() { # check "what" command...
  if "${@:2}"; then echo "ok   - $1"; else echo "FAIL - $1"; failures=$((failures + 1)); fi
}

kiv_netns_new ns_s ra-s || exit 1
kiv_netns_new ns_c ra-c || exit 1
# No duplicate address detection: the link-local addresses are usable at once.
for ns in "$ns_s" "$ns_c"; do
  ip netns exec "$ns" sysctl -qw net.ipv6.conf.default.accept_dad=0 net.ipv6.conf.all.accept_dad=0
done
kiv_veth_pair "$ns_s" vs 10.78.0.1/24 "$ns_c" vc - || exit 1
kiv_wait_for 10 sh -c "ip -n $ns_c -6 addr show dev vc scope link | grep -q inet6" || exit 1

# start_server log args...: the service in the server namespace, stdout to log.
start_server() {
  local log=$1; shift
  mkdir -p "$work/data/conf"
  kiv_bg "$ns_s" sh -c 'cd "$1" && shift && exec "$@"' sh "$work/data" "$server_bin" \
    --server 10.78.0.1 --start 10.78.0.100 --count 5 --pxe-only 0 "$@" >"$log" 2>&1
  kiv_wait_for 10 grep -q "QVDHCP 1.00.00 is running" "$log"
}
rdisc() { timeout 10 ip netns exec "$ns_c" rdisc6 -1 -r 2 -w 700 vc > "$1" 2>&1; }

# ---- Off: nobody answers.
check "service starts without advertisements" start_server "$work/off.log"
server=$KIV_LAST_PID
rdisc "$work/off.out"
check "no advertisement while ipv6_ra is off" grep -q "No response" "$work/off.out"
kill -TERM "$server"
kiv_wait_for 10 grep -q "^STOP result 0x0$" "$work/off.log" || { echo "FAIL: no clean stop"; exit 1; }

# ---- On: rdisc6 hears an advertisement that makes no one a router.
check "service starts with advertisements" start_server "$work/on.log" --ipv6-ra 1
server=$KIV_LAST_PID
check "advertisements announced on the interface" kiv_wait_for 5 grep -q "lifetime 0) on vs" "$work/on.log"
rdisc "$work/on.out"
cat "$work/on.out"
check "router lifetime 0" grep -Eq "Router lifetime +: +0 \(0x0+\) seconds" "$work/on.out"
check "no stateful address or other configuration" eval \
  'grep -Eq "Stateful address conf\. +: +No" "$work/on.out" && grep -Eq "Stateful other conf\. +: +No" "$work/on.out"'
check "no prefix, no MTU" eval '! grep -Eq "Prefix|MTU" "$work/on.out"'
server_ll=$(ip -n "$ns_s" -6 addr show dev vs scope link | sed -n 's/.*inet6 \([^/]*\).*/\1/p')
check "from the server's link-local address" grep -q "from $server_ll" "$work/on.out"

# ---- What a router must drop, and a valid one as the control.
sol() { timeout 10 ip netns exec "$ns_c" python3 "$solicit" vc "$@"; }
for kind in hop64 code1 optlen0 short; do
  sol "$kind" > "$work/$kind.out"
  check "$kind solicitation gets nothing" grep -qx "adverts 0" "$work/$kind.out"
done
sol valid > "$work/valid.out"
check "a valid solicitation is answered with hop limit 255, lifetime 0, nothing else" \
  grep -q "advert hops=255 flags=0 lifetime=0 reachable=0 retrans=0 options=0 from=$server_ll" "$work/valid.out"

# ---- A flood of 400 at once draws at most the burst and what the rate refills in its 2 s.
sleep 2
sol valid 400 > "$work/flood.out"
heard=$(sed -n 's/^adverts //p' "$work/flood.out")
check "flood answered at a bounded rate ($heard of 400)" test "${heard:-0}" -ge 1 -a "${heard:-99}" -le 20
sleep 3
sol valid > "$work/after.out"
check "still answering after the flood" grep -qx "adverts 1" "$work/after.out"
check "dropped solicitations are logged with a reason" grep -q "dropped: hop limit not 255" "$work/on.log"
kill -TERM "$server"
check "clean stop" kiv_wait_for 10 grep -q "^STOP result 0x0$" "$work/on.log"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; tail -n 30 "$work/on.log"; exit 1; }
echo "all checks passed"
