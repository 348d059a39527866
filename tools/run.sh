#!/usr/bin/env bash
# The run command of the README, a demonstration: installs what is missing, builds, and runs the
# virtual lab (tools/lab/lab.sh): kivpxe in a private network namespace deploys a virtual machine
# that boots from the network until its row reads "Install Finished", then keeps serving until
# Ctrl-C; the web console of that kivpxe is forwarded to 127.0.0.1:8800 (KIV_CONSOLE_PORT) and its
# URL printed. DHCP never runs on a real interface here. Extra arguments go to the lab, e.g.
# "--loader grub2 --firmware efi64". To deploy on a real network see docs/operator-guide.md.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" -ne 0 ]; then
  echo "run: the lab needs root (network namespaces, tap devices); run: sudo $0 $*" >&2
  exit 1
fi
"$top/tools/setup.sh"
"$top/tools/build.sh"
exec "$top/tools/lab/lab.sh" --serve --show-client --console "${KIV_CONSOLE_PORT:-8800}" "$@"
