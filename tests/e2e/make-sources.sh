#!/usr/bin/env bash
# Builds the installation sources of the end-to-end tests once, into the build folder: the lab's
# stand-in installer and Debian's network installer (amd64 and arm64) laid out as netinst images,
# and sources shaped like the Ubuntu, RHEL-family, SUSE and ESXi media.
set -euo pipefail
out=$KIV_BINARY_DIR/tests/e2e
lab=$KIV_SOURCE_DIR/tools/lab
mkdir -p "$out"
"$lab/make-test-source.sh" "$out/kivpxe-lab-installer.iso"
"$lab/make-debian-source.sh" "$out/debian-12-netinst-lab.iso" amd64
"$lab/make-debian-source.sh" "$out/debian-12-netinst-arm64-lab.iso" arm64
for family in ubuntu rhel suse esxi; do
  "$lab/make-shaped-source.sh" "$family" "$out/shaped-$family.iso"
done
for family in rhel ubuntu; do
  "$lab/make-shaped-source.sh" "$family" "$out/shaped-$family-arm64.iso" arm64
done
