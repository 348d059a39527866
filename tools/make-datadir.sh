#!/usr/bin/env bash
# Builds a ready data directory: usage tools/make-datadir.sh DIR. Idempotent.
# For now it lays out the directory tree and the shipped data; the boot loaders taken from
# Debian's packages join it with the loader-tree work.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:?usage: make-datadir.sh DIR}
build=${KIV_BUILD_DIR:-$top/build}
mkdir -p "$dir"
for d in pxelinux/pxelinux.cfg grub2/grub2.cfg ipxe/ipxe.cfg virtualiso/extfile virtualiso/conf/bios \
         virtualiso/conf/uefi kickstart plugin driver/Linux driver/Windows log conf dll icon/os repository; do
  mkdir -p "$dir/$d"
done
[ -d "$top/data" ] && cp -r "$top/data/." "$dir/"
[ -f "$build/data/dll/version.data" ] && cp "$build/data/dll/version.data" "$dir/dll/version.data"
echo "data directory ready: $dir"
