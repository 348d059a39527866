#!/usr/bin/env bash
# The test command of the README: installs what is missing, builds, and runs every test.
# Extra arguments go to ctest (for example: tools/test.sh -L boot).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/setup.sh"
"$top/tools/build.sh"
cd "${KIV_BUILD_DIR:-$top/build}"
# Without arguments every test runs but those labelled "chroot" (the Debian package installed in
# a fresh Debian 12 chroot: minutes of downloads); "tools/test.sh -L chroot" runs them.
[ $# -gt 0 ] || set -- -LE chroot
ctest --output-on-failure -j "$(nproc)" "$@"
