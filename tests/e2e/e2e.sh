#!/usr/bin/env bash
# One end-to-end deployment in the lab (tools/lab/lab.sh), through kivpxe's own services only.
# KIV_E2E_CASE="<source> <loader> <firmware>":
#   installer     the lab's stand-in installer must reach "Install Finished", its row going
#                 through the DHCP offer, TFTP and HTTP statuses in that order
#   debian        Debian's real installer must fetch its preseed from "kickstart" and run its
#                 early command, which reports the client back to the server
#   debian-arm64  an arm64 client must boot the arm64 GRUB to its per-client menu and fetch the
#                 installer's kernel (with the iPXE tree too: GRUB stands in for arm64 iPXE)
set -uo pipefail
read -r kind loader firmware <<< "${KIV_E2E_CASE:?KIV_E2E_CASE names the case}"
base=$KIV_BINARY_DIR/tests/e2e
dir=$base/$kind-$loader-$firmware
mkdir -p "$dir"
rows=$dir/rows.txt
: > "$rows"
case $kind in
  installer) args=(--source "$base/kivpxe-lab-installer.iso" --timeout 300) ;;
  debian) args=(--source "$base/debian-12-netinst-lab.iso" --timeout 420
                --expect-log 'virturl_report_client_info') ;;
  debian-arm64) args=(--source "$base/debian-12-netinst-arm64-lab.iso" --timeout 420
                      --expect-log 'Start send file /ISO1/install\.a64/vmlinuz') ;;
  *) echo "FAIL: unknown case $kind"; exit 1 ;;
esac
KIV_LAB_ROWS=$rows "$KIV_SOURCE_DIR/tools/lab/lab.sh" --loader "$loader" --firmware "$firmware" \
  --data-dir "$dir/datadir" --quiet "${args[@]}"
status=$?
[ "$status" -eq 0 ] || exit "$status"
[ "$kind" = installer ] || exit 0

# The row's statuses in order: the DHCP offer, a TFTP download, an HTTP download, the end.
python3 - "$rows" <<'PY'
import sys
lines = open(sys.argv[1], errors="replace").read().splitlines()
def first(text):
    for i, line in enumerate(lines):
        if text in line:
            return i
    sys.exit(f"FAIL: no row status with {text!r}:\n" + "\n".join(lines[:20]))
steps = [first("Requesting IP address"), first("(TFTP"), first("(HTTP"), first("Install Finished")]
if steps != sorted(steps):
    sys.exit(f"FAIL: statuses out of order (offer, TFTP, HTTP, finished at lines {steps})")
print("PASS: offer, TFTP, HTTP and Install Finished in order; " + lines[-1])
PY
