#!/usr/bin/env bash
# The DHCP service against a real client (busybox udhcpc) inside private network namespaces:
# addresses from the pool, boot file and next server by architecture, the iPXE user class, the
# PXE-only switch, name servers and domain (options 6 and 15) set and unset, proxyDHCP mode with
# port 4011, a client behind dnsmasq's relay, release and "last ip", the lease file, two servers
# on one bridge with the kill signal, and port 67 already served by another program (udhcpd).
set -u
. "$KIV_SOURCE_DIR/tests/support/netns.sh"
kiv_require_root
command -v busybox >/dev/null || { echo "SKIP: busybox is not installed"; exit 77; }
server_bin="$KIV_BINARY_DIR/server/qvDHCP/qvdhcp_testserver"
[ -x "$server_bin" ] || { echo "FAIL: $server_bin not built"; exit 1; }

work=$(mktemp -d "/tmp/kiv-dhcp-$$-XXXXXX")
trap 'kiv_cleanup; rm -rf "$work"' EXIT
failures=0
check() { # check "what" command...
  if "${@:2}"; then echo "ok   - $1"; else echo "FAIL - $1"; failures=$((failures + 1)); fi
}

# The client's script configures the address it got (so RELEASE and renewals can be sent from
# it) and prints what udhcpc learned, one "key=value" per line.
cat >"$work/client.sh" <<'SCRIPT'
#!/bin/sh
echo "event=$1"
case "$1" in
deconfig) ip addr flush dev "$interface" ;;
bound|renew)
  ip addr flush dev "$interface"; ip addr add "$ip/$subnet" dev "$interface"
  echo "ip=$ip"; echo "siaddr=$siaddr"; echo "boot_file=$boot_file"; echo "subnet=$subnet"
  echo "router=$router"; echo "serverid=$serverid"; echo "lease=$lease"
  echo "dns=${dns-}"; echo "domain=${domain-}" ;;
esac
SCRIPT
chmod +x "$work/client.sh"

# run_client ns iface outfile [udhcpc options...]: one bounded attempt (5 DISCOVERs, 1 s apart).
run_client() {
  local ns=$1 ifc=$2 out=$3; shift 3
  timeout 20 ip netns exec "$ns" busybox udhcpc -i "$ifc" -f -q -n -t 5 -T 1 \
    -s "$work/client.sh" "$@" >"$out" 2>&1
}
field() { sed -n "s/^$2=//p" "$1" | tail -n 1; }
has() { grep -qF -- "$2" "$1"; }
field_is() { [ "$(field "$1" "$2")" = "$3" ] || { echo "  $2: '$(field "$1" "$2")' != '$3'"; return 1; }; }

# start_server ns dir log args...: the service in ns, its data directory dir, stdout to log.
start_server() {
  local ns=$1 dir=$2 log=$3; shift 3
  mkdir -p "$dir/conf"
  kiv_bg "$ns" sh -c 'cd "$1" && shift && exec "$@"' sh "$dir" "$server_bin" "$@" >"$log" 2>&1
  kiv_wait_for 10 grep -q "QVDHCP 1.00.00 is running" "$log"
}
stop_server() { # stop_server pid log: SIGTERM and wait for the clean stop
  kill -TERM "$1" 2>/dev/null
  kiv_wait_for 10 grep -q "^STOP result 0x0$" "$2"
}

common=(--mask 255.255.255.0 --router 10.77.0.254 --bios pxelinux.1408.0 --efi grub2.x64efi.all.0)

# ---- One server, one client.
kiv_netns_new ns_s dhcp-s || exit 1
kiv_netns_new ns_c dhcp-c || exit 1
kiv_veth_pair "$ns_s" vs 10.77.0.1/24 "$ns_c" vc - || exit 1
ip -n "$ns_c" link set vc address 52:54:00:77:00:01

log1="$work/server1.log"
check "server starts" start_server "$ns_s" "$work/data1" "$log1" \
  --server 10.77.0.1 --start 10.77.0.100 --count 5 --pxe-only 0 "${common[@]}"
server1=$KIV_LAST_PID

out="$work/plain.out"
run_client "$ns_c" vc "$out"
check "plain client gets the first pool address" field_is "$out" ip 10.77.0.100
check "next server is the server" field_is "$out" siaddr 10.77.0.1
check "BIOS boot file without option 93" field_is "$out" boot_file pxelinux.1408.0
check "mask, router, server id, lease" eval 'field_is "$out" subnet 255.255.255.0 &&
  field_is "$out" router 10.77.0.254 && field_is "$out" serverid 10.77.0.1 &&
  field_is "$out" lease 360000'
check "no name servers or domain when unset" eval 'field_is "$out" dns "" && field_is "$out" domain ""'
check "offer and ack events" eval 'has "$log1" "EVENT 1 mac=52-54-00-77-00-01 ip=10.77.0.100 pxe=0" &&
  has "$log1" "EVENT 2 mac=52-54-00-77-00-01 ip=10.77.0.100"'

out="$work/efi.out"
run_client "$ns_c" vc "$out" -x 0x5d:0007
check "option 93 = 7: same address again" field_is "$out" ip 10.77.0.100
check "option 93 = 7: EFI boot file" field_is "$out" boot_file grub2.x64efi.all.0
check "option 93 = 7: next server" field_is "$out" siaddr 10.77.0.1
check "option 93 = 7: event says PXE and EFI" has "$log1" "pxe=1 efi=1 arch=7"

out="$work/ipxe.out"
run_client "$ns_c" vc "$out" -x 0x5d:0000 -x 0x4d:69505845
check "stock iPXE with another loader tree gets that tree's boot file" \
  field_is "$out" boot_file pxelinux.1408.0

# A long-running bound client renews (SIGUSR1): the request carries ciaddr and the ACK comes
# back by unicast. Then it releases (SIGUSR2), and its next DISCOVER gets the released address
# back through the released table.
out="$work/renew.out"
kiv_bg "$ns_c" busybox udhcpc -i vc -f -t 5 -T 1 -s "$work/client.sh" >"$out" 2>&1
renewer=$KIV_LAST_PID
check "long-running client bound" kiv_wait_for 10 has "$out" "event=bound"
kill -USR1 "$renewer"
check "renewal acknowledged" kiv_wait_for 10 has "$out" "event=renew"
check "renewal logged" has "$log1" "Recv DHCP T1T2 Request from 5254-0077-0001, response DHCP ACK"
kill -USR2 "$renewer"
check "release reaches the server" kiv_wait_for 10 has "$log1" "Recv DHCP Release from client 5254-0077-0001 ip 10.77.0.100"
check "release event" has "$log1" "EVENT 3 mac=52-54-00-77-00-01 ip=10.77.0.100"
kill "$renewer"
out="$work/after_release.out"
run_client "$ns_c" vc "$out"
check "after release: the same address" field_is "$out" ip 10.77.0.100
check "after release: the last ip is used" has "$log1" "Use last ip 10.77.0.100/255.255.255.0"

check "server stops on its own kill signal" stop_server "$server1" "$log1"
check "stop logged the kill signal" has "$log1" "Server recv kill signal"
check "no thread left after stop" has "$log1" "service threads 0"
check "lease file written" grep -q '"mac" : "52-54-00-77-00-01"' "$work/data1/conf/dhcp_db.json"

# ---- Restarted on the same data directory with PXE only: the lease file is recovered; a
# client without option 93 is refused, one with it served, around the remembered address.
log2="$work/server2.log"
ip -n "$ns_c" link set vc address 52:54:00:77:00:02
check "PXE-only server starts" start_server "$ns_s" "$work/data1" "$log2" \
  --server 10.77.0.1 --start 10.77.0.100 --count 5 --pxe-only 1 --ipxe-loader 1 "${common[@]}" \
  --dns 10.77.0.53 --dns 10.77.0.54 --domain lab.example
server2=$KIV_LAST_PID
out="$work/nopxe.out"
run_client "$ns_c" vc "$out"
check "PXE only: plain client gets no address" eval '[ -z "$(field "$out" ip)" ]'
check "PXE only: refusal logged" has "$log2" "Client MAC 52-54-00-77-00-02 is Denied becourse NOPXE."
out="$work/pxe.out"
run_client "$ns_c" vc "$out" -x 0x5d:0009
check "lease file recovered" has "$log2" "recover dhcp db MAC:52-54-00-77-00-01 IP:10.77.0.100"
check "PXE only: option 93 = 9 served with the EFI file, skipping the remembered address" \
  eval 'field_is "$out" ip 10.77.0.101 && field_is "$out" boot_file grub2.x64efi.all.0'
check "name servers and domain as set" eval 'field_is "$out" dns "10.77.0.53 10.77.0.54" &&
  field_is "$out" domain lab.example'
check "remembered address skipped" has "$log2" "IP 10.77.0.100 is in DB, try next"
out="$work/ipxe-tree.out"
run_client "$ns_c" vc "$out" -x 0x5d:0009 -x 0x4d:69505845
check "stock iPXE with the iPXE tree gets its per-client script" \
  field_is "$out" boot_file "tftp://10.77.0.1/ipxe.cfg/01-52-54-00-77-00-02"
check "PXE-only server stops" stop_server "$server2" "$log2"

# ---- proxyDHCP: a PXE client's DISCOVER gets a boot offer without an address, its REQUEST to
# port 4011 the matching ACK; a DISCOVER without the PXEClient vendor class gets nothing.
logp="$work/proxy.log"
ip -n "$ns_c" link set vc address 52:54:00:77:00:03
ip -n "$ns_c" addr flush dev vc
ip -n "$ns_c" addr add 10.77.0.222/24 dev vc  # as the site's server gave it
check "proxy server starts without a pool" start_server "$ns_s" "$work/data_p" "$logp" \
  --server 10.77.0.1 --start 10.77.0.1 --count 1 --proxy 1 "${common[@]}"
serverp=$KIV_LAST_PID
out="$work/proxy.out"
timeout 20 ip netns exec "$ns_c" python3 "$KIV_SOURCE_DIR/server/qvDHCP/qvdhcp_pxe_client.py" \
  vc 52:54:00:77:00:03 10.77.0.222 >"$out" 2>&1
check "proxy offer: no address, PXEClient, discovery control 8, EFI boot file" has "$out" \
  "offer type=2 yiaddr=0.0.0.0 siaddr=10.77.0.1 file=grub2.x64efi.all.0 opt43=060108ff opt60=PXEClient opt54=10.77.0.1"
check "proxy ACK on port 4011" has "$out" \
  "ack type=5 yiaddr=0.0.0.0 siaddr=10.77.0.1 file=grub2.x64efi.all.0 opt43=060108ff opt60=PXEClient opt54=10.77.0.1"
check "proxy: the address learned from the 4011 request" has "$logp" "EVENT 2 mac=52-54-00-77-00-03 ip=10.77.0.222"
out="$work/proxy-novendor.out"
ip -n "$ns_c" link set vc address 52:54:00:77:00:04
timeout 20 ip netns exec "$ns_c" python3 "$KIV_SOURCE_DIR/server/qvDHCP/qvdhcp_pxe_client.py" \
  vc 52:54:00:77:00:04 10.77.0.222 --no-vendor >"$out" 2>&1
check "proxy: no vendor class, no offer" has "$out" "offer none"
check "proxy: no vendor class logged" has "$logp" "Proxy: DISCOVER from 5254-0077-0004 without PXEClient, ignored"
check "proxy server stops" stop_server "$serverp" "$logp"
check "proxy: no lease file" eval '[ ! -s "$work/data_p/conf/dhcp_db.json" ] || ! grep -q "52-54-00-77-00-03" "$work/data_p/conf/dhcp_db.json"'
ip -n "$ns_c" addr flush dev vc

# ---- A client behind a router running dnsmasq's DHCP relay: its address comes from the far
# subnet's pool, its router is the relay, its boot file and next server are ours.
if command -v dnsmasq >/dev/null; then
  kiv_netns_new ns_r dhcp-r || exit 1
  kiv_netns_new ns_f dhcp-f || exit 1
  kiv_veth_pair "$ns_s" vsr 10.77.5.1/24 "$ns_r" rts 10.77.5.254/24 || exit 1
  kiv_veth_pair "$ns_r" rtf 10.88.0.1/24 "$ns_f" cfar - || exit 1
  ip -n "$ns_f" link set cfar address 52:54:00:77:05:01
  ip netns exec "$ns_r" sysctl -qw net.ipv4.ip_forward=1
  ip -n "$ns_s" route add 10.88.0.0/24 via 10.77.5.254
  kiv_bg "$ns_r" dnsmasq --no-daemon --port=0 --dhcp-relay=10.88.0.1,10.77.5.1 \
    --pid-file="$work/relay.pid" --log-dhcp >"$work/relay.log" 2>&1
  logr="$work/server_relay.log"
  check "relay-serving server starts" start_server "$ns_s" "$work/data_r" "$logr" \
    --server 10.77.5.1 --start 10.88.0.100 --count 5 --pxe-only 0 --relay 1 \
    --mask 255.255.255.0 --bios pxelinux.1408.0 --efi grub2.x64efi.all.0
  serverr=$KIV_LAST_PID
  out="$work/relayed.out"
  run_client "$ns_f" cfar "$out"
  check "relayed client: address from the far pool, the relay as router" eval \
    'field_is "$out" ip 10.88.0.100 && field_is "$out" router 10.88.0.1 &&
     field_is "$out" siaddr 10.77.5.1 && field_is "$out" boot_file pxelinux.1408.0'
  check "relayed client: offer event" has "$logr" "EVENT 1 mac=52-54-00-77-05-01 ip=10.88.0.100"
  check "relay-serving server stops" stop_server "$serverr" "$logr"
else
  echo "note: dnsmasq is not installed, relay case skipped"
fi

# ---- Stop right after start, many times over: every stop finds the thread's socket.
log5="$work/cycles.log"
(cd "$work" && timeout 30 ip netns exec "$ns_s" "$server_bin" --server 10.77.0.1 \
  --start 10.77.0.100 --count 5 --cycles 25 >"$log5" 2>&1)
check "25 immediate start/stop cycles" eval '[ "$(grep -c "start 0x0 stop 0x0" "$log5")" -eq 25 ] &&
  has "$log5" "service threads 0"'

# ---- A server address that no interface holds.
log4="$work/server4.log"
(cd "$work" && timeout 20 ip netns exec "$ns_s" "$server_bin" --server 10.77.9.9 \
  --start 10.77.9.100 --count 5 >"$log4" 2>&1)
check "foreign server address: start fails, no thread" eval 'has "$log4" "START result 0x5001" &&
  has "$log4" "service threads 0" && has "$log4" "No interface holds the server address 10.77.9.9"'

# ---- Port 67 already served on the interface by another program.
cat >"$work/udhcpd.conf" <<CONF
interface vs
start 10.77.0.200
end 10.77.0.210
lease_file $work/udhcpd.leases
pidfile $work/udhcpd.pid
CONF
touch "$work/udhcpd.leases"
kiv_bg "$ns_s" busybox udhcpd -f "$work/udhcpd.conf" >"$work/udhcpd.log" 2>&1
kiv_wait_for 5 eval 'ip netns exec "$ns_s" ss -uln | grep -q ":67 "'
log3="$work/server3.log"
(cd "$work" && timeout 20 ip netns exec "$ns_s" "$server_bin" --server 10.77.0.1 \
  --start 10.77.0.100 --count 5 "${common[@]}" >"$log3" 2>&1)
rc=$?
check "port taken: start fails with QV_ERR_PORT_IN_USE and no thread" eval 'has "$log3" "START result 0x500f" && has "$log3" "service threads 0"'
check "port taken: logged" has "$log3" "DHCP port in use"
check "port taken: the test server exits with failure" [ "$rc" -eq 1 ]

# ---- Two servers on one bridge: stopping one leaves the other serving.
kiv_netns_new ns_b dhcp-b || exit 1
kiv_netns_new ns_a dhcp-a || exit 1
kiv_netns_new ns_d dhcp-d || exit 1
ip -n "$ns_b" link add br0 type bridge && ip -n "$ns_b" link set br0 up
kiv_veth_pair "$ns_a" va 10.77.1.1/24 "$ns_b" pa - || exit 1
kiv_veth_pair "$ns_d" vd 10.77.1.2/24 "$ns_b" pd - || exit 1
kiv_veth_pair "$ns_c" vc2 - "$ns_b" pc - || exit 1
for p in pa pd pc; do ip -n "$ns_b" link set "$p" master br0; done
ip -n "$ns_c" link set vc2 address 52:54:00:77:01:01

loga="$work/server_a.log" logd="$work/server_d.log"
check "server A starts" start_server "$ns_a" "$work/data_a" "$loga" \
  --server 10.77.1.1 --start 10.77.1.100 --count 5 --pxe-only 0 "${common[@]}"
server_a=$KIV_LAST_PID
check "server D starts" start_server "$ns_d" "$work/data_d" "$logd" \
  --server 10.77.1.2 --start 10.77.1.150 --count 5 --pxe-only 0 "${common[@]}"
server_d=$KIV_LAST_PID
check "server A stops" stop_server "$server_a" "$loga"
check "A received its own kill signal" has "$loga" "Server recv kill signal"
check "D ignored A's kill signal" eval 'kiv_wait_for 5 has "$logd" "The kill signal is from another server, ignore it."'
out="$work/bridge.out"
run_client "$ns_c" vc2 "$out"
check "D still serves after A stopped" eval 'field_is "$out" serverid 10.77.1.2 &&
  field_is "$out" ip 10.77.1.150'
check "server D stops" stop_server "$server_d" "$logd"

if [ "$failures" -ne 0 ]; then
  for f in "$work"/*.log "$work"/*.out; do echo "==== $f"; cat "$f"; done
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
