#!/usr/bin/env bash
# Shipped Windows content: every BCD store the data tree gets, read back with hivexregedit, and
# the unattend templates, which must be well-formed XML.
set -euo pipefail
src=${KIV_SOURCE_DIR:?}
for tool in hivexregedit xmllint /usr/bin/python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing (tools/packages/osprey.list)"; exit 77; }
done
/usr/bin/python3 -c 'import hivex' 2>/dev/null || { echo "SKIP: python3-hivex is missing"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# utf16 TEXT: the hex(…) form hivexregedit prints for the UTF-16LE text.
utf16() { printf '%s' "$1" | iconv -f utf-8 -t utf-16le | od -An -tx1 -v | tr -s ' \n' ',' | sed 's/^,//; s/,$//'; }
# le64 N: an 8-byte little-endian integer as hivexregedit prints it.
le64() { printf '%016x' "$1" | sed 's/../&\n/g' | tac | sed '/^$/d' | paste -sd, ; }

for loader in pxelinux grub2 ipxe; do
  suffix=''; [ "$loader" = ipxe ] && suffix=_ISO1
  /usr/bin/python3 "$src/tools/datadir/make-bcd.py" "$work/$loader" "$loader"
  for size in 1408 2048 4096 8192 16384; do
    for kind in bcd bcd_bios bcd_uefi; do
      store="$work/$loader/${kind}_tftp_$size"
      out=$(hivexregedit --export "$store" '\') || fail "$store does not read back"
      obj='\Objects\'
      grep -qF "[${obj}{9dea862c-5cdd-4e70-acc1-f32b344d4795}\Description]" <<<"$out" || fail "$store: no boot manager"
      grep -qF '"Type"=dword:10100002' <<<"$out" || fail "$store: boot manager type"
      grep -qF '"Type"=dword:30000000' <<<"$out" || fail "$store: no ramdisk options"
      grep -qF '"Type"=dword:10200003' <<<"$out" || fail "$store: no loader entry"
      # ramdisk options: SDI path, block size, window size
      grep -A1 -F 'Elements\32000004]' <<<"$out" | grep -qF "$(utf16 "\\boot\\boot$suffix.sdi")" ||
        fail "$store: SDI path"
      grep -A1 -F 'Elements\35000007]' <<<"$out" | grep -qF "hex(3):$(le64 "$size")" || fail "$store: block size"
      grep -qF 'Elements\35000008]' <<<"$out" || fail "$store: window size"
      # the loader boots the WIM the plug-in places for this tree
      grep -A1 -F '{7619dcc8-fafe-11d9-b411-000476eba25f}\Elements\11000001]' <<<"$out" |
        grep -qF "$(utf16 "\\boot\\KIVBoot$suffix.wim")" || fail "$store: WIM path"
      want=exe; [ "$kind" = bcd_uefi ] && want=efi
      grep -A1 -F '{7619dcc8-fafe-11d9-b411-000476eba25f}\Elements\12000002]' <<<"$out" |
        grep -qF "$(utf16 "winload.$want")" || fail "$store: loader winload.$want"
    done
  done
done
echo "BCD stores: 3 loaders x 5 block sizes x 3 kinds read back"

for f in "$src"/data/kickstart/osprey-*.xml; do
  xmllint --noout "$f" || fail "$f is not well-formed"
  for marker in '<KIV_LABEL_BIOS' '</KIV_LABEL_BIOS' '<KIV_LABEL_UEFI' '</KIV_LABEL_UEFI' 'INSTALL_TYPE=' \
                'DISK_SELECT_TYPE=' '<DiskID>' '<!-- PRODUCT_KEY_FLAG' '$IMAGE_INDEX$'; do
    grep -qF -- "$marker" "$f" || fail "$f lacks $marker"
  done
done
echo "unattend templates well-formed"
