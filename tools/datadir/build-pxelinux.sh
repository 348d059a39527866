#!/usr/bin/env bash
# Builds PXELINUX from Debian's syslinux source with another TFTP block size:
#   build-pxelinux.sh CACHE BLOCKSIZE OUT
# The source is the version of the installed pxelinux package, so the result works with that
# package's ldlinux.c32 and modules. Only the block size asked for in every read request changes,
# and the packet buffer grows to hold such a block.
set -euo pipefail
cache=${1:?usage: build-pxelinux.sh CACHE BLOCKSIZE OUT}
size=${2:?usage: build-pxelinux.sh CACHE BLOCKSIZE OUT}
out=${3:?usage: build-pxelinux.sh CACHE BLOCKSIZE OUT}
top=$(cd "$(dirname "$0")/../.." && pwd)
version=$(dpkg-query -W -f='${Version}' pxelinux)
for tool in nasm gcc make dpkg-source; do
  command -v "$tool" >/dev/null || { echo "build-pxelinux: $tool is missing (tools/setup.sh)" >&2; exit 1; }
done
"$top/tools/apt-private.sh" "$cache" source "syslinux=$version"
work=$(mktemp -d "${TMPDIR:-/tmp}/kiv-pxelinux-$$.XXXXXX")
trap 'rm -rf "$work"' EXIT
dpkg-source --no-check -x "$cache/src/syslinux_${version#*:}.dsc" "$work/src" >/dev/null
cd "$work/src"
tftp=core/fs/pxe/tftp.c pxeh=core/fs/pxe/pxe.h
grep -q '"blksize\\0""1408"' "$tftp" && grep -q '^#define PKTBUF_SIZE' "$pxeh" ||
  { echo "build-pxelinux: syslinux $version does not look as expected" >&2; exit 1; }
sed -i "s/\"blksize\\\\0\"\"1408\"/\"blksize\\\\0\"\"$size\"/" "$tftp"
sed -i "s/^#define PKTBUF_SIZE.*/#define PKTBUF_SIZE $(( size > 2048 ? size + 512 : 2560 ))/" "$pxeh"
grep -q "\"blksize\\\\0\"\"$size\"" "$tftp" || { echo "build-pxelinux: block size not set" >&2; exit 1; }
make -j"$(nproc)" bios PYTHON=python3 >"$work/build.log" 2>&1 ||
  { tail -n 30 "$work/build.log" >&2; echo "build-pxelinux: build failed" >&2; exit 1; }
cp bios/core/pxelinux.0 "$out.tmp.$$" && mv -f "$out.tmp.$$" "$out"
