# The lab's network and its virtual clients, shared by tools/lab/lab.sh and the boot benchmark.
# Source after tests/support/netns.sh; every namespace and process made here is removed when the
# sourcing script exits.
#
#   lab_network              namespace $lab_ns: bridge br0 with $LAB_SERVER/24, tap device tap0
#   lab_mac                  a locally administered MAC for this run
#   lab_client FIRMWARE MAC DIR
#                            boots a QEMU client from the network on tap0: bios (SeaBIOS with its
#                            iPXE ROM, e1000), efi64 (OVMF, virtio-net without option ROM) or arm64
#                            (AAVMF); a 64 MB USB disk DIR/disk.img, console in DIR/serial.log;
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

lab_mac() {
  printf '52:54:00:1a:%02x:%02x' $(( $$ >> 8 & 255 )) $(( $$ & 255 ))
}

lab_client() {
  local firmware=$1 mac=$2 dir=$3 code= vars= nic
  local -a qemu
  case $firmware in
    bios)  qemu=(qemu-system-x86_64 -machine pc) nic=e1000 ;;
    efi64) qemu=(qemu-system-x86_64 -machine q35)
           code=/usr/share/OVMF/OVMF_CODE_4M.fd vars=/usr/share/OVMF/OVMF_VARS_4M.fd
           # No option ROM: the firmware's own PXE stack boots, as on a real UEFI machine.
           nic=virtio-net-pci,romfile= ;;
    arm64) qemu=(qemu-system-aarch64 -machine virt -cpu cortex-a57)
           code=/usr/share/AAVMF/AAVMF_CODE.fd vars=/usr/share/AAVMF/AAVMF_VARS.fd
           nic=virtio-net-pci,romfile= ;;
    *) echo "lab: unknown firmware $firmware" >&2; return 1 ;;
  esac
  command -v "${qemu[0]}" > /dev/null || { echo "lab: ${qemu[0]} is not installed" >&2; return 1; }
  if [ -n "$code" ]; then
    [ -f "$code" ] || { echo "lab: $code is missing" >&2; return 1; }
    cp "$vars" "$dir/vars.fd"
    qemu+=(-drive "if=pflash,format=raw,readonly=on,file=$code" -drive "if=pflash,format=raw,file=$dir/vars.fd")
  fi
  truncate -s 64M "$dir/disk.img"
  lab_client_start=$(date +%s)
  kiv_bg "$lab_ns" "${qemu[@]}" -m 1536 -display none -monitor none -no-reboot \
    -serial "file:$dir/serial.log" -netdev tap,id=n0,ifname=tap0,script=no,downscript=no \
    -device "$nic,netdev=n0,mac=$mac" -boot n \
    -device qemu-xhci -device usb-storage,drive=d0 -drive "if=none,id=d0,file=$dir/disk.img,format=raw" \
    > "$dir/qemu.log" 2>&1
  lab_client_pid=$KIV_LAST_PID
}
