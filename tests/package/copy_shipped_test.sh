#!/usr/bin/env bash
# The shipped tree's copy into a data directory (tools/datadir/copy-shipped.sh), as the Debian
# package's install, upgrade and removal use it: a file or link follows new shipped versions
# until the operator changes it, a change is never overwritten or removed, conf/ is never removed.
set -uo pipefail
copy=${KIV_SOURCE_DIR:?}/tools/datadir/copy-shipped.sh
tmp=$(mktemp -d /tmp/kiv-copy-shipped-$$.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
src=$tmp/src dir=$tmp/dir
errors=0
bad() { echo "FAIL: $*"; errors=$((errors + 1)); }

# ship RELEASE: the shipped tree of one release, copied in.
ship() {
  rm -rf "$src"; mkdir -p "$src/kickstart" "$src/conf" "$src/dll" "$src/ipxe/ipxe.cfg" "$src/log"
  echo "template $1" > "$src/kickstart/t.preseed"
  echo "table $1" > "$src/conf/os_type.json"
  echo "defaults $1" > "$src/conf/plain.json"
  echo "loader $1" > "$src/ipxe/ipxe.efi.0"
  printf '#!/bin/sh\necho %s\n' "$1" > "$src/dll/loaddrv.sh"; chmod 0755 "$src/dll/loaddrv.sh"
  ln -s "ipxe.cfg.$1" "$src/ipxe/grub2.cfg"
  mkdir -p "$tmp/lib" && ln -sfn "../lib/code.so" "$src/plugin.so"
  "$copy" "$src" "$dir" 2>"$tmp/err" || bad "copy of release $1 failed: $(cat "$tmp/err")"
}
# expect PATH TEXT: a file's first line, a link's target, or "-" for absent.
expect() {
  local got=-
  if [ -L "$dir/$1" ]; then got="-> $(readlink "$dir/$1")"; elif [ -f "$dir/$1" ]; then got=$(head -1 "$dir/$1"); fi
  [ "$got" = "$2" ] || bad "$3: $1 is '$got', not '$2'"
}

ship 1
expect kickstart/t.preseed "template 1" "first install"
expect ipxe/grub2.cfg "-> ipxe.cfg.1" "first install"
expect plugin.so "-> $tmp/lib/code.so" "a link out of the tree"
[ -d "$dir/log" ] && [ -d "$dir/ipxe/ipxe.cfg" ] || bad "empty shipped folders not made"
[ -x "$dir/dll/loaddrv.sh" ] && [ ! -x "$dir/kickstart/t.preseed" ] || bad "modes not kept"

# The operator edits a template and the OS table, replaces the link, deletes the loader.
echo mine > "$dir/kickstart/t.preseed"
echo "my table" > "$dir/conf/os_type.json"
ln -sfn elsewhere "$dir/ipxe/grub2.cfg"
rm "$dir/ipxe/ipxe.efi.0"
echo "per-client" > "$dir/ipxe/ipxe.cfg/01-52-54-00-00-00-01"
ship 2
while read -r path text; do expect "$path" "$text" "upgrade"; done <<'CASES'
kickstart/t.preseed mine
conf/os_type.json my table
ipxe/grub2.cfg -> elsewhere
ipxe/ipxe.efi.0 loader 2
dll/loaddrv.sh #!/bin/sh
ipxe/ipxe.cfg/01-52-54-00-00-00-01 per-client
CASES
grep -qx "echo 2" "$dir/dll/loaddrv.sh" || bad "unchanged script not upgraded"
grep -q "keeping the locally changed kickstart/t.preseed" "$tmp/err" || bad "kept edit not reported"

# An edit that equals the new shipped version is the shipped file again: it follows release 4.
echo "template 3" > "$dir/kickstart/t.preseed"
ship 3
ship 4
expect kickstart/t.preseed "template 4" "edit equal to a release"

# Removal: copies still as shipped go, edits, conf/ and the operator's own files stay.
"$copy" --remove "$dir" || bad "--remove failed"
while read -r path text; do expect "$path" "$text" "removal"; done <<'CASES'
kickstart/t.preseed -
ipxe/ipxe.efi.0 -
dll/loaddrv.sh -
conf/os_type.json my table
conf/plain.json defaults 4
ipxe/grub2.cfg -> elsewhere
ipxe/ipxe.cfg/01-52-54-00-00-00-01 per-client
CASES
[ ! -e "$dir/.shipped.sha256" ] || bad "record left after removal"
[ ! -e "$dir/dll" ] && [ ! -e "$dir/log" ] || bad "emptied folders left"
rm -rf "$dir/conf"/*
"$copy" --remove "$dir" || bad "second --remove failed"
[ -d "$dir/conf" ] || bad "conf/ removed"

[ "$errors" -eq 0 ] || exit 1
echo "PASS: shipped copies follow releases, edits and conf/ survive"
