#!/usr/bin/env bash
# make-windows-source.sh DIR: a synthetic installation source shaped like Windows 10 x64 media,
# made with wimlib, which the shipped PLUG_OSPREY profile matches like the real media. No
# Microsoft file is in it: the boot manager files in the boot WIM and setup.exe are small
# stand-in files.
#   sources/install.wim  one image "Windows 10 Pro" (what the profile's regex matches)
#   sources/boot.wim     "Microsoft Windows PE" and the boot image "Microsoft Windows Setup",
#                        holding Windows/Boot/PXE/{pxeboot.n12,bootmgr.exe} and
#                        Windows/Boot/EFI/bootmgfw.efi
#   boot/boot.sdi, boot/en-us/, setup.exe, autorun.inf (an x64 media)
set -euo pipefail
out=${1:?usage: make-windows-source.sh DIR}
command -v wimlib-imagex >/dev/null || { echo "make-windows-source: wimlib-imagex is missing (wimtools)" >&2; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
rm -rf "$out"
mkdir -p "$out/sources" "$out/boot/en-us"

stand_in() { mkdir -p "$(dirname "$1")"; echo "KIVPXE lab stand-in for $2" > "$1"; }

stand_in "$scratch/install/Windows/System32/ntoskrnl.exe" "the installed system"
wimlib-imagex capture "$scratch/install" "$out/sources/install.wim" "Windows 10 Pro" >/dev/null

stand_in "$scratch/pe/Windows/System32/winpeshl.exe" "WinPE's shell"
stand_in "$scratch/pe/Windows/Boot/PXE/pxeboot.n12" "the BIOS PXE boot program"
stand_in "$scratch/pe/Windows/Boot/PXE/bootmgr.exe" "the BIOS boot manager"
stand_in "$scratch/pe/Windows/Boot/EFI/bootmgfw.efi" "the UEFI boot manager"
wimlib-imagex capture "$scratch/pe" "$out/sources/boot.wim" "Microsoft Windows PE" >/dev/null
stand_in "$scratch/pe/sources/setup.exe" "Windows Setup"
wimlib-imagex append "$scratch/pe" "$out/sources/boot.wim" "Microsoft Windows Setup" --boot >/dev/null

stand_in "$out/boot/boot.sdi" "the ramdisk image"
stand_in "$out/setup.exe" "Windows Setup"
printf '[AutoRun.Amd64]\r\nopen=setup.exe\r\nicon=setup.exe,0\r\n\r\n[AutoRun]\r\nopen=sources\\SetupError.exe x64\r\nicon=sources\\SetupError.exe,0\r\n' > "$out/autorun.inf"
