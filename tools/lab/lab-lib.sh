# The lab's network and its virtual clients, shared by tools/lab/lab.sh and the boot benchmark.
# Source after tests/support/netns.sh and tests/support/qemu.sh; every namespace and process
# made here is removed when the sourcing script exits.
#
#   lab_network              namespace $lab_ns: bridge br0 with $LAB_SERVER/24, tap device tap0
#   lab_lossy PCT STATS      puts the client's tap0 behind tests/support/lossy_link.py, which
#                            drops PCT % of the frames each way, delays them 50 ms and reorders
#                            10 %; its counts go to STATS when it is ended ($lab_link_pid)
#   lab_mac                  a locally administered MAC for this run
#   lab_client FIRMWARE MAC DIR
#                            boots a QEMU client (kiv_qemu_machine) from the network on tap0
#                            with a 64 MB USB disk DIR/disk.img, its console in DIR/serial.log;
#                            its pid in $lab_client_pid, its start time in $lab_client_start

LAB_SERVER=10.215.0.1

lab_network() {
  kiv_netns_new lab_ns lab || return 1
  ip -n "$lab_ns" link add br0 type bridge || return 1
  ip -n "$lab_ns" tuntap add dev tap0 mode tap || return 1
  ip -n "$lab_ns" link set tap0 master br0
  ip -n "$lab_ns" addr add "$LAB_SERVER/24" dev br0
  ip -n "$lab_ns" link set br0 up
  ip -n "$lab_ns" link set tap0 up
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
  ip -n "$lab_ns" link add br1 type bridge || return 1
  ip -n "$lab_ns" link set tap0 nomaster
  ip -n "$lab_ns" link set tap0 master br1
  ip -n "$lab_ns" link set lc master br1
  ip -n "$lab_ns" link set ls master br0
  local dev
  for dev in br1 lc ls; do ip -n "$lab_ns" link set "$dev" up; done
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
