#!/usr/bin/env bash
# The Debian package on a fresh Debian 12: "apt install ./kivpxe_<version>_amd64.deb" in a
# minbase chroot, the unit checked by systemd-analyze, "kivpxe --version", a headless start
# from the installed data tree (in a network namespace of this test, serving a shaped Ubuntu
# source: its TFTP service hands out the installed iPXE), then purge: the program goes, the
# operator's conf/ and edits stay, and a new install keeps them.
#
# The chroot's base is a debootstrap tarball kept in the cache (KIV_CHROOT_BASE, default
# ~/.cache/kivpxe/chroot/bookworm-minbase.tar, made once from this machine's Debian mirror);
# packages this machine has in its apt cache are handed to the chroot's apt instead of downloaded.
set -uo pipefail
top=${KIV_SOURCE_DIR:?} build=${KIV_BINARY_DIR:?}
source "$top/tests/support/netns.sh"
kiv_require_root
version=$(sed -n 's/^project(KIVPXE VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
deb=$build/package/kivpxe_${version}_amd64.deb
[ -f "$deb" ] || { echo "SKIP: no $deb (the package_deb test makes it)"; exit 77; }
cache=${KIV_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/kivpxe}
base=${KIV_CHROOT_BASE:-$cache/chroot/bookworm-minbase.tar}
mirror=$(sed -n 's|^URIs: *\(http[^ ]*debian\)$|\1|p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -1)
mirror=${mirror:-http://deb.debian.org/debian}
t0=$(date +%s)
step() { echo "[$(( $(date +%s) - t0 )) s] $*"; }

if [ ! -f "$base" ]; then
  command -v debootstrap >/dev/null || { echo "SKIP: no chroot base $base and no debootstrap"; exit 77; }
  step "debootstrap bookworm from $mirror (once, into $base)"
  mkdir -p "$(dirname "$base")"
  boot=$(mktemp -d /tmp/kiv-debootstrap.XXXXXX)
  if ! timeout 600 debootstrap --variant=minbase bookworm "$boot" "$mirror" > "$boot.log" 2>&1; then
    tail -n 5 "$boot.log"; rm -rf "$boot" "$boot.log"
    echo "SKIP: debootstrap from $mirror failed: no chroot base"; exit 77
  fi
  tar -C "$boot" -cf "$base.tmp.$$" . && mv -f "$base.tmp.$$" "$base"
  rm -rf "$boot" "$boot.log"
fi

root=$(mktemp -d /tmp/kiv-deb-root.XXXXXX)
mounts=() passed=0
undo() {
  kiv_cleanup
  local i
  for (( i=${#mounts[@]}-1; i>=0; i-- )); do umount -l "${mounts[i]}" 2>/dev/null; done
  [ "$passed" = 1 ] || { mkdir -p "$build/package/install-logs" && cp "$root"/tmp/*.log "$build/package/install-logs/" 2>/dev/null; }
  rm -rf --one-file-system "$root"
}
trap undo EXIT
fail() { echo "FAIL: $*"; exit 1; }
in_root() { timeout 900 chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
              DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 "$@"; }
step "unpacking the chroot"
tar -C "$root" -xf "$base" || fail "cannot unpack $base"
for m in proc dev dev/pts run tmp; do
  case $m in
    proc) mount -t proc proc "$root/proc" ;;
    dev|dev/pts) mount --bind "/$m" "$root/$m" ;;
    *) mount -t tmpfs tmpfs "$root/$m" ;;
  esac || fail "cannot mount $m"
  mounts+=("$root/$m")
done
cp /etc/resolv.conf "$root/etc/resolv.conf"
# No service of the chroot's packages (samba...) starts on this machine.
printf '#!/bin/sh\nexit 101\n' > "$root/usr/sbin/policy-rc.d" && chmod 0755 "$root/usr/sbin/policy-rc.d"
cp "$deb" "$root/tmp/"

step "apt-get update"
in_root apt-get update -q > "$root/tmp/update.log" 2>&1 || {
  tail -n 5 "$root/tmp/update.log"; echo "SKIP: the chroot cannot reach $mirror"; exit 77; }
# Hand the chroot the packages this machine has already downloaded (apt checks their sums).
in_root apt-get install -y --no-install-recommends --print-uris systemd "/tmp/${deb##*/}" samba smbclient openssl 2>/dev/null |
  sed -n "s/^'[^']*' \([^ ]*\.deb\) .*/\1/p" | while read -r file; do
    [ -f "/var/cache/apt/archives/$file" ] && cp "/var/cache/apt/archives/$file" "$root/var/cache/apt/archives/"
  done
step "apt install systemd, then ./${deb##*/}"
in_root apt-get install -y -q --no-install-recommends systemd > "$root/tmp/systemd.log" 2>&1 || { tail -n 20 "$root/tmp/systemd.log"; fail "systemd"; }
# The package's own recommendations come along, but not theirs in turn: those reach a mail
# server, which cannot configure itself in a chroot.
in_root sh -c "cd /tmp && apt install -y -q --no-install-recommends ./${deb##*/} samba smbclient openssl" \
  > "$root/tmp/install.log" 2>&1
rc=$?
grep -E '^(Setting up kivpxe|The following NEW|Need to get|After this)' -A1 "$root/tmp/install.log" | head -n 12
[ "$rc" -eq 0 ] || { tail -n 30 "$root/tmp/install.log"; fail "apt install ./${deb##*/} failed"; }
in_root dpkg-query -W -f='${Status}\n' p7zip-full 2>/dev/null | grep -q 'install ok installed' ||
  fail "p7zip-full was not installed with kivpxe"
in_root dpkg-query -W -f='${Recommends}\n' kivpxe | grep -q samba || fail "kivpxe does not recommend samba"

step "the installed program and unit"
out=$(in_root kivpxe --version 2>&1) && [ "$out" = "kivpxe $version" ] || fail "kivpxe --version: $out"
in_root systemd-analyze verify kivpxe.service > "$root/tmp/verify.log" 2>&1 ||
  { cat "$root/tmp/verify.log"; fail "systemd-analyze verify kivpxe.service"; }
[ -s "$root/tmp/verify.log" ] && { echo "systemd-analyze:"; cat "$root/tmp/verify.log"; fail "unit warnings"; }
state=$(in_root systemctl is-enabled kivpxe.service 2>&1)
[ "$state" = disabled ] || fail "kivpxe.service is '$state' after install, not disabled"
in_root man -w kivpxe > /dev/null 2>&1 || [ -f "$root/usr/share/man/man8/kivpxe.8.gz" ] || fail "no kivpxe(8)"
data=$root/var/lib/kivpxe
for f in pxelinux/pxelinux.1408.0 grub2/grub2.x64efi.all.0 ipxe/ipxe.efi.0 Ferrit/FERRIT_64.exe conf/os_type.json; do
  cmp -s "$root/usr/share/kivpxe/$f" "$data/$f" || fail "/var/lib/kivpxe/$f is not the shipped one"
done
[ "$(readlink "$data/plugin/PLUG_HERON.so")" = /usr/lib/kivpxe/plugin/PLUG_HERON.so ] &&
  [ -f "$root/usr/lib/kivpxe/plugin/PLUG_HERON.so" ] ||
  fail "plugin/PLUG_HERON.so leads to $(readlink "$data/plugin/PLUG_HERON.so")"

step "a headless start from the installed data tree"
"$top/tools/lab/make-shaped-source.sh" ubuntu "$root/srv/ubuntu.iso" > /dev/null 2>&1 ||
  fail "cannot build the shaped Ubuntu source"
in_root kivpxe-configure /var/lib/kivpxe --first 10.217.0.100 --count 10 --source /srv/ubuntu.iso \
  --loader ipxe --mask 255.255.255.0 --gateway 10.217.0.1 --autostart > /dev/null || fail "kivpxe-configure"
kiv_netns_new ns deb
kiv_netns_new peer debpeer
kiv_veth_pair "$ns" eth0 10.217.0.1/24 "$peer" eth1 10.217.0.2/24 || fail "no veth pair"
kiv_bg "$ns" chroot "$root" /usr/sbin/kivpxe --data-dir /var/lib/kivpxe --headless \
  > "$root/tmp/kivpxe.out" 2>&1
pid=$KIV_LAST_PID
kiv_wait_for 60 grep -q '^SERVICE started' "$root/tmp/kivpxe.out" ||
  { tail -n 20 "$root/tmp/kivpxe.out"; fail "the deployment did not start"; }
ip netns exec "$peer" timeout 30 curl -sS -o "$root/tmp/ipxe.efi.0" tftp://10.217.0.1/ipxe.efi.0 &&
  cmp -s "$root/tmp/ipxe.efi.0" "$root/usr/share/kivpxe/ipxe/ipxe.efi.0" || fail "TFTP did not serve the installed iPXE"
kill -TERM "$pid"; wait "$pid"; rc=$?
[ "$rc" -eq 0 ] || { tail -n 20 "$root/tmp/kivpxe.out"; fail "kivpxe exited $rc after SIGTERM"; }
grep -m1 '^SERVICE started' "$root/tmp/kivpxe.out"

step "purge"
echo "# the operator's line" >> "$data/kickstart/heron-ubuntu.yaml"
edited=$(sha256sum < "$data/kickstart/heron-ubuntu.yaml")
settings=$(sha256sum < "$data/conf/orv.json")
in_root apt-get purge -y -q kivpxe > "$root/tmp/purge.log" 2>&1 || { tail -n 20 "$root/tmp/purge.log"; fail "purge"; }
for gone in usr/sbin/kivpxe usr/share/kivpxe usr/lib/kivpxe lib/systemd/system/kivpxe.service \
            var/lib/kivpxe/pxelinux/pxelinux.1408.0 var/lib/kivpxe/plugin/PLUG_HERON.so; do
  [ ! -e "$root/$gone" ] && [ ! -L "$root/$gone" ] || fail "/$gone is left after purge"
done
for kept in conf/orv.json conf/dhcp_db.json conf/os_type.json kickstart/heron-ubuntu.yaml; do
  [ -f "$data/$kept" ] || fail "purge removed /var/lib/kivpxe/$kept"
done
[ "$(sha256sum < "$data/conf/orv.json")" = "$settings" ] || fail "purge changed the settings"

step "install again"
in_root sh -c "cd /tmp && apt install -y -q --no-install-recommends ./${deb##*/}" > "$root/tmp/install2.log" 2>&1 ||
  { tail -n 20 "$root/tmp/install2.log"; fail "second install"; }
[ "$(sha256sum < "$data/kickstart/heron-ubuntu.yaml")" = "$edited" ] || fail "reinstall overwrote the edited template"
[ "$(sha256sum < "$data/conf/orv.json")" = "$settings" ] || fail "reinstall changed the settings"
cmp -s "$root/usr/share/kivpxe/pxelinux/pxelinux.1408.0" "$data/pxelinux/pxelinux.1408.0" || fail "loaders not back"
passed=1
step "PASS: installed, verified, started, purged and installed again"
