#!/usr/bin/env bash
# Benchmark of the ISO reader on an image of about 50,000 files and directories with tiny content:
# IsoOpen time and lookups per second, next to isoinfo and xorriso reading the same tree.
# Usage: bench/iso_bench.sh   (needs tools/build.sh to have configured ./build)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KIV_BUILD_DIR:-$top/build}
work=${TMPDIR:-/tmp}/kiv_iso_bench_$$
trap 'rm -rf "$work"' EXIT
for tool in xorriso isoinfo g++; do
  command -v "$tool" >/dev/null || { echo "iso_bench: $tool is needed (tools/setup.sh)"; exit 77; }
done
[ -f "$build/build.ninja" ] || cmake -S "$top" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target kiv_media >/dev/null
mkdir -p "$work/src"
g++ -std=c++20 -O2 -I"$top/server/media" "$top/bench/iso_bench.cpp" "$build/server/media/libkiv_media.a" \
  $(pkg-config --cflags --libs glib-2.0) -o "$work/iso_bench"

# 25 top directories x 20 subdirectories x 99 files = 49,500 files and 525 directories.
( cd "$work/src"
  for a in $(seq -w 1 25); do
    for b in $(seq -w 1 20); do
      d=top$a/sub$b; mkdir -p "$d"
      ( cd "$d" && for f in $(seq -w 1 99); do echo x > "file_$f.txt"; done )
      for f in 01 50 99; do echo "$d/file_$f.txt"; done
    done
  done > "$work/paths" )
xorriso -as mkisofs -quiet -R -J -o "$work/bench.iso" "$work/src" 2>/dev/null
echo "image: $(du -m "$work/bench.iso" | cut -f1) MiB"

secs() { local t0 t1; t0=$(date +%s.%N); "$@" >/dev/null 2>&1; t1=$(date +%s.%N); echo "$t1 - $t0" | bc -l; }
"$work/iso_bench" "$work/bench.iso" "$work/paths" | tee "$work/ours"
ours_open=$(awk '/^open_s/ {print $2}' "$work/ours")
isoinfo_s=$(secs isoinfo -l -R -i "$work/bench.iso")
xorriso_s=$(secs xorriso -indev "$work/bench.iso" -find / -name nothing)
printf '%-34s %10s %10s\n' "tree read of the whole image" "seconds" "ratio"
printf '%-34s %10.4f %10s\n' "IsoOpen (best of 5)" "$ours_open" "1.00"
printf '%-34s %10.4f %10.1f\n' "isoinfo -l -R" "$isoinfo_s" "$(echo "$isoinfo_s / $ours_open" | bc -l)"
printf '%-34s %10.4f %10.1f\n' "xorriso -indev -find" "$xorriso_s" "$(echo "$xorriso_s / $ours_open" | bc -l)"
