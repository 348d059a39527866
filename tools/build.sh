#!/usr/bin/env bash
# Configures (once) and builds the whole tree into ./build with Ninja.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KIV_BUILD_DIR:-$top/build}
[ -f "$build/build.ninja" ] || cmake -S "$top" -B "$build" -G Ninja
cmake --build "$build"
