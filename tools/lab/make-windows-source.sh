#!/usr/bin/env bash
# make-windows-source.sh DIR: a Windows-shaped installation source (an unpacked Windows 10 x64
# medium, which the shipped PLUG_OSPREY profile matches) made without any Microsoft file:
#   sources/install.wim  one image "Windows 10 Pro"
#   sources/boot.wim     "Microsoft Windows PE" and the boot image "Microsoft Windows Setup", which
#                        holds the boot manager files PLUG_OSPREY takes out of it
#   boot/boot.sdi        random bytes in place of the ramdisk image
#   boot/en-us/, setup.exe, autorun.inf (with the x64 medium's "SetupError.exe x64" section, which
#                        makes PLUG_OSPREY choose the 64-bit agent)
# The boot managers are stand-ins built with Debian's GRUB: pxeboot.n12 (i386-pc-pxe) for BIOS
# clients, bootmgfw.efi (x86_64-efi) for UEFI clients. Each fetches over TFTP what the Windows
# boot manager fetches: bootmgr.exe (BIOS), the store DHCP option 252 names (else \Boot\BCD), and
# the ramdisk image and boot WIM of either loader tree's names; it prints each file's sha256 on
# the serial line between "KIVSTANDIN start" and "KIVSTANDIN end", then waits.
set -euo pipefail
out=${1:?usage: make-windows-source.sh DIR}
for tool in grub-mkimage wimlib-imagex; do
  command -v "$tool" >/dev/null || { echo "make-windows-source: $tool is missing (tools/packages/lab.list)" >&2; exit 2; }
done
for dir in /usr/lib/grub/i386-pc /usr/lib/grub/x86_64-efi; do
  [ -d "$dir" ] || { echo "make-windows-source: $dir is missing (grub-pc-bin, grub-efi-amd64-bin)" >&2; exit 2; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# standin FORMAT INTERFACES FIRMWARE FILE: a GRUB image whose embedded script (GRUB's rescue
# parser: plain commands, a failed one does not stop the next) plays the boot manager. INTERFACES
# are the names GRUB may give the network card the client booted from (under iPXE on UEFI the
# card iPXE provides comes after the firmware's); the one holding the DHCP answer has option 252.
standin() {
  local format=$1 ifaces=$2 firmware=$3 file=$4 extra= iface option=
  [ "$firmware" = bios ] && extra='hashsum --hash sha256 (tftp)/bootmgr.exe'
  for iface in $ifaces; do option+="net_get_dhcp_option bcd $iface 252 string"$'\n'; done
  cat > "$work/$firmware.cfg" <<EOF
serial --unit=0 --speed=115200
terminal_output serial
echo KIVSTANDIN start $firmware
set bcd=/Boot/BCD
${option}echo KIVSTANDIN store \$bcd
$extra
hashsum --hash sha256 (tftp)\$bcd
hashsum --hash sha256 (tftp)/boot/boot.sdi
hashsum --hash sha256 (tftp)/boot/boot_ISO1.sdi
hashsum --hash sha256 (tftp)/boot/KIVBoot.wim
hashsum --hash sha256 (tftp)/boot/KIVBoot_ISO1.wim
echo KIVSTANDIN end
sleep 3600
EOF
  local net=pxe
  [ "$firmware" = uefi ] && net=efinet
  grub-mkimage -O "$format" -p '(tftp)/' -c "$work/$firmware.cfg" -o "$file" \
    "$net" tftp net hashsum gcry_sha256 serial terminal echo sleep
}

img=$work/setup
mkdir -p "$img/Windows/Boot/PXE" "$img/Windows/Boot/EFI" "$img/sources" "$work/pe/Windows/System32" \
  "$work/install/Windows/System32" "$out/sources" "$out/boot/en-us"
standin i386-pc-pxe "\$net_default_interface pxe" bios "$img/Windows/Boot/PXE/pxeboot.n12"
standin x86_64-efi "\$net_default_interface efinet0 efinet1" uefi "$img/Windows/Boot/EFI/bootmgfw.efi"
echo "stand-in for bootmgr.exe, which pxeboot.n12 loads" > "$img/Windows/Boot/PXE/bootmgr.exe"
echo "stand-in for Setup" > "$img/setup.exe"
echo "stand-in for Setup" > "$img/sources/setup.exe"
echo "stand-in for Setup" > "$out/setup.exe"
echo "stand-in for the Windows PE shell" > "$work/pe/Windows/System32/winpeshl.exe"
echo "stand-in for an installed system file" > "$work/install/Windows/System32/notepad.exe"

rm -f "$out/sources/boot.wim" "$out/sources/install.wim"
wimlib-imagex capture "$work/pe" "$out/sources/boot.wim" "Microsoft Windows PE" > /dev/null
wimlib-imagex append "$img" "$out/sources/boot.wim" "Microsoft Windows Setup" --boot > /dev/null
wimlib-imagex capture "$work/install" "$out/sources/install.wim" "Windows 10 Pro" > /dev/null
head -c 262144 /dev/urandom > "$out/boot/boot.sdi"
printf '[AutoRun.Amd64]\r\nopen=setup.exe\r\nicon=setup.exe,0\r\n\r\n[AutoRun]\r\nopen=sources\\SetupError.exe x64\r\nicon=sources\\SetupError.exe,0\r\n' > "$out/autorun.inf"
