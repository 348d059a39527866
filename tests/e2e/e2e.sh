#!/usr/bin/env bash
# One end-to-end deployment in the lab (tools/lab/lab.sh), through kivpxe's own services only.
# KIV_E2E_CASE="<source> <loader> <firmware>":
#   installer     the lab's stand-in installer must reach "Install Finished", its row going
#                 through the DHCP offer, TFTP and HTTP statuses in that order (through UEFI
#                 HTTP boot, efi64-http: the offer, the loader over HTTP, then TFTP); with iPXE the
#                 server's metrics at that moment must tell the same run (check-metrics.py)
#   debian        Debian's real installer must fetch its preseed from "kickstart" and run its
#                 early command, which reports the client back to the server
#   debian-arm64  an arm64 client must boot the arm64 GRUB to its per-client menu and fetch the
#                 installer's kernel (with the iPXE tree too: GRUB stands in for arm64 iPXE)
#   ubuntu, rhel, suse
#                 a source shaped like the family's media (make-shaped-source.sh) is matched by
#                 the shipped profile; the stand-in installer follows the shipped menu's kernel
#                 line the way the family's installer does and must reach "Install Finished";
#                 kivpxe must have served the kernel, initrd, answer file and repository the
#                 profile promises (check-fetched.py)
#   rhel-arm64, ubuntu-arm64
#                 as rhel or ubuntu, on an arm64 client (AAVMF) with a source shaped like Enterprise Linux
#                 for aarch64
#   esxi          the shipped ESXi menu on a source shaped like ESXi media must lead the client
#                 to VMware's loader on the image; nothing here can follow that loader, so the
#                 client's boot.cfg and kickstart are checked as kivpxe wrote them
set -uo pipefail
read -r kind loader firmware <<< "${KIV_E2E_CASE:?KIV_E2E_CASE names the case}"
base=$KIV_BINARY_DIR/tests/e2e
dir=$base/$kind-$loader-$firmware
mkdir -p "$dir"
rows=$dir/rows.txt
: > "$rows"
case $kind in
  installer) args=(--source "$base/kivpxe-lab-installer.iso" --timeout 300)
             # With iPXE the kernel and initrd come over HTTP: the metrics must show them.
             [ "$loader" != ipxe ] || args+=(--metrics "$dir/metrics.txt" --snapshot "$dir/snap") ;;
  debian) args=(--source "$base/debian-12-netinst-lab.iso" --timeout 420
                --expect-log 'virturl_report_client_info') ;;
  debian-arm64) args=(--source "$base/debian-12-netinst-arm64-lab.iso" --timeout 420
                      --expect-log 'Start send file /ISO1/install\.a64/vmlinuz') ;;
  ubuntu|rhel|suse) args=(--source "$base/shaped-$kind.iso" --timeout 480 --snapshot "$dir/snap") ;;
  rhel-arm64|ubuntu-arm64)
    args=(--source "$base/shaped-$kind.iso" --timeout 1000 --snapshot "$dir/snap") ;;
  esxi) args=(--source "$base/shaped-esxi.iso" --timeout 300
              --expect-log 'Start send file /?ISO1/mboot\.c32' --snapshot "$dir/snap") ;;
  *) echo "FAIL: unknown case $kind"; exit 1 ;;
esac
KIV_LAB_SERIAL=$dir/serial.log KIV_LAB_ROWS=$rows "$KIV_SOURCE_DIR/tools/lab/lab.sh" --loader "$loader" --firmware "$firmware" \
  --data-dir "$dir/datadir" --quiet "${args[@]}"
status=$?
[ "$status" -eq 0 ] || exit "$status"
case $kind in
  ubuntu|rhel|suse|esxi|rhel-arm64|ubuntu-arm64)
    exec python3 "$(dirname "$0")/check-fetched.py" "${kind%-arm64}" "$loader" "$dir" "${args[1]}" ;;
  installer) ;;
  *) exit 0 ;;
esac

# The row's statuses in order: the DHCP offer, a TFTP download, an HTTP download, the end; a
# client booting over HTTP fetches its loader from the loader tree's HTTP root before any TFTP.
steps=("Requesting IP address" "(TFTP" "(HTTP" "Install Finished")
[ "$firmware" != efi64-http ] || steps=("Requesting IP address" "/kiv_loader/" "(TFTP" "Install Finished")
python3 - "$rows" "${steps[@]}" <<'PY' || exit 1
import sys
lines = open(sys.argv[1], errors="replace").read().splitlines()
def first(text):
    for i, line in enumerate(lines):
        if text in line:
            return i
    sys.exit(f"FAIL: no row status with {text!r}:\n" + "\n".join(lines[:20]))
steps = [first(text) for text in sys.argv[2:]]
if steps != sorted(steps):
    sys.exit(f"FAIL: statuses {sys.argv[2:]} out of order (at lines {steps})")
print(f"PASS: {', '.join(sys.argv[2:])} in order; " + lines[-1])
PY
[ "$loader" != ipxe ] ||
  python3 "$(dirname "$0")/check-metrics.py" "$dir/metrics.txt" "$base/kivpxe-lab-installer.iso" "$dir/snap/tftp"
