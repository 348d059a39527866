#!/usr/bin/env bash
# The run command of the README: installs what is missing, builds, prepares a ready data
# directory (default ./datadir) and starts the server in it. Extra arguments go to kivpxe.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
datadir=${KIV_DATA_DIR:-$top/datadir}
"$top/tools/setup.sh"
"$top/tools/build.sh"
"$top/tools/make-datadir.sh" "$datadir"
# Nothing here sets AutoStart: a deployment (and DHCP on a real interface) starts only when the
# operator asks for it.
exec "${KIV_BUILD_DIR:-$top/build}/server/core/kivpxe" --data-dir "$datadir" "$@"
