#!/usr/bin/env bash
# The Windows boot chain against kivpxe: a QEMU client boots from the network in the lab's
# namespace (tools/lab/lab-lib.sh) while kivpxe serves a Windows-shaped source
# (tools/lab/make-windows-source.sh) with PLUG_OSPREY. KIV_WIN_CASE="<loader> <firmware>":
#   loader   pxelinux | grub2 | ipxe, the tree kivpxe serves (PXELINUX and GRUB 2 hand UEFI
#            clients the boot manager itself)
#   firmware bios (SeaBIOS and its iPXE ROM) | efi64 (OVMF)
# The client must get its offer, the loader, its OSPREY menu and the boot manager PLUG_OSPREY
# took out of the source's boot WIM. That boot manager is the source's GRUB stand-in: it prints
# the sha256 of every file it fetched the way the Windows boot manager does (the store named by
# DHCP option 252, the ramdisk image, the boot WIM; bootmgr.exe on BIOS) on the serial line. Each
# must match the file kivpxe served; the store must be the one of the client's firmware (its
# loader winload.exe for BIOS, winload.efi for UEFI, read with hivexget) and the ramdisk image
# and WIM fetched must be the ones the store names. HTTP-disk mode with a stand-in driver build
# keeps Samba out of this test (the share is tested with a real smbd elsewhere).
set -uo pipefail
source "$KIV_SOURCE_DIR/tests/support/netns.sh"
source "$KIV_SOURCE_DIR/tests/support/qemu.sh"
source "$KIV_SOURCE_DIR/tools/lab/lab-lib.sh"
read -r loader firmware <<< "${KIV_WIN_CASE:?KIV_WIN_CASE names the case}"
limit=${KIV_WIN_TIMEOUT:-280}
tmp=/nonexistent

kiv_require_root
skip() { echo "SKIP: $*"; exit 77; }
fail() {
  echo "FAIL: $*"
  [ -f "$tmp/kivpxe.out" ] && { echo "--- kivpxe"; tail -n 30 "$tmp/kivpxe.out"; }
  local log; log=$(ls -t "$tmp"/datadir/log/*.log 2>/dev/null | head -n 1)
  [ -n "$log" ] && { echo "--- $log"; tail -n 40 "$log"; }
  [ -f "$tmp/serial.log" ] && { echo "--- client console"; tail -c 3000 "$tmp/serial.log" | tr -d '\033'; echo; }
  exit 1
}
for tool in grub-mkimage wimlib-imagex hivexget hivexregedit sha256sum; do
  command -v "$tool" >/dev/null || skip "$tool is missing (tools/packages/lab.list, osprey.list)"
done
kiv_qemu_machine "$firmware" || fail "unknown firmware '$firmware'"
[ -z "$KIV_QEMU_MISSING" ] || skip "$KIV_QEMU_MISSING"
case $loader in
  pxelinux) menus=pxelinux.cfg loader_file=pxelinux.1408.0 ;;
  grub2) menus=grub2.cfg loader_file=grub2.bios.all.0
         [ "$firmware" = efi64 ] && loader_file=grub2.x64efi.all.0 ;;
  # Under SeaBIOS the NIC's ROM is iPXE itself: it is handed its script at once.
  ipxe) menus=ipxe.cfg loader_file=
        [ "$firmware" = efi64 ] && loader_file=ipxe.efi.0 ;;
  *) fail "unknown loader '$loader'" ;;
esac
bootmgr=OSPREY/boot/pxeboot.n12 want_loader='\windows\system32\boot\winload.exe'
[ "$firmware" = efi64 ] && bootmgr=OSPREY/boot/bootmgfw.efi want_loader='\windows\system32\boot\winload.efi'
# PXELINUX's EFI build cannot chain the Windows boot manager: with that tree UEFI clients get the
# boot manager straight from DHCP as their boot file and see no menu.
[ "$loader/$firmware" = pxelinux/efi64 ] && loader_file= bootmgr=pxelinux.efi.windows menus=
[ "$loader/$firmware" = grub2/efi64 ] && loader_file= bootmgr=grub2.efi.windows menus=

kivpxe=$KIV_BINARY_DIR/server/app/kivpxe
[ -x "$kivpxe" ] || fail "kivpxe is not built"
tmp=$(mktemp -d "/tmp/kiv-winboot-$$.XXXXXX") && chmod 0755 "$tmp"
trap 'kiv_cleanup; [ -n "${KIV_WIN_KEEP:-}" ] && echo "kept $tmp" || rm -rf "$tmp"' EXIT

data=${KIV_BOOT_DATADIR:-$KIV_BINARY_DIR/tests/boot/datadir}
[ -f "$data/plugin/PLUG_OSPREY.so" ] || "$KIV_SOURCE_DIR/tools/make-datadir.sh" "$data" >/dev/null ||
  fail "could not build the data directory"
cp -r "$data" "$tmp/datadir" || fail "cannot copy the data directory"
dd=$tmp/datadir
[ -f "$dd/Ferrit/FERRIT_64.exe" ] || skip "the agent is not built (Ferrit/FERRIT_64.exe; mingw-w64)"
"$KIV_SOURCE_DIR/tools/lab/make-windows-source.sh" "$tmp/source" || fail "cannot make the Windows source"
echo "stand-in driver build for the lab" > "$dd/Ferrit/httpdisk_64.sys"
python3 "$KIV_SOURCE_DIR/tools/configure.py" "$dd" --first 10.215.0.100 --count 20 \
  --source "$tmp/source" --loader "$loader" --mask 255.255.255.0 --gateway "$LAB_SERVER" \
  --http-port 8810 --windows-mode httpdisk --autostart > /dev/null || fail "cannot write the settings"

lab_network || fail "cannot create the lab network"
kiv_bg "$lab_ns" "$kivpxe" --data-dir "$dd" --headless > "$tmp/kivpxe.out" 2>&1
kivpxe_pid=$KIV_LAST_PID
kiv_wait_for 60 grep -q '^SERVICE started' "$tmp/kivpxe.out" || fail "the deployment did not start"

mac=$(lab_mac)
lab_client "$firmware" "$mac" "$tmp" || fail "cannot start the client"
start=$lab_client_start
deadline=$(( start + limit ))
until grep -aq 'KIVSTANDIN end' "$tmp/serial.log" 2>/dev/null; do
  kill -0 "$kivpxe_pid" 2>/dev/null || fail "kivpxe exited"
  kill -0 "$lab_client_pid" 2>/dev/null || fail "the client stopped: $(cat "$tmp/qemu.log")"
  [ "$(date +%s)" -lt "$deadline" ] || fail "the stand-in boot manager did not finish within $limit s"
  sleep 1
done
seconds=$(( $(date +%s) - start ))

# The chain as kivpxe saw it: the offer, then each file of the chain sent to the client (the
# row's TFTP status names each file it downloads).
dashed=${mac//:/-}
grep -a "^CLIENT $dashed " "$tmp/kivpxe.out" > "$tmp/rows"
grep -q 'Requesting IP address\|Offer' "$tmp/rows" || fail "no offer in the client's row: $(head -n 3 "$tmp/rows")"
for file in $loader_file ${menus:+"$menus/01-$dashed"} "$bootmgr"; do
  grep -qF ":$file" "$tmp/rows" || grep -qF ":/$file" "$tmp/rows" ||
    fail "the client's row never downloaded $file: $(cut -d' ' -f4- "$tmp/rows" | uniq | head -n 20)"
done

# What the stand-in fetched: "<sha256>  (tftp)<path>" between its start and end marks (the
# console may wrap the line after the sum).
sed -n '/KIVSTANDIN start/,/KIVSTANDIN end/p' "$tmp/serial.log" | /usr/bin/python3 -c '
import re, sys
for digest, path in re.findall(r"([0-9a-f]{64})\s+\(tftp\)(\S+)", sys.stdin.read()):
    print(digest, path.replace("\\", "/"))' | sort -u > "$tmp/fetched"
store=$(tr -d '\r' < "$tmp/serial.log" | sed -n 's/^.*KIVSTANDIN store \(.*\)$/\1/p' | head -n 1)
want_store='\Boot\BCD'
[ "$firmware" = efi64 ] && want_store='\Boot\UEFI\BCD'
[ "$store" = "$want_store" ] || fail "DHCP option 252 led the boot manager to '$store', expected '$want_store'"

# served PATH: the file kivpxe serves for a TFTP path of the Windows root ("\" turned into "/").
root=$dd/$loader/OSPREY
served() { local p=${1//\\//}; echo "$root/${p#/}"; }
# fetched PATH: the stand-in printed PATH ("\" or "/") with the sha256 of the file kivpxe serves for it.
fetched() {
  local want got
  want=$(sha256sum < "$(served "$1")" | cut -d' ' -f1) || return 1
  got=$(P=${1//\\//} awk '$2 == ENVIRON["P"] { print $1 }' "$tmp/fetched")
  [ -n "$got" ] || { echo "FAIL: $1 was not fetched"; return 1; }
  [ "$got" = "$want" ] || { echo "FAIL: $1 fetched with sha256 $got, kivpxe serves $want"; return 1; }
  echo "fetched $1 sha256 $got (matches)"
}
store_file=$(served "$store")
fetched "$store" || fail "the store"
hive_text() { hivexget "$store_file" "\\Objects\\$1\\Elements\\$2" Element; }
got_loader=$(hive_text '{7619dcc8-fafe-11d9-b411-000476eba25f}' 12000002) || fail "the store has no loader path"
[ "$got_loader" = "$want_loader" ] || fail "the store's loader is $got_loader, expected $want_loader"
echo "store $store loader $got_loader"
sdi=$(hive_text '{ae5534e0-a924-466c-b836-758539a3ee3a}' 32000004) || fail "the store has no ramdisk image path"
# The WIM path ends the loader's ramdisk device element: UTF-16 text after the device descriptor.
wim=$(hivexregedit --export "$store_file" '\Objects\{7619dcc8-fafe-11d9-b411-000476eba25f}\Elements\11000001' |
  /usr/bin/python3 -c '
import re, sys
text = sys.stdin.read().replace("\\\n", "")
value = re.search(r"\"Element\"=hex\(3\):([0-9a-f,\s]*)", text).group(1)
raw = bytes(int(b, 16) for b in re.split(r"[,\s]+", value.strip()) if b)
found = re.findall(r"\\[^\x00]+?\.wim", raw.decode("utf-16-le", "replace"))
print(found[-1] if found else "")')
[ -n "$wim" ] || fail "the store names no boot WIM"
fetched "$sdi" || fail "the ramdisk image the store names"
fetched "$wim" || fail "the boot WIM the store names"
[ "$firmware" = bios ] && { fetched /bootmgr.exe || fail "bootmgr.exe"; }
echo "PASS: $loader on $firmware: offer, ${loader_file:-no loader}, ${menus:-no menu}, $bootmgr, then the store," \
  "ramdisk image and WIM in $seconds s"
