# The lab's stand-in installer, shared by make-test-source.sh and make-shaped-source.sh. Source it;
# it needs Debian's network installer (package debian-installer-12-netboot-amd64) for the kernel
# and its drivers, and a static busybox (package busybox-static).
#
#   stand_in_kernel [ARCH]      path of the installer kernel the sources carry (amd64, arm64)
#   stand_in_initramfs FAMILY OUT [ARCH]
#                               writes the stand-in's initramfs (gzip'ed cpio) to OUT; FAMILY
#                               (lab, debian, ubuntu, rhel, suse) picks the kernel parameters and
#                               answer-file format it follows (see test-source/init)

stand_in_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

stand_in_di() {
  echo "/usr/lib/debian-installer/images/12/${1:-amd64}/text/debian-installer/${1:-amd64}"
}

stand_in_kernel() {
  local di; di=$(stand_in_di "${1:-amd64}")
  [ -f "$di/linux" ] ||
    { echo "missing $di/linux (package debian-installer-12-netboot-${1:-amd64})" >&2; return 1; }
  echo "$di/linux"
}

# The stand-in's own files: init, its DHCP hook, the curl the answer files call, the family.
stand_in_files() {
  local family=$1 root=$2
  mkdir -p "$root/bin" "$root/etc"
  install -m 0755 "$stand_in_dir/test-source/init" "$root/init"
  install -m 0755 "$stand_in_dir/test-source/udhcpc.script" "$root/udhcpc.script"
  install -m 0755 "$stand_in_dir/test-source/curl" "$root/bin/curl"
  echo "$family" > "$root/etc/kiv-family"
}

stand_in_initramfs() {
  local family=$1 out=$2 arch=${3:-amd64} work root linkage applet m f stand_in_di
  stand_in_di=$(stand_in_di "$arch")
  stand_in_kernel "$arch" > /dev/null || return 1
  if [ "$arch" != amd64 ]; then
    # No static busybox of this architecture here: the installer's own initrd is the userland
    # (busybox, its libraries, the drivers with their index), the stand-in's files laid over it
    # as a second archive, which the kernel unpacks after the first.
    work=$(mktemp -d)
    stand_in_files "$family" "$work"
    { cat "$stand_in_di/initrd.gz"; (cd "$work" && find . | cpio -o -H newc --quiet | gzip -9); } > "$out"
    rm -rf "$work"
    return 0
  fi
  # The initramfs has no libraries: only the static build runs there.
  linkage=$(LC_ALL=C ldd /bin/busybox 2>&1 || true)
  [ -x /bin/busybox ] && [[ $linkage == *"not a dynamic executable"* ]] ||
    { echo "a static /bin/busybox is needed (package busybox-static)" >&2; return 1; }
  work=$(mktemp -d)
  root=$work/initramfs
  mkdir -p "$root"/{bin,sbin,proc,sys,dev,tmp,lib/modules,etc}
  cp /bin/busybox "$root/bin/busybox"
  for applet in $("$root/bin/busybox" --list); do
    [ -e "$root/bin/$applet" ] || ln -s busybox "$root/bin/$applet"
  done
  stand_in_files "$family" "$root"

  # The network and USB-disk drivers of the installer kernel come from the installer's own initrd.
  (cd "$work" && mkdir di && cd di && zcat "$stand_in_di/initrd.gz" | cpio -idm --quiet 'lib/modules/*' 2>/dev/null) || true
  for m in virtio virtio_ring virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci failover \
      net_failover virtio_net usb-common usbcore xhci-hcd xhci-pci scsi_common scsi_mod \
      crc64-rocksoft crc64 crct10dif_common crc-t10dif t10-pi sd_mod usb-storage; do
    f=$(find "$work/di/lib/modules" -name "$m.ko" | head -n 1)
    [ -n "$f" ] && cp "$f" "$root/lib/modules/"
  done
  if ! ls "$root/lib/modules" | grep -q '^virtio_net.ko$'; then
    echo "no NIC driver found in the installer initrd" >&2
    rm -rf "$work"
    return 1
  fi
  (cd "$root" && find . | cpio -o -H newc --quiet | gzip -9) > "$out"
  rm -rf "$work"
}
