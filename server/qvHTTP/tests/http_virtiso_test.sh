#!/usr/bin/env bash
# The virtual ISO against xorriso and isoinfo: an image (Joliet + Rock Ridge) is served with a
# client's boot menus and an external file in place of its own, in the primary and the Joliet
# tree, whole and in ranges; the raw image stays unchanged; oversized external files are refused.
. "$(dirname "$0")/http_lib.sh"
need curl xorriso isoinfo sha256sum cmp

MAC=52-54-00-12-34-56
SRC=$WORK/isosrc
mkdir -p "$SRC/isolinux" "$SRC/EFI/BOOT" "$SRC/driver" "$SRC/boot" \
  "$WORK/virtualiso/conf/bios" "$WORK/virtualiso/conf/uefi" "$WORK/virtualiso/extfile"
printf 'DEFAULT original\nLABEL linux\n  KERNEL /boot/vmlinuz\n' >"$SRC/isolinux/isolinux.cfg"
printf 'menuentry "original" {\n  linux /boot/vmlinuz\n}\n' >"$SRC/EFI/BOOT/grub.cfg"
head -c 4096 /dev/urandom >"$SRC/driver/int.img"
head -c 200000 /dev/urandom >"$SRC/boot/vmlinuz"
head -c 50000 /dev/urandom >"$SRC/boot/vmlinuz.alt"
xorriso -as mkisofs -quiet -R -J -V KIVTEST -o "$WORK/src.iso" "$SRC" 2>/dev/null ||
  skip "xorriso could not build an image"

# The client's menus (as the plug-in writes them) and the external files.
{ echo "DEFAULT client-$MAC"; for i in $(seq 200); do echo "LABEL entry$i"; done; } \
  >"$WORK/virtualiso/conf/bios/01-$MAC"
printf 'menuentry "client %s" {\n  linux /boot/vmlinuz auto=true\n}\n' "$MAC" \
  >"$WORK/virtualiso/conf/uefi/01-$MAC"
head -c 4000 /dev/urandom >"$WORK/virtualiso/extfile/ext4000.bin"
head -c 4097 /dev/urandom >"$WORK/virtualiso/extfile/ext4097.bin"

VFILES=(--vfile bios=isolinux/isolinux.cfg --vfile uefi=/EFI/BOOT/grub.cfg --vfile int1=driver/int.img
  --vfile old1=boot/vmlinuz --vfile new1=/boot/vmlinuz.alt)
start_server virt --root "ISO1=$WORK/src.iso" --virtiso "$WORK/src.iso" "${VFILES[@]}" \
  --vfile ext1=virtualiso/extfile/ext4000.bin

# read_back IMAGE PATH TREE: the file as the primary tree (Rock Ridge names, read by xorriso) or
# the Joliet tree (read by isoinfo) of IMAGE shows it.
read_back() {
  if [ "$3" = joliet ]; then
    isoinfo -i "$1" -J -x "/$2"
  else
    rm -f "$WORK/extracted"
    xorriso -osirrox on -indev "$1" -extract "/$2" "$WORK/extracted" >/dev/null 2>&1
    cat "$WORK/extracted"
  fi
}

# same_file NAME IMAGE PATH WANTED: in both trees.
same_file() {
  for tree in primary joliet; do
    if cmp -s <(read_back "$2" "$3" $tree) "$4"; then ok "$1 ($tree tree)"; else bad "$1 ($tree tree)"; fi
  done
}

# --- whole downloads --------------------------------------------------------------------------
curl -s -o "$WORK/bios.iso" "$(URL "/ISO1/_VIRTISO_.iso?mac=$MAC")"
check "virtual ISO keeps the image size" "$(stat -c %s "$WORK/src.iso")" "$(stat -c %s "$WORK/bios.iso")"
same_file "BIOS client sees its menu" "$WORK/bios.iso" isolinux/isolinux.cfg "$WORK/virtualiso/conf/bios/01-$MAC"
same_file "internal file shows the external file" "$WORK/bios.iso" driver/int.img "$WORK/virtualiso/extfile/ext4000.bin"
same_file "BIOS client: the UEFI menu stays the image's" "$WORK/bios.iso" EFI/BOOT/grub.cfg "$SRC/EFI/BOOT/grub.cfg"
same_file "an old file shows the new file's data" "$WORK/bios.iso" boot/vmlinuz "$SRC/boot/vmlinuz.alt"
same_file "other files are untouched" "$WORK/bios.iso" boot/vmlinuz.alt "$SRC/boot/vmlinuz.alt"

curl -s -o "$WORK/uefi.iso" "$(URL "/ISO1/_VIRTISO_.iso?mac=$MAC&uefi=1")"
same_file "UEFI client sees its menu" "$WORK/uefi.iso" EFI/BOOT/grub.cfg "$WORK/virtualiso/conf/uefi/01-$MAC"
same_file "UEFI client: the BIOS menu stays the image's" "$WORK/uefi.iso" isolinux/isolinux.cfg "$SRC/isolinux/isolinux.cfg"

curl -s -o "$WORK/other.iso" "$(URL "/ISO1/_VIRTISO_.iso?mac=00-00-00-00-00-01")"
same_file "client without a menu file: the image's menu" "$WORK/other.iso" isolinux/isolinux.cfg "$SRC/isolinux/isolinux.cfg"

curl -s -o "$WORK/raw.iso" "$(URL /ISO1/_RAWISO_.iso)"
check "raw image is unchanged" "$(sha256sum <"$WORK/src.iso")" "$(sha256sum <"$WORK/raw.iso")"
code=$(curl -s -I -o /dev/null -w '%{http_code}' "$(URL "/ISO1/_VIRTISO_.iso?mac=$MAC")")
check "HEAD of the virtual ISO" "200" "$code"

# --- ranges: every slice equals the same bytes of the whole virtual download ------------------
range_matches() { # FIRST LAST
  curl -s -o "$WORK/part" -H "Range: bytes=$1-$2" "$(URL "/ISO1/_VIRTISO_.iso?mac=$MAC")"
  if cmp -s "$WORK/part" <(tail -c +$(($1 + 1)) "$WORK/bios.iso" | head -c $(($2 - $1 + 1))); then
    ok "range $1-$2 matches the whole download"
  else
    bad "range $1-$2 differs from the whole download"
  fi
}
range_matches 0 40000          # crosses both menu windows (0x3000-0x7FFF)
range_matches 12300 12400      # inside window 1
range_matches 22500 22600      # crosses from window 1 into window 2
range_matches 32768 120000     # descriptors and every directory record
size=$(stat -c %s "$WORK/src.iso")
range_matches 120000 $((size - 1)) # the file data, the external file included
grep -q 'ext4000.bin In Range' "$WORK/virt.log" && ok "a range read the external file" ||
  bad "no range read the external file"

# --- a driver image from virtualiso/extfile, registered on its own ---------------------------
stop_server
cp "$WORK/src.iso" "$WORK/virtualiso/extfile/drv.iso"
start_server drv --root "ISO1=$WORK/src.iso" --virtiso "$WORK/virtualiso/extfile/drv.iso" \
  --vfile bios=isolinux/isolinux.cfg
curl -s -o "$WORK/drv.iso" "$(URL "/ISO1/_VIRTDRVISO_/drv.iso?mac=$MAC")"
same_file "driver image served with the client's menu" "$WORK/drv.iso" isolinux/isolinux.cfg "$WORK/virtualiso/conf/bios/01-$MAC"
check "missing driver image" "404" "$(curl -s -o /dev/null -w '%{http_code}' "$(URL /ISO1/_VIRTDRVISO_/none.iso)")"
stop_server

# --- registration refuses an external file that does not fit ---------------------------------
(cd "$WORK" && "$HTTP_SERVER" --log --root "ISO1=$WORK/src.iso" --virtiso "$WORK/src.iso" \
  "${VFILES[@]}" --vfile ext1=virtualiso/extfile/ext4097.bin >/dev/null 2>"$WORK/big.log")
check "4097-byte external file over a 4096-byte internal file is refused" "3" "$?"
check_grep "refusal names both sizes" 'Extfile virtualiso/extfile/ext4097.bin size 4097 is larger than int file driver/int.img 4096' "$WORK/big.log"
finish
