#!/usr/bin/env bash
# The test command of the README: installs what is missing, builds, and runs every test.
# Extra arguments go to ctest (for example: tools/test.sh -L boot).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/setup.sh"
"$top/tools/build.sh"
cd "${KIV_BUILD_DIR:-$top/build}"
ctest --output-on-failure -j "$(nproc)" "$@"
