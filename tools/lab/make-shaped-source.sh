#!/usr/bin/env bash
# make-shaped-source.sh FAMILY ISO [ARCH]: an installation source shaped like one distribution family's
# media, which the shipped PLUG_HERON profile matches like the real image: the family's layout
# and identity files, Debian's installer kernel and the lab's stand-in installer (see
# test-source/init, told the family) at the kernel and initrd paths the family's menus name,
# and small stand-ins for the files the installer fetches from the repository.
#   ubuntu  Ubuntu Server 22.04: .disk/info, casper/vmlinuz, casper/initrd; also for ARCH arm64
#           (an arm64 release in .disk/info, Debian's arm64 installer kernel)
#   rhel    Rocky Linux 9: .treeinfo, images/pxeboot/{vmlinuz,initrd.img}, images/install.img;
#           also for ARCH arm64 (aarch64 in .treeinfo, Debian's arm64 installer kernel)
#   suse    openSUSE Leap 15: media.1/products, boot/x86_64/loader/{linux,initrd},
#           boot/x86_64/root
#   esxi    VMware ESXi 8.0: boot.cfg, upgrade/metadata.xml, imgdb.tgz, the boot modules boot.cfg
#           names, mboot.c32 and efi/boot/bootx64.efi, all small files: no stand-in follows
#           VMware's loaders (mboot.c32 -c FILE), so an ESXi client gets as far as the loader
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
family=${1:?usage: make-shaped-source.sh ubuntu|rhel|suse|esxi ISO}
out=${2:?usage: make-shaped-source.sh ubuntu|rhel|suse|esxi ISO [amd64|arm64]}
arch=${3:-amd64}
case $family/$arch in */amd64|rhel/arm64|ubuntu/arm64) ;;
  *) echo "make-shaped-source: no $arch source for $family" >&2; exit 2 ;; esac
source "$here/stand-in-lib.sh"

src=$(mktemp -d)
trap 'rm -rf "$src"' EXIT
# kernel DIR KERNEL INITRD: the installer kernel and the family's stand-in initramfs.
kernel() {
  mkdir -p "$src/$1"
  cp "$(stand_in_kernel "$arch")" "$src/$1/$2"
  stand_in_initramfs "$family" "$src/$1/$3" "$arch"
}
small() { mkdir -p "$(dirname "$src/$1")"; echo "stand-in for $1 of the $family media" > "$src/$1"; }

case $family in
  ubuntu)
    kernel casper vmlinuz initrd
    mkdir -p "$src/.disk"
    echo "Ubuntu-Server 22.04.4 LTS \"Jammy Jellyfish\" - Release $arch (20240220)" > "$src/.disk/info"
    volume="Ubuntu-Server 22.04.4 LTS $arch" ;;
  rhel)
    kernel images/pxeboot vmlinuz initrd.img
    small images/install.img
    tree_arch=x86_64
    [ "$arch" = arm64 ] && tree_arch=aarch64
    printf '[general]\nfamily = Rocky Linux\nversion = 9.3\narch = %s\n[release]\nname = Rocky Linux\nshort = Rocky\nversion = 9.3\n[tree]\narch = %s\n[stage2]\nmainimage = images/install.img\n' "$tree_arch" "$tree_arch" > "$src/.treeinfo"
    volume="Rocky-9-3-$tree_arch-dvd" ;;
  suse)
    kernel boot/x86_64/loader linux initrd
    small boot/x86_64/root
    mkdir -p "$src/media.1"
    echo "/ openSUSE-Leap 15.5-0" > "$src/media.1/products"
    volume="openSUSE-Leap-15.5-DVD-x86_64" ;;
  esxi)
    modules="b.b00 jumpstrt.gz useropts.gz features.gz k.b00 uc_intel.b00 uc_amd.b00 procfs.b00 vmx.v00 imgdb.tgz"
    for m in $modules; do small "$m"; done
    printf 'bootstate=0\r\ntitle=Loading ESXi installer\r\ntimeout=5\r\nprefix=\r\nkernel=/b.b00\r\nkernelopt=runweasel cdromBoot\r\nmodules=/jumpstrt.gz --- /useropts.gz --- /features.gz --- /k.b00 --- /uc_intel.b00 --- /uc_amd.b00 --- /procfs.b00 --- /vmx.v00 --- /imgdb.tgz\r\nbuild=8.0.2-0.0.22380479\r\nupdated=0\r\n' > "$src/boot.cfg"
    mkdir -p "$src/efi/boot" "$src/upgrade"
    sed 's/\r//;s|^kernel=/|kernel=|' "$src/boot.cfg" > "$src/efi/boot/boot.cfg"
    echo "<esxVersion>8.0.2</esxVersion>" > "$src/upgrade/metadata.xml"
    small mboot.c32
    small efi/boot/bootx64.efi
    volume="ESXI-8.0U2-22380479-STANDARD" ;;
  *) echo "make-shaped-source: unknown family $family (ubuntu, rhel, suse, esxi)" >&2; exit 2 ;;
esac
xorriso -as mkisofs -quiet -R -J -V "${volume:0:32}" -o "$out.tmp" "$src"
mv "$out.tmp" "$out"
echo "$out"
