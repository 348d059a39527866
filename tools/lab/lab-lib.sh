# The lab's network and its virtual clients, shared by tools/lab/lab.sh and the boot benchmark.
# Source after tests/support/netns.sh and tests/support/qemu.sh; every namespace and process
# made here is removed when the sourcing script exits.
#
#   lab_network [MODE]       namespace $lab_ns: bridge br0 with $LAB_SERVER/24, tap device tap0.
#                            MODE proxy: a site namespace $lab_site_ns on br0 at $LAB_SITE (for
#                            the site's DHCP server, lab_site_dhcp). MODE relay: tap0 sits on a
#                            second bridge br1 (the far subnet $LAB_FAR.0/24), joined to br0 by a
#                            router namespace $lab_router_ns that forwards and relays DHCP
#                            (lab_relay); br0's side routes the far subnet through it.
#   lab_site_dhcp DIR        the site's DHCP server: Debian's dnsmasq handing out addresses only
#                            ($LAB_SITE_RANGE, no boot options), leases in DIR/site.leases
#   lab_relay DIR            dnsmasq's DHCP relay in the router, to $LAB_SERVER; log DIR/relay.log
#   lab_lossy PCT STATS      puts the client's tap0 behind tests/support/lossy_link.py, which
#                            drops PCT % of the frames each way, delays them 50 ms and reorders
#                            10 %; its counts go to STATS when it is ended ($lab_link_pid)
#   lab_mac                  a locally administered MAC for this run
#   lab_show_server_logs     on failure: the tail of kivpxe's output ($work/kivpxe.out) and of its
#                            newest log in $datadir/log
#   lab_client FIRMWARE MAC DIR
#                            boots a QEMU client (kiv_qemu_machine) from the network on tap0
#                            with a 64 MB USB disk DIR/disk.img, its console in DIR/serial.log;
#                            its pid in $lab_client_pid, its start time in $lab_client_start

LAB_SERVER=10.215.0.1
LAB_SITE=10.215.0.2
LAB_SITE_RANGE=10.215.0.200,10.215.0.250
LAB_ROUTER=10.215.0.254
LAB_FAR=10.216.0

lab_network() {
  local mode=${1:-plain} client_bridge=br0
  kiv_netns_new lab_ns lab || return 1
  ip -n "$lab_ns" link add br0 type bridge || return 1
  ip -n "$lab_ns" tuntap add dev tap0 mode tap || return 1
  if [ "$mode" = relay ]; then
    client_bridge=br1
    ip -n "$lab_ns" link add br1 type bridge || return 1
    ip -n "$lab_ns" link set br1 up
  fi
  ip -n "$lab_ns" link set tap0 master "$client_bridge"
  ip -n "$lab_ns" addr add "$LAB_SERVER/24" dev br0
  ip -n "$lab_ns" link set br0 up
  ip -n "$lab_ns" link set tap0 up
  case $mode in
    plain) ;;
    proxy) kiv_netns_new lab_site_ns site && lab_port "$lab_site_ns" site0 br0 "$LAB_SITE/24" ;;
    relay) kiv_netns_new lab_router_ns router &&
           lab_port "$lab_router_ns" near0 br0 "$LAB_ROUTER/24" &&
           lab_port "$lab_router_ns" far0 br1 "$LAB_FAR.1/24" &&
           ip netns exec "$lab_router_ns" sysctl -qw net.ipv4.ip_forward=1 &&
           ip -n "$lab_ns" route add "$LAB_FAR.0/24" via "$LAB_ROUTER" ;;
    *) echo "lab: unknown network mode $mode" >&2; return 1 ;;
  esac
}

# lab_port NS IFNAME BRIDGE ADDR: interface IFNAME with ADDR in namespace NS, its peer on BRIDGE.
lab_port() {
  kiv_veth_pair "$lab_ns" "p$2" - "$1" "$2" "$4" || return 1
  ip -n "$lab_ns" link set "p$2" master "$3"
}

lab_site_dhcp() {
  kiv_bg "$lab_site_ns" dnsmasq --conf-file=/dev/null --no-resolv --no-hosts --port=0 \
    --interface=site0 --bind-interfaces --dhcp-range="$LAB_SITE_RANGE,255.255.255.0,1h" \
    --dhcp-authoritative --dhcp-leasefile="$1/site.leases" --pid-file="$1/site.pid" \
    --log-dhcp -k --log-facility=- > "$1/site.log" 2>&1
}

lab_relay() {
  kiv_bg "$lab_router_ns" dnsmasq --conf-file=/dev/null --no-resolv --no-hosts --port=0 \
    --dhcp-relay="$LAB_FAR.1,$LAB_SERVER" --pid-file="$1/relay.pid" --log-dhcp -k \
    --log-facility=- > "$1/relay.log" 2>&1
}

lab_lossy() {
  local out
  out=$(mktemp)
  kiv_bg "$lab_ns" python3 "$(dirname "${BASH_SOURCE[0]}")/../../tests/support/lossy_link.py" ls lc \
    --loss "$1" --delay 50 --reorder 10 --stats "$2" > "$out"
  lab_link_pid=$KIV_LAST_PID
  kiv_wait_for 10 grep -q READY "$out" || { rm -f "$out"; return 1; }
  rm -f "$out"
  # tap0 and the link's client end share a bridge of their own; its server end joins br0.
  ip -n "$lab_ns" link add brl type bridge || return 1
  ip -n "$lab_ns" link set tap0 nomaster
  ip -n "$lab_ns" link set tap0 master brl
  ip -n "$lab_ns" link set lc master brl
  ip -n "$lab_ns" link set ls master br0
  local dev
  for dev in brl lc ls; do ip -n "$lab_ns" link set "$dev" up; done
}

lab_show_server_logs() {
  [ -f "$work/kivpxe.out" ] && { echo "--- kivpxe"; tail -n 40 "$work/kivpxe.out"; }
  local log; log=$(ls -t "$datadir"/log/*.log 2>/dev/null | head -n 1)
  [ -n "$log" ] && { echo "--- $log"; tail -n 60 "$log"; }
  return 0
}

lab_mac() {
  printf '52:54:00:1a:%02x:%02x' $(( $$ >> 8 & 255 )) $(( $$ & 255 ))
}

lab_client() {
  local firmware=$1 mac=$2 dir=$3
  kiv_qemu_machine "$firmware" || { echo "lab: unknown firmware $firmware" >&2; return 1; }
  [ -z "$KIV_QEMU_MISSING" ] || { echo "lab: $KIV_QEMU_MISSING" >&2; return 1; }
  kiv_qemu_flash "$dir" || return 1
  truncate -s 64M "$dir/disk.img"
  lab_client_start=$(date +%s)
  kiv_bg "$lab_ns" "${KIV_QEMU[@]}" -m 1536 -display none -monitor none -no-reboot \
    -serial "file:$dir/serial.log" -netdev tap,id=n0,ifname=tap0,script=no,downscript=no \
    -device "$KIV_NIC,netdev=n0,mac=$mac" -boot n \
    -device qemu-xhci -device usb-storage,drive=d0 -drive "if=none,id=d0,file=$dir/disk.img,format=raw" \
    > "$dir/qemu.log" 2>&1
  lab_client_pid=$KIV_LAST_PID
}
