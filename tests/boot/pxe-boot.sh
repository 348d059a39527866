#!/usr/bin/env bash
# Boots a real PXE client (QEMU with SeaBIOS, OVMF or AAVMF) against one loader tree of a data
# directory made by tools/make-datadir.sh, inside a private network namespace. The DHCP/TFTP
# server is chosen by KIV_BOOT_SERVER: dnsmasq (the default, a reference peer) or kivpxe (our own
# DHCP and TFTP services through their test drivers). KIV_BOOT_CASE="<loader> <firmware>":
#   loader   pxelinux | pxelinux2048 | lpxelinux | grub2 | ipxe | ipxe-grub (iPXE chaining
#            grub_chain_xen.efi)
#   firmware bios (SeaBIOS) | efi64 (OVMF) | arm64 (AAVMF)
# The loader must ask for its per-client menu "<menu dir>/01-<mac>"; the menu then names a marker
# file that is only requested once the loader has run the menu (for PXELINUX through menu.c32 and
# its libraries taken from the module folder of the client's firmware).
set -uo pipefail
tmp=/nonexistent
source "$KIV_SOURCE_DIR/tests/support/netns.sh"
source "$KIV_SOURCE_DIR/tests/support/qemu.sh"
read -r loader firmware <<< "${KIV_BOOT_CASE:?KIV_BOOT_CASE names the case}"
limit=${KIV_BOOT_TIMEOUT:-240}
impl=${KIV_BOOT_SERVER:-dnsmasq}

kiv_require_root
skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; local log
         for log in dnsmasq dhcp tftp; do
           [ -f "$tmp/$log.log" ] && { echo "--- $log"; tail -n 40 "$tmp/$log.log"; }
         done
         [ -f "$tmp/serial.log" ] && { echo "--- serial"; tail -c 3000 "$tmp/serial.log" | tr -d '\033'; echo; }
         exit 1; }
case $impl in
  dnsmasq) command -v dnsmasq >/dev/null || skip "dnsmasq is not installed (package dnsmasq-base)" ;;
  kivpxe) dhcpd=$KIV_BINARY_DIR/server/qvDHCP/qvdhcp_testserver tftpd=$KIV_BINARY_DIR/server/qvTFTP/qvtftp_testserver
          [ -x "$dhcpd" ] && [ -x "$tftpd" ] || fail "the DHCP/TFTP test drivers are not built" ;;
  *) fail "unknown server '$impl'" ;;
esac

kiv_qemu_machine "$firmware" || fail "unknown firmware '$firmware'"
[ -z "$KIV_QEMU_MISSING" ] || skip "$KIV_QEMU_MISSING"

# Loader tree, boot files per firmware, per-client menu folder.
case $loader in
  pxelinux|pxelinux2048|lpxelinux)
    tree=pxelinux menus=pxelinux.cfg bios_file=pxelinux.1408.0 efi64_file=pxelinux.efi.linux arm64_file=none
    # The numbered BIOS builds must ask for the TFTP block size their name carries.
    blksize=1408
    [ "$loader" = pxelinux2048 ] && bios_file=pxelinux.2048.0 blksize=2048
    [ "$loader" = lpxelinux ] && bios_file=lpxelinux.0 ;;
  grub2) tree=grub2 menus=grub2.cfg
         bios_file=grub2.bios.all.0 efi64_file=grub2.x64efi.all.0 arm64_file=grub2.arm64efi.all.0 ;;
  ipxe|ipxe-grub) tree=ipxe menus=ipxe.cfg bios_file=ipxe.bios.0 efi64_file=ipxe.efi.0 arm64_file=none ;;
  *) fail "unknown loader '$loader'" ;;
esac

tmp=$(mktemp -d "/tmp/kiv-datadir-boot-$$.XXXXXX") && chmod 0755 "$tmp"
trap 'kiv_cleanup; [ -n "${KIV_BOOT_KEEP:-}" ] || rm -rf "$tmp"' EXIT

# The tree: the one the unit check built, or a fresh one (a boot test may run alone).
data=${KIV_BOOT_DATADIR:-$KIV_BINARY_DIR/tests/boot/datadir}
[ -f "$data/$tree/$bios_file" ] || "$KIV_SOURCE_DIR/tools/make-datadir.sh" "$data" >/dev/null ||
  fail "could not build the data directory"
# A private copy so this test's menus never meet another test's.
cp -r "$data/$tree" "$tmp/root" || fail "cannot copy the $tree tree"

server=10.213.0.1
mac=$(printf '52:54:00:d1:%02x:%02x' $(( $$ >> 8 & 255 )) $(( $$ & 255 )))
dashed=${mac//:/-}
marker="kivpxe-marker-$loader-$firmware"
echo "this is a marker" > "$tmp/root/$marker"
menu="$tmp/root/$menus/01-$dashed"
grub_menu() {
  mkdir -p "$tmp/root/grub2.cfg"
  printf '%s\n' 'echo "kivpxe boot test: $net_default_mac"' "cat (tftp,$server)/$marker" \
    > "$tmp/root/grub2.cfg/01-$dashed"
}
case $loader in
  pxelinux|pxelinux2048|lpxelinux)
    set=bios; [ "$firmware" = bios ] || set=efi64
    printf '%s\n' "SERIAL 0 115200" "PATH $set/" "UI menu.c32" "MENU TITLE kivpxe boot test" "TIMEOUT 5" \
      "DEFAULT marker" "LABEL marker" "  KERNEL $marker" > "$menu" ;;
  grub2) grub_menu ;;
  ipxe)
    printf '%s\n' '#!ipxe' 'echo kivpxe boot test ${mac}' "imgfetch tftp://$server/$marker" > "$menu" ;;
  ipxe-grub)
    # The server links the chain images into the iPXE tree; GRUB then reads its menu from there.
    # The tree's grub2.cfg leads to ipxe.cfg for arm64 clients, whose one menu is GRUB's; this x86
    # client has an iPXE script there and a GRUB menu of its own.
    rm -f "$tmp/root/grub2.cfg"
    cp "$data/grub2/grub_chain_xen.efi" "$tmp/root/" || fail "no grub_chain_xen.efi in the data directory"
    printf '%s\n' '#!ipxe' "chain tftp://$server/grub_chain_xen.efi" > "$menu"
    grub_menu ;;
esac

kiv_netns_new boot_ns datadir-boot || fail "cannot create a network namespace"
ip netns exec "$boot_ns" ip link add br0 type bridge || fail "cannot create a bridge"
ip netns exec "$boot_ns" ip tuntap add dev tap0 mode tap || fail "cannot create a tap device"
ip netns exec "$boot_ns" ip link set tap0 master br0
ip netns exec "$boot_ns" ip addr add "$server/24" dev br0
ip netns exec "$boot_ns" ip link set br0 up
ip netns exec "$boot_ns" ip link set tap0 up

boot=(--dhcp-match=set:efi64,option:client-arch,7 --dhcp-match=set:efi64,option:client-arch,9
      --dhcp-match=set:arm64,option:client-arch,11
      "--dhcp-boot=tag:!ipxe,tag:!efi64,tag:!arm64,$bios_file"
      "--dhcp-boot=tag:!ipxe,tag:efi64,$efi64_file"
      "--dhcp-boot=tag:!ipxe,tag:arm64,$arm64_file")
# Only the iPXE tree tells iPXE (user class "iPXE") apart: other loaders are fetched by it too.
# Under SeaBIOS the NIC ROM is itself iPXE, so its request is given ipxe.bios.0 until that has
# been sent; then a host record (read by dnsmasq on its own) tags the chained iPXE "chained".
mkdir -p "$tmp/hosts.d"
script="tftp://$server/$menus/01-\${mac:hexhyp}"
if [ "$tree/$firmware" = ipxe/bios ]; then
  boot+=(--dhcp-userclass=set:ipxe,iPXE "--dhcp-boot=tag:ipxe,tag:!chained,$bios_file"
         "--dhcp-boot=tag:ipxe,tag:chained,$script")
elif [ "$tree" = ipxe ]; then
  boot+=(--dhcp-userclass=set:ipxe,iPXE "--dhcp-boot=tag:ipxe,$script")
fi
start_dnsmasq() {
  kiv_bg "$boot_ns" dnsmasq --conf-file=/dev/null --no-resolv --no-hosts --port=0 --interface=br0 \
    --bind-interfaces --dhcp-range=10.213.0.50,10.213.0.99,255.255.255.0,1h --dhcp-authoritative \
    --dhcp-leasefile="$tmp/leases" --dhcp-hostsdir="$tmp/hosts.d" --pid-file="$tmp/dnsmasq.pid" \
    --enable-tftp --tftp-root="$tmp/root" "${boot[@]}" --log-dhcp --log-queries -k --log-facility=- \
    > "$tmp/dnsmasq.log" 2>&1
  kiv_wait_for 10 grep -q 'TFTP root is' "$tmp/dnsmasq.log" || fail "dnsmasq did not start"
}
# Our services: the loader tree is the TFTP root; DHCP hands out the boot file per firmware. The
# iPXE ROMs of QEMU's NICs get the per-client script URL only while the iPXE tree is the loader;
# with another tree they boot its loader, as the operator chose. The lease database goes to the
# working folder.
start_kivpxe() {
  kiv_bg "$boot_ns" "$tftpd" --addr "$server" --port 69 --root "=$tmp/root" > "$tmp/tftp.log" 2>&1
  kiv_wait_for 10 grep -q '^READY 69' "$tmp/tftp.log" || fail "the TFTP service did not start"
  mkdir -p "$tmp/dhcp"
  local efi_file=$efi64_file
  [ "$firmware" = arm64 ] && efi_file=$arm64_file
  local ipxe_loader=0
  [ "$tree" = ipxe ] && ipxe_loader=1
  kiv_bg "$boot_ns" env -C "$tmp/dhcp" "$dhcpd" --server "$server" --start 10.213.0.50 --count 50 \
    --mask 255.255.255.0 --bios "$bios_file" --efi "$efi_file" --ipxe-loader "$ipxe_loader" > "$tmp/dhcp.log" 2>&1
  kiv_wait_for 10 grep -q '^START result 0x0' "$tmp/dhcp.log" || fail "the DHCP service did not start"
}
"start_$impl"

kiv_qemu_flash "$tmp" || fail "cannot copy the firmware variables"
if [ "$loader" = pxelinux ] || [ "$loader" = pxelinux2048 ] && [ "$firmware" = bios ]; then
  command -v tcpdump >/dev/null || skip "tcpdump is not installed"
  kiv_bg "$boot_ns" tcpdump -i br0 -n -l -vv udp port 69 > "$tmp/rrq.txt" 2>&1
  kiv_wait_for 10 grep -q 'listening on' "$tmp/rrq.txt" || fail "tcpdump did not start"
else
  blksize=
fi
start=$(date +%s)
kiv_bg "$boot_ns" "${KIV_QEMU[@]}" -m 1024 -display none -monitor none -serial "file:$tmp/serial.log" \
  -netdev tap,id=n0,ifname=tap0,script=no,downscript=no -device "$KIV_NIC,netdev=n0,mac=$mac" -boot n \
  > "$tmp/qemu.log" 2>&1
qemu_pid=$KIV_LAST_PID

# sent FILE [CLIENT]: whether the server reports FILE wholly sent (to an address starting CLIENT).
sent() {
  case $impl in
    dnsmasq) grep -q "sent $tmp/root/$1 to ${2:-}" "$tmp/dnsmasq.log" ;;
    # A completed transfer: end event, result 0, every byte of the file sent. GRUB may ask with
    # a leading "/".
    kivpxe) grep -Eq "^EVENT 4 ${2:-}[0-9.]*:[0-9]+ /?$1 size=([0-9]+) sent=\1 result=0x0$" "$tmp/tftp.log" ;;
  esac
}
# wait_sent FILE: until the server reports FILE sent; prints the seconds since QEMU started.
wait_sent() {
  local deadline=$(( start + limit ))
  until sent "$1"; do
    kill -0 "$qemu_pid" 2>/dev/null || fail "QEMU ended before $1 was fetched: $(cat "$tmp/qemu.log")"
    [ "$(date +%s)" -lt "$deadline" ] || fail "no request for $1 within $limit s"
    sleep 0.5
  done
  echo "$1 sent after $(( $(date +%s) - start )) s"
}

[ "$firmware" = bios ] && file=$bios_file || file=$(eval echo "\$${firmware}_file")
wait_sent "$file"
[ "$tree/$firmware" = ipxe/bios ] && echo "$mac,set:chained" > "$tmp/hosts.d/chained"
wait_sent "$menus/01-$dashed"
if [ "$tree" = pxelinux ]; then
  wait_sent "$set/menu.c32"
  wait_sent "$set/libutil.c32"
fi
if [ "$loader" = ipxe-grub ]; then
  wait_sent grub_chain_xen.efi
  wait_sent "grub2.cfg/01-$dashed"
fi
wait_sent "$marker"
if [ -n "${blksize:-}" ]; then
  grep "RRQ \"$menus/01-$dashed\"" "$tmp/rrq.txt" | grep -q "blksize $blksize" ||
    fail "the menu was not asked for with blksize $blksize: $(grep RRQ "$tmp/rrq.txt" | head -n 3)"
  echo "read requests ask for blksize $blksize"
fi
sent "$marker" 10.213.0. || fail "marker went to an unexpected address"
echo "PASS: $loader on $firmware fetched $file, its menu $menus/01-$dashed and the menu's marker"
