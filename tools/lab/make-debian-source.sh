#!/usr/bin/env bash
# make-debian-source.sh ISO: arranges Debian's network installer (package
# debian-installer-12-netboot-amd64) as an installation source laid out like a Debian netinst
# image: "install.amd/vmlinuz", "install.amd/initrd.gz" and ".disk/info". PLUG_HERON's shipped
# Debian entry matches it like the real image, so the lab and the tests boot the real installer
# through kivpxe with the shipped templates.
set -euo pipefail
out=${1:?usage: make-debian-source.sh ISO}
base=/usr/lib/debian-installer/images/12/amd64/text
di=$base/debian-installer/amd64
[ -f "$di/linux" ] || { echo "missing $di/linux (package debian-installer-12-netboot-amd64)" >&2; exit 1; }
build=$(sed -n 's/^Installer build: *//p' "$base/version.info")
src=$(mktemp -d)
trap 'rm -rf "$src"' EXIT
mkdir -p "$src/install.amd" "$src/.disk"
cp "$di/linux" "$src/install.amd/vmlinuz"
cp "$di/initrd.gz" "$src/install.amd/initrd.gz"
printf 'Debian GNU/Linux 12 "Bookworm" - Official amd64 NETINST with firmware %s\n' "$build" > "$src/.disk/info"
echo "main" > "$src/.disk/base_components"
xorriso -as mkisofs -quiet -R -J -V "Debian 12 amd64 n" -o "$out.tmp" "$src"
mv "$out.tmp" "$out"
echo "$out"
