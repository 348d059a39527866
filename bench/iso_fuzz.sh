#!/usr/bin/env bash
# Builds the ISO reader's libFuzzer target with clang (ASan + UBSan) and runs it.
# Usage: bench/iso_fuzz.sh [runs]   (default 3000000 executions)
# Seeds are the descriptor areas of small images made with xorriso and genisoimage.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-3000000}
work=${TMPDIR:-/tmp}/kiv_iso_fuzz_$$
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src/boot/grub" "$work/src/dir" "$work/plain" "$work/corpus"
for tool in clang++ xorriso genisoimage; do
  command -v "$tool" >/dev/null || { echo "iso_fuzz: $tool is needed (tools/setup.sh)"; exit 77; }
done

media=$top/server/media
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$media" $(pkg-config --cflags glib-2.0) \
  "$top/bench/iso_fuzz.cpp" "$media"/iso_detect.cpp "$media"/iso_file.cpp "$media"/iso_open.cpp \
  "$media"/iso_rockridge.cpp "$media"/iso_find.cpp "$media"/iso_read.cpp \
  $(pkg-config --libs glib-2.0) -o "$work/iso_fuzz"

echo "menuentry x {}" > "$work/src/boot/grub/grub.cfg"
head -c 2048 /dev/zero > "$work/src/boot/bios.img"
: > "$work/src/empty"
ln -s boot/grub/grub.cfg "$work/src/lnk"
ln -s ../boot "$work/src/dir/up"
printf 'x%.0s' $(seq 1 150) > "$work/src/$(printf 'n%.0s' $(seq 1 180))"
cp "$work/src/boot/grub/grub.cfg" "$work/plain/README.TXT"
xorriso -as mkisofs -quiet -R -J -b boot/bios.img -no-emul-boot -o "$work/rr.iso" "$work/src" 2>/dev/null
genisoimage -quiet -o "$work/plain.iso" "$work/plain" 2>/dev/null
for img in rr plain; do
  # The seed is the image from its descriptors on, cut where file data begins.
  dd if="$work/$img.iso" of="$work/corpus/$img" bs=2048 skip=16 count=20 status=none
done

cd "$work"
"$work/iso_fuzz" -runs="$runs" -max_len=40960 -dict="$top/bench/iso_fuzz.dict" -print_final_stats=1 \
  "$work/corpus" 2>&1 | grep -E "^(#|stat::number_of_executed_units|stat::peak_rss|==|SUMMARY|Done)" | tail -12
