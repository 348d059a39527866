#!/usr/bin/env bash
# The Debian package: dpkg-buildpackage -b -us -uc on a copy of the source tree, packaging the
# build under test (KIV_BUILD_DIR), then lintian (no errors) and what the package must carry.
# The package is left in $KIV_BINARY_DIR/package for the installation test.
set -uo pipefail
top=${KIV_SOURCE_DIR:?} build=${KIV_BINARY_DIR:?}
for tool in dpkg-buildpackage dh lintian; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing (tools/packages/package.list)"; exit 77; }
done
for f in server/app/kivpxe plugins/PLUG_HERON.so plugins/PLUG_OSPREY.so agent/FERRIT_32.exe agent/FERRIT_64.exe; do
  [ -f "$build/$f" ] || { echo "FAIL: $build/$f is not built"; exit 1; }
done
version=$(sed -n 's/^project(KIVPXE VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
out=$build/package
rm -rf "$out" && mkdir -p "$out/kivpxe-$version"
fail() { echo "FAIL: $*"; exit 1; }

# The source as a release has it: no build trees, no packaging leftovers.
tar -C "$top" --exclude=./.git --exclude='./build*' --exclude='./obj-*' --exclude=./datadir \
    --exclude=./debian/kivpxe --exclude=./debian/.debhelper --exclude="./${build#"$top"/}" -cf - . |
  tar -C "$out/kivpxe-$version" -xf - || fail "cannot copy the source"
t0=$(date +%s)
(cd "$out/kivpxe-$version" && KIV_BUILD_DIR=$build dpkg-buildpackage -b -us -uc) > "$out/build.log" 2>&1 ||
  { tail -n 40 "$out/build.log"; fail "dpkg-buildpackage failed (log $out/build.log)"; }
deb=$out/kivpxe_${version}_amd64.deb
[ -f "$deb" ] || fail "no $deb: $(ls "$out")"
echo "built $(basename "$deb") ($(du -k "$deb" | cut -f1) KiB) in $(( $(date +%s) - t0 )) s"

lintian --fail-on error "$deb" > "$out/lintian.log" 2>&1; rc=$?
echo "--- lintian"; cat "$out/lintian.log"
[ "$rc" -eq 0 ] || fail "lintian reports errors"

errors=0
bad() { echo "FAIL: $*"; errors=$((errors + 1)); }
dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' > "$out/contents"
while read -r path; do
  grep -qx -- "$path" "$out/contents" || bad "the package lacks $path"
done <<'PATHS'
/usr/sbin/kivpxe
/usr/sbin/kivpxe-configure
/usr/lib/kivpxe/copy-shipped
/usr/lib/kivpxe/plugin/PLUG_HERON.so
/usr/lib/kivpxe/plugin/PLUG_OSPREY.so
/usr/share/kivpxe/plugin/PLUG_HERON.so
/usr/share/kivpxe/plugin/plug_heron.json
/usr/share/kivpxe/Ferrit/FERRIT_32.exe
/usr/share/kivpxe/Ferrit/FERRIT_64.exe
/usr/share/kivpxe/Ferrit/wget_64.exe
/usr/share/kivpxe/pxelinux/pxelinux.1408.0
/usr/share/kivpxe/pxelinux/pxelinux.efi.linux
/usr/share/kivpxe/grub2/grub2.bios.all.0
/usr/share/kivpxe/grub2/grub2.x64efi.all.0
/usr/share/kivpxe/ipxe/ipxe.efi.0
/usr/share/kivpxe/conf/os_type.json
/usr/share/kivpxe/dll/version.data
/usr/share/kivpxe/kickstart/heron-debian.preseed
/usr/share/kivpxe/log/
/lib/systemd/system/kivpxe.service
/usr/share/man/man8/kivpxe.8.gz
/usr/share/doc/kivpxe/operator-guide.md
PATHS
grep -q '^/usr/share/kivpxe/\.shipped' "$out/contents" && bad "the data tree carries a copy record"
grep -q '^/usr/share/kivpxe/.*\.so$' <(dpkg-deb -c "$deb" | grep -v ' -> ' | awk '{ print $6 }' | sed 's|^\.||') &&
  bad "a shared object in /usr/share"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Version)" = "$version" ] || bad "version $(field Version), the build says $version"
grep -q "^kivpxe ($version)" "$top/debian/changelog" || bad "debian/changelog does not start at $version"
while read -r name want; do
  [[ ", $(field "$name")," == *", $want"[\ ,]* ]] || bad "$name lacks $want: $(field "$name")"
done <<'FIELDS'
Depends libglib2.0-0
Depends libevent-core-2.1-7
Depends libjsoncpp25
Depends libwim15
Depends p7zip-full
Depends python3
Recommends samba
FIELDS
dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./postinst > "$out/postinst"
grep -q '/usr/lib/kivpxe/copy-shipped /usr/share/kivpxe /var/lib/kivpxe' "$out/postinst" || bad "postinst copies no data tree"
dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./lib/systemd/system/kivpxe.service > "$out/kivpxe.service"
grep -qx 'ExecStart=/usr/sbin/kivpxe --data-dir /var/lib/kivpxe --headless' "$out/kivpxe.service" ||
  bad "unit runs $(grep ExecStart "$out/kivpxe.service")"
grep -q /usr/local "$out/kivpxe.service" && bad "unit names /usr/local"
[ "$errors" -eq 0 ] || exit 1
echo "PASS: $(basename "$deb") built, lintian without errors"
