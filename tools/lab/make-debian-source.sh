#!/usr/bin/env bash
# make-debian-source.sh ISO [amd64|arm64]: arranges Debian's network installer (package
# debian-installer-12-netboot-<arch>) as an installation source laid out like a Debian netinst
# image: "install.amd/" (or "install.a64/") with "vmlinuz" and "initrd.gz", and ".disk/info". PLUG_HERON's shipped
# Debian entry matches it like the real image, so the lab and the tests boot the real installer
# through kivpxe with the shipped templates.
set -euo pipefail
out=${1:?usage: make-debian-source.sh ISO [amd64|arm64]}
arch=${2:-amd64}
case $arch in amd64) inst=install.amd ;; arm64) inst=install.a64 ;;
  *) echo "unknown architecture $arch" >&2; exit 2 ;; esac
base=/usr/lib/debian-installer/images/12/$arch/text
di=$base/debian-installer/$arch
[ -f "$di/linux" ] || { echo "missing $di/linux (package debian-installer-12-netboot-$arch)" >&2; exit 1; }
build=$(sed -n 's/^Installer build: *//p' "$base/version.info")
src=$(mktemp -d)
trap 'rm -rf "$src"' EXIT
mkdir -p "$src/$inst" "$src/.disk"
cp "$di/linux" "$src/$inst/vmlinuz"
cp "$di/initrd.gz" "$src/$inst/initrd.gz"
printf 'Debian GNU/Linux 12 "Bookworm" - Official %s NETINST with firmware %s\n' "$arch" "$build" > "$src/.disk/info"
echo "main" > "$src/.disk/base_components"
xorriso -as mkisofs -quiet -R -J -V "Debian 12 $arch n" -o "$out.tmp" "$src"
mv "$out.tmp" "$out"
echo "$out"
