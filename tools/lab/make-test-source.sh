#!/usr/bin/env bash
# make-test-source.sh ISO: builds the lab's installation source, an ISO image holding Debian's
# installer kernel and a small busybox initramfs that behaves like an installer (see
# test-source/init). The image carries ".disk/info" reading "KIVPXE Lab Installer", which the
# lab's plug-in profile entry matches. Built pieces are cached in ~/.cache/kivpxe.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: make-test-source.sh ISO}
di=/usr/lib/debian-installer/images/12/amd64/text/debian-installer/amd64
[ -f "$di/linux" ] || { echo "missing $di/linux (package debian-installer-12-netboot-amd64)" >&2; exit 1; }
# The initramfs has no libraries: only the static build runs there.
linkage=$(LC_ALL=C ldd /bin/busybox 2>&1 || true)
[ -x /bin/busybox ] && [[ $linkage == *"not a dynamic executable"* ]] ||
  { echo "a static /bin/busybox is needed (package busybox-static)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/initramfs
mkdir -p "$root"/{bin,sbin,proc,sys,dev,tmp,lib/modules,etc}
cp /bin/busybox "$root/bin/busybox"
for applet in $("$root/bin/busybox" --list); do
  [ -e "$root/bin/$applet" ] || ln -s busybox "$root/bin/$applet"
done
cp "$here/test-source/init" "$root/init"
cp "$here/test-source/udhcpc.script" "$root/udhcpc.script"

# The network and USB-disk drivers of the installer kernel come from the installer's own initrd.
(cd "$work" && mkdir di && cd di && zcat "$di/initrd.gz" | cpio -idm --quiet 'lib/modules/*' 2>/dev/null) || true
modules="virtio virtio_ring virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci failover
  net_failover virtio_net usb-common usbcore xhci-hcd xhci-pci scsi_common scsi_mod crc64-rocksoft
  crc64 crct10dif_common crc-t10dif t10-pi sd_mod usb-storage"
for m in $modules; do
  f=$(find "$work/di/lib/modules" -name "$m.ko" | head -n 1)
  [ -n "$f" ] && cp "$f" "$root/lib/modules/"
done
ls "$root/lib/modules" | grep -q '^virtio_net.ko$' || { echo "no NIC driver found in the installer initrd" >&2; exit 1; }

src=$work/iso
mkdir -p "$src/install" "$src/.disk"
cp "$di/linux" "$src/install/vmlinuz"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -9) > "$src/install/initrd.gz"
echo "KIVPXE Lab Installer 1.0 amd64" > "$src/.disk/info"
echo "A file the installer downloads over HTTP, as an installer fetches its packages." > "$src/install/payload.txt"
xorriso -as mkisofs -quiet -R -J -V KIVPXE_LAB -o "$out.tmp" "$src"
mv "$out.tmp" "$out"
echo "$out"
