#!/usr/bin/env bash
# make-test-source.sh ISO: builds the lab's installation source, an ISO image holding Debian's
# installer kernel and a small busybox initramfs that behaves like an installer (see
# test-source/init). The image carries ".disk/info" reading "KIVPXE Lab Installer", which the
# lab's plug-in profile entry matches.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: make-test-source.sh ISO}
source "$here/stand-in-lib.sh"

src=$(mktemp -d)
trap 'rm -rf "$src"' EXIT
mkdir -p "$src/install" "$src/.disk"
cp "$(stand_in_kernel)" "$src/install/vmlinuz"
stand_in_initramfs lab "$src/install/initrd.gz"
echo "KIVPXE Lab Installer 1.0 amd64" > "$src/.disk/info"
echo "A file the installer downloads over HTTP, as an installer fetches its packages." > "$src/install/payload.txt"
xorriso -as mkisofs -quiet -R -J -V KIVPXE_LAB -o "$out.tmp" "$src"
mv "$out.tmp" "$out"
echo "$out"
