#!/usr/bin/env bash
# Builds the data directory with tools/make-datadir.sh and checks the finished tree: the
# directories the server requires, every boot loader in the form its firmware loads, the
# separation of BIOS and EFI PXELINUX modules, the GRUB images' embedded early config, the
# pictures, the OS table and the version file; then that a second run changes nothing and keeps
# per-client files. The boot tests use the tree left in the build folder.
set -uo pipefail
dir=${KIV_BOOT_DATADIR:-$KIV_BINARY_DIR/tests/boot/datadir}
errors=0
bad() { echo "FAIL: $*"; errors=$((errors + 1)); }

"$KIV_SOURCE_DIR/tools/make-datadir.sh" "$dir" || { echo "FAIL: make-datadir.sh failed"; exit 1; }

for d in pxelinux grub2 ipxe virtualiso kickstart plugin driver log \
         pxelinux/pxelinux.cfg grub2/grub2.cfg ipxe/ipxe.cfg virtualiso/extfile virtualiso/conf/bios \
         virtualiso/conf/uefi driver/Linux driver/Windows conf dll icon/os repository; do
  [ -d "$dir/$d" ] || bad "directory $d missing"
done

# size_between FILE MIN MAX (bytes)
size_between() {
  local s
  s=$(stat -c %s "$dir/$1" 2>/dev/null) || { bad "$1 missing"; return 1; }
  if [ "$s" -lt "$2" ] || [ "$s" -gt "$3" ]; then bad "$1 has $s bytes, expected $2..$3"; fi
}
# magic FILE OFFSET HEX: the bytes at OFFSET read HEX.
magic() {
  local got
  got=$(od -An -tx1 -j "$2" -N $(( ${#3} / 2 )) "$dir/$1" 2>/dev/null | tr -d ' \n')
  [ "$got" = "$3" ] || bad "$1: bytes at $2 are '$got', expected '$3'"
}
# pe FILE MACHINE: a PE/COFF image (EFI application) for the machine type (little-endian hex).
pe() {
  local off
  magic "$1" 0 4d5a || return
  off=$(od -An -tu4 -j 60 -N 4 "$dir/$1" | tr -d ' ')
  magic "$1" "$off" "50450000$2"
}

# PXELINUX: BIOS loaders are plain PXE programs, the EFI one an x86-64 EFI application; the core
# modules sit beside them, every other module only in its firmware's folder.
size_between pxelinux/pxelinux.1408.0 20000 200000
size_between pxelinux/pxelinux.2048.0 20000 200000
size_between pxelinux/lpxelinux.0 20000 300000
size_between pxelinux/pxelinux.efi.linux 50000 1000000 && pe pxelinux/pxelinux.efi.linux 6486
magic pxelinux/ldlinux.c32 0 7f454c46
magic pxelinux/ldlinux.e64 0 7f454c46
for m in menu vesamenu libutil libcom32 chain; do
  magic "pxelinux/bios/$m.c32" 0 7f454c46
  magic "pxelinux/efi64/$m.c32" 0 7f454c46
  cmp -s "$dir/pxelinux/bios/$m.c32" "$dir/pxelinux/efi64/$m.c32" && bad "$m.c32 is the same for BIOS and EFI"
done
magic pxelinux/bios/menu.c32 4 01   # ELF class 32-bit for BIOS
magic pxelinux/efi64/menu.c32 4 02  # 64-bit for x86-64 EFI
for m in "$dir"/pxelinux/*.c32; do
  [ ! -e "$m" ] || [ "${m##*/}" = ldlinux.c32 ] || bad "${m##*/} beside the loaders, where both firmwares would find it"
done

# GRUB: the BIOS image is pxeboot.img followed by a core that fits the PXE base memory; the UEFI
# images carry the early config in the clear (the BIOS core is compressed; its boot test shows it).
size_between grub2/grub2.bios.all.0 100000 600000
bootsect=/usr/lib/grub/i386-pc/pxeboot.img
cmp -s -n "$(stat -c %s "$bootsect")" "$bootsect" "$dir/grub2/grub2.bios.all.0" ||
  bad "grub2.bios.all.0 does not start with pxeboot.img"
for img in grub2.x64efi.all.0:6486 grub2.arm64efi.all.0:64aa grub_chain_xen.efi:6486; do
  name=${img%:*}
  size_between "grub2/$name" 300000 20000000 && pe "grub2/$name" "${img#*:}"
  while IFS= read -r line; do
    grep -qaF -- "$line" "$dir/grub2/$name" || bad "$name lacks the early config line: $line"
  done < "$KIV_SOURCE_DIR/tools/datadir/grub-early.cfg"
done

size_between grub2/fonts/unicode.pf2 100000 10000000 && magic grub2/fonts/unicode.pf2 0 46494c45

# iPXE and its menu backgrounds, numbered from 1 without gaps.
size_between ipxe/ipxe.bios.0 30000 500000
size_between ipxe/ipxe.efi.0 100000 5000000 && pe ipxe/ipxe.efi.0 6486
# arm64 clients of the iPXE tree boot the arm64 GRUB from a file inside the tree (a link out of
# it would be refused), and find their menus in ipxe.cfg through "grub2.cfg".
[ -L "$dir/ipxe/grub_chain_arm64.efi" ] && bad "ipxe/grub_chain_arm64.efi is a link out of the tree"
cmp -s "$dir/ipxe/grub_chain_arm64.efi" "$dir/grub2/grub2.arm64efi.all.0" ||
  bad "ipxe/grub_chain_arm64.efi is not the arm64 GRUB"
[ "$(readlink "$dir/ipxe/grub2.cfg")" = ipxe.cfg ] || bad "ipxe/grub2.cfg does not lead to ipxe.cfg"
count=0
for f in "$dir"/ipxe/kiv_background_[0-9]*.png; do [ -f "$f" ] && count=$((count + 1)); done
[ "$count" -ge 1 ] || bad "no background images in ipxe"
for i in $(seq 1 "$count"); do magic "ipxe/$(printf 'kiv_background_%02u.png' "$i")" 0 89504e470d0a1a0a; done

# The OS table and one picture per type plus "unknown".
types=$(python3 -c '
import json, sys
t = json.load(open(sys.argv[1]))
assert isinstance(t, list) and t, "not a non-empty array"
for e in t:
    assert set(e) == {"key", "type"} and all(isinstance(v, str) and v for v in e.values()), e
    assert e["key"] == e["key"].upper(), "key not upper case: " + e["key"]
print("\n".join(sorted({e["type"] for e in t} | {"unknown"})))' "$dir/conf/os_type.json") ||
  bad "conf/os_type.json is not a valid OS table"
for t in $types; do magic "icon/os/os-$t.png" 0 89504e470d0a1a0a; done

size_between dll/version.data 12 12

# A second run leaves every file as it was and keeps per-client files.
echo "DEFAULT keep" > "$dir/pxelinux/pxelinux.cfg/01-52-54-00-00-00-01"
before=$(cd "$dir" && find . -type f -newer "$dir/pxelinux/pxelinux.cfg/01-52-54-00-00-00-01" | sort)
sleep 1
"$KIV_SOURCE_DIR/tools/make-datadir.sh" "$dir" >/dev/null || bad "second make-datadir.sh run failed"
changed=$(cd "$dir" && find . -type f -newer "$dir/pxelinux/pxelinux.cfg/01-52-54-00-00-00-01" | sort)
[ "$changed" = "$before" ] || bad "a second run rewrote: $(comm -13 <(echo "$before") <(echo "$changed") | tr '\n' ' ')"
[ "$(cat "$dir/pxelinux/pxelinux.cfg/01-52-54-00-00-00-01" 2>/dev/null)" = "DEFAULT keep" ] ||
  bad "a second run lost a per-client menu"
rm -f "$dir/pxelinux/pxelinux.cfg/01-52-54-00-00-00-01"

# Shipped files follow new versions until the operator edits them; an edit is never overwritten.
tmp=$(mktemp -d /tmp/kiv-datadir-check-$$.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
cp -r "$KIV_SOURCE_DIR/data" "$tmp/shipped"
ship() { echo "$1" > "$tmp/shipped/conf/sample.txt"
         KIV_SHIPPED_DIR="$tmp/shipped" "$KIV_SOURCE_DIR/tools/make-datadir.sh" "$tmp/tree" >/dev/null 2>&1 ||
           bad "make-datadir.sh failed with a shipped '$1'"; }
now() { cat "$tmp/tree/conf/sample.txt" 2>/dev/null; }
ship v1; [ "$(now)" = v1 ] || bad "shipped file not installed: '$(now)'"
ship v2; [ "$(now)" = v2 ] || bad "unchanged shipped file not updated to v2: '$(now)'"
echo mine > "$tmp/tree/conf/sample.txt"
ship v3; [ "$(now)" = mine ] || bad "operator's edit overwritten: '$(now)'"
rm "$tmp/tree/conf/sample.txt"
ship v4; [ "$(now)" = v4 ] || bad "deleted shipped file not restored: '$(now)'"

[ "$errors" -eq 0 ] || { echo "$errors problem(s) in $dir"; exit 1; }
echo "PASS: data directory $dir is complete"
