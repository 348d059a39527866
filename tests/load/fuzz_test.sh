#!/usr/bin/env bash
# Regression run of the libFuzzer targets: each replays its corpus (every earlier finding is kept
# there) and fuzzes a couple of seconds more under ASan + UBSan.
set -uo pipefail
command -v clang++ >/dev/null || { echo "SKIP: clang++ is not installed"; exit 77; }
KIV_FUZZ_READONLY=1 exec bash "$KIV_SOURCE_DIR/bench/fuzz.sh" "${KIV_FUZZ_SECONDS:-2}"
