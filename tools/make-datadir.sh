#!/usr/bin/env bash
# Builds a ready data directory: usage tools/make-datadir.sh DIR. Idempotent.
#
# The tree is the shipped content of data/ plus boot loaders taken from Debian's packages
# (tools/packages/datadir.list) and pictures drawn at setup. Nothing here is committed: GRUB
# images and the arm64 GRUB modules are built or downloaded into a cache folder
# (KIV_CACHE_DIR, default ${XDG_CACHE_HOME:-~/.cache}/kivpxe), so a second run is fast and
# works offline. Shipped files the operator changed, per-client menus and anything else in DIR
# that this script does not make are left alone.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
here="$top/tools/datadir"
dir=${1:?usage: make-datadir.sh DIR}
build=${KIV_BUILD_DIR:-$top/build}
cache=${KIV_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/kivpxe}
backgrounds=${KIV_BACKGROUND_COUNT:-3}

die() { echo "make-datadir: $*" >&2; exit 1; }

# need FILE PACKAGE: the file a Debian package provides, or a clear error naming the package.
need() { [ -e "$1" ] || die "$1 is missing: install the Debian package '$2' (tools/setup.sh)"; }

# put SRC DEST: copies a file through a temporary name, leaving an identical file untouched.
put() {
  cmp -s "$1" "$2" 2>/dev/null && return 0
  cp "$1" "$2.tmp.$$" && chmod 0644 "$2.tmp.$$" && mv -f "$2.tmp.$$" "$2"
}

mkdir -p "$dir" "$cache"
dir=$(cd "$dir" && pwd)
# One run at a time per cache: parallel test runs share the cache and often the tree.
exec 9>"$cache/.lock"
flock 9
for d in pxelinux/pxelinux.cfg pxelinux/bios pxelinux/efi64 grub2/grub2.cfg ipxe/ipxe.cfg \
         virtualiso/extfile virtualiso/conf/bios virtualiso/conf/uefi kickstart plugin \
         driver/Linux driver/Windows log conf dll icon/os repository; do
  mkdir -p "$dir/$d"
done
# Shipped content (KIV_SHIPPED_DIR, default data/): a file the operator changed is kept, like a
# configuration file of a package (tools/datadir/copy-shipped.sh).
shipped=${KIV_SHIPPED_DIR:-$top/data}
[ ! -d "$shipped" ] || "$here/copy-shipped.sh" "$shipped" "$dir"

# --- PXELINUX ------------------------------------------------------------------------------
# BIOS and EFI modules share names (menu.c32, libutil.c32...) but not formats: the EFI loader
# crashes the firmware on a BIOS module. Both loaders look for a module first under its bare
# name in the boot file's folder, so neither set may sit there: BIOS modules live in "bios/",
# EFI modules in "efi64/", and a menu names its set with "PATH bios/" or "PATH efi64/". Only
# the two core modules, whose names differ (ldlinux.c32, ldlinux.e64), stay beside the loaders,
# where both look for them first. Per-client menus "pxelinux.cfg/01-<mac>" serve both.
pxe=/usr/lib/PXELINUX
mods=/usr/lib/syslinux/modules
need "$pxe/pxelinux.0" pxelinux
need "$mods/bios/ldlinux.c32" syslinux-common
need /usr/lib/SYSLINUX.EFI/efi64/syslinux.efi syslinux-efi
need "$mods/efi64/ldlinux.e64" syslinux-efi
put "$pxe/pxelinux.0" "$dir/pxelinux/pxelinux.1408.0"   # Debian's build asks for 1408-byte blocks
put "$pxe/lpxelinux.0" "$dir/pxelinux/lpxelinux.0"
put /usr/lib/SYSLINUX.EFI/efi64/syslinux.efi "$dir/pxelinux/pxelinux.efi.linux"
put "$mods/bios/ldlinux.c32" "$dir/pxelinux/ldlinux.c32"
put "$mods/efi64/ldlinux.e64" "$dir/pxelinux/ldlinux.e64"
for set in bios efi64; do
  for m in "$mods/$set"/*.c32; do
    [ "${m##*/}" = ldlinux.c32 ] || put "$m" "$dir/pxelinux/$set/${m##*/}"
  done
done

# pxelinux.2048.0: the same PXELINUX built from Debian's source, asking for 2048-byte blocks.
# Built once per pxelinux version into the cache; without the source (offline) it is left out.
p2048="$cache/pxelinux/pxelinux.2048.0.$(dpkg-query -W -f='${Version}' pxelinux | sha256sum | cut -c1-16)"
if [ ! -f "$p2048" ]; then
  mkdir -p "$cache/pxelinux"
  echo "make-datadir: building pxelinux.2048.0 from the syslinux source (once)" >&2
  "$here/build-pxelinux.sh" "$cache" 2048 "$p2048" ||
    echo "make-datadir: WARNING: pxelinux.2048.0 could not be built; it is missing" >&2
fi
[ ! -f "$p2048" ] || put "$p2048" "$dir/pxelinux/pxelinux.2048.0"

# --- GRUB 2 --------------------------------------------------------------------------------
# Every image embeds tools/datadir/grub-early.cfg: it runs before any menu, in GRUB's rescue
# parser (plain command lines only), turns the MAC into "aa-bb-cc-dd-ee-ff" and hands over to
# normal mode on "grub2.cfg/01-<mac>" from the TFTP server the image came from: the server of the
# firmware's DHCP acknowledgement, unless kivpxe has written its own address into the padded
# "kiv_server" line at its start (UEFI images; in proxyDHCP mode that acknowledgement is the
# site's server's). The BIOS image compresses its configuration, so it keeps the firmware's.
need /usr/bin/grub-mkimage grub-common
need /usr/lib/grub/i386-pc/pxeboot.img grub-pc-bin
need /usr/lib/grub/x86_64-efi/kernel.img grub-efi-amd64-bin
early="$here/grub-early.cfg"

# arm64 modules: Debian's grub-efi-arm64-bin, fetched through a private apt configuration. Without
# the mirror (and no cached copy) the arm64 image is left out with a warning; the rest stands.
arm64=$cache/grub-arm64
if [ ! -f "$arm64/usr/lib/grub/arm64-efi/kernel.img" ] &&
   "$top/tools/apt-private.sh" "$cache" arm64 grub-efi-arm64-bin; then
  rm -rf "$arm64.tmp" && mkdir -p "$arm64.tmp"
  debs=("$cache"/debs/grub-efi-arm64-bin_*_arm64.deb)
  dpkg-deb -x "${debs[-1]}" "$arm64.tmp"
  rm -rf "$arm64" && mv "$arm64.tmp" "$arm64"
fi

# modules_of PLATFORM_DIR: every module of a platform, less those only meant for GRUB's own tests
# and the shim verifier (it refuses every file without a shim to ask).
modules_of() {
  local m excluded
  excluded=" $(tr '\n' ' ' < "$here/grub-efi-excluded.modules") "
  for m in "$1"/*.mod; do
    m=${m##*/} m=${m%.mod}
    [[ $excluded == *" $m "* ]] || printf '%s\n' "$m"
  done
}

# grub_image NAME FORMAT PLATFORM_DIR MODULE... : builds into the cache once per set of inputs.
grub_image() {
  local name=$1 format=$2 platform=$3; shift 3
  local key out
  key=$( { grub-mkimage --version; echo "$format $*"; cat "$early" "$platform/kernel.img" "$platform/moddep.lst"; } |
         sha256sum | cut -c1-16)
  out="$cache/grub/$name.$key"
  if [ ! -f "$out" ]; then
    mkdir -p "$cache/grub"
    grub-mkimage -O "$format" -d "$platform" -c "$early" -p "(tftp)/" -o "$out.tmp.$$" "$@" ||
      die "grub-mkimage failed for $name"
    mv -f "$out.tmp.$$" "$out"
  fi
  put "$out" "$dir/grub2/$name"
}
# i386-pc-pxe output starts with pxeboot.img, so the image is a PXE boot program as it stands. The
# PXE stack loads it below 640 KiB: a curated set keeps it small, the rest is not needed to boot.
# shellcheck disable=SC2046
grub_image grub2.bios.all.0 i386-pc-pxe /usr/lib/grub/i386-pc $(cat "$here/grub-bios.modules")
# shellcheck disable=SC2046
grub_image grub2.x64efi.all.0 x86_64-efi /usr/lib/grub/x86_64-efi $(modules_of /usr/lib/grub/x86_64-efi)
if [ -f "$arm64/usr/lib/grub/arm64-efi/kernel.img" ]; then
  # shellcheck disable=SC2046
  grub_image grub2.arm64efi.all.0 arm64-efi "$arm64/usr/lib/grub/arm64-efi" \
    $(modules_of "$arm64/usr/lib/grub/arm64-efi")
  # With the iPXE tree, arm64 clients boot this GRUB as "grub_chain_arm64.efi" (there is no arm64
  # iPXE). It lies in the tree as a file, not as the link kivpxe would make: the file services
  # refuse a link that leads out of their root. kivpxe leaves a file of that name alone.
  [ -L "$dir/ipxe/grub_chain_arm64.efi" ] && rm -f "$dir/ipxe/grub_chain_arm64.efi"
  put "$dir/grub2/grub2.arm64efi.all.0" "$dir/ipxe/grub_chain_arm64.efi"
else
  echo "make-datadir: WARNING: grub-efi-arm64-bin could not be downloaded; grub2.arm64efi.all.0 is missing" >&2
fi
# The image iPXE chains for Xen-based systems (iPXE cannot start the Xen hypervisor under UEFI):
# an x86_64 UEFI GRUB with multiboot2 for xen.gz and its modules, same early config.
# shellcheck disable=SC2046
grub_image grub_chain_xen.efi x86_64-efi /usr/lib/grub/x86_64-efi $(cat "$here/grub-xen.modules")
# Fonts for graphical menus, found under the prefix the early config sets (the loader root).
mkdir -p "$dir/grub2/fonts"
for f in unicode ascii; do put "/usr/share/grub/$f.pf2" "$dir/grub2/fonts/$f.pf2"; done

# --- iPXE ----------------------------------------------------------------------------------
# Debian ships no arm64 iPXE, so "ipxe.arm64.efi.0" is absent; arm64 clients use GRUB. That GRUB
# reads "grub2.cfg/01-<mac>" from the loader root, here the iPXE tree: the link below leads it to
# the menu the plug-in writes in "ipxe.cfg" (the arm64 templates there are GRUB menus).
ln -sfn ipxe.cfg "$dir/ipxe/grub2.cfg"
need /usr/lib/ipxe/undionly.kpxe ipxe
put /usr/lib/ipxe/undionly.kpxe "$dir/ipxe/ipxe.bios.0"
put /usr/lib/ipxe/ipxe.efi "$dir/ipxe/ipxe.efi.0"
python3 "$here/make-pictures.py" backgrounds "$dir/ipxe" "$backgrounds"

# --- plug-ins ------------------------------------------------------------------------------
# The plug-ins of the build (PLUG_HERON.so, PLUG_OSPREY.so) are loaded from plugin/.
for so in "$build"/plugins/PLUG_*.so; do
  [ -f "$so" ] && put "$so" "$dir/plugin/$(basename "$so")"
done

# --- the install agent ----------------------------------------------------------------------
# FERRIT_32/64.exe and wget_32/64.exe come from the build (mingw-w64, tools/packages/agent.list).
# Without them a WinPE client gets no agent, so their absence is a warning, never silence; files
# the operator placed in "Ferrit/" (the HTTP-disk driver builds, wim_param.bin) are left alone.
mkdir -p "$dir/Ferrit"
for exe in FERRIT_32 FERRIT_64 wget_32 wget_64; do
  if [ -f "$build/agent/$exe.exe" ]; then
    put "$build/agent/$exe.exe" "$dir/Ferrit/$exe.exe"
  elif [ ! -f "$dir/Ferrit/$exe.exe" ]; then
    echo "make-datadir: WARNING: $build/agent/$exe.exe is not built; Ferrit/$exe.exe is missing" >&2
  fi
done

# --- Windows boot configuration -----------------------------------------------------------
# BCD stores for each loader tree and TFTP block size (tools/datadir/make-bcd.py, registry hives
# written with hivex; Debian's python3-hivex lives in the system Python). PLUG_OSPREY copies the
# stores of the configured block size beside the boot WIM at service start.
need /usr/lib/python3/dist-packages/hivex/__init__.py python3-hivex
for loader in pxelinux grub2 ipxe; do
  bcd=$(mktemp -d)
  /usr/bin/python3 "$here/make-bcd.py" "$bcd" "$loader" || { rm -rf "$bcd"; die "BCD stores for $loader failed"; }
  mkdir -p "$dir/$loader/OSPREY/boot/optimize"
  for f in "$bcd"/*; do put "$f" "$dir/$loader/OSPREY/boot/optimize/${f##*/}"; done
  rm -rf "$bcd"
done

# --- the rest ------------------------------------------------------------------------------
python3 "$here/make-pictures.py" icons "$dir/icon/os" "$dir/conf/os_type.json"
if [ -f "$build/data/dll/version.data" ]; then
  put "$build/data/dll/version.data" "$dir/dll/version.data"
elif [ ! -f "$dir/dll/version.data" ]; then
  # No build yet: three big-endian 32-bit numbers from the project version.
  version=$(sed -n 's/^project(KIVPXE VERSION \([0-9]*\)\.\([0-9]*\)\.\([0-9]*\).*/\1 \2 \3/p' "$top/CMakeLists.txt")
  [ -n "$version" ] || die "no project version found in CMakeLists.txt"
  # shellcheck disable=SC2086
  python3 -c 'import struct, sys; sys.stdout.buffer.write(struct.pack(">3I", *map(int, sys.argv[1:])))' \
    $version > "$dir/dll/version.data.tmp.$$" && mv -f "$dir/dll/version.data.tmp.$$" "$dir/dll/version.data"
fi
echo "data directory ready: $dir"
