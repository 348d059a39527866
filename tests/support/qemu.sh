# Sourced by scripts that boot a QEMU machine from the network (boot tests, the lab).
#
#   kiv_qemu_machine FIRMWARE   bios (SeaBIOS, booting through the NIC's iPXE ROM), efi64 (OVMF) or
#                               arm64 (AAVMF), the UEFI ones with the firmware's own PXE stack (no
#                               option ROM); efi64-http is OVMF with its PXE boot options turned
#                               off, so that it boots through UEFI HTTP boot (over IPv4 first).
#                               Sets KIV_QEMU (command and machine), KIV_NIC (network
#                               device) and KIV_QEMU_MISSING (why it cannot run here, empty when it
#                               can); returns 1 for an unknown firmware.
#   kiv_qemu_flash DIR          adds the UEFI firmware to KIV_QEMU, its variables a private copy
#                               in DIR; nothing for bios.

kiv_qemu_machine() {
  KIV_FW_CODE= KIV_FW_VARS= KIV_QEMU_MISSING=
  case $1 in
    bios)  KIV_QEMU=(qemu-system-x86_64 -machine pc) KIV_NIC=virtio-net-pci ;;
    efi64|efi64-http)
           KIV_QEMU=(qemu-system-x86_64 -machine q35) KIV_NIC=virtio-net-pci,romfile=
           KIV_FW_CODE=/usr/share/OVMF/OVMF_CODE_4M.fd KIV_FW_VARS=/usr/share/OVMF/OVMF_VARS_4M.fd
           [ "$1" = efi64 ] || KIV_QEMU+=(-fw_cfg name=opt/org.tianocore/IPv4PXESupport,string=n
                                          -fw_cfg name=opt/org.tianocore/IPv6PXESupport,string=n) ;;
    arm64) KIV_QEMU=(qemu-system-aarch64 -machine virt -cpu cortex-a57) KIV_NIC=virtio-net-pci,romfile=
           KIV_FW_CODE=/usr/share/AAVMF/AAVMF_CODE.fd KIV_FW_VARS=/usr/share/AAVMF/AAVMF_VARS.fd ;;
    *) return 1 ;;
  esac
  if ! command -v "${KIV_QEMU[0]}" > /dev/null; then
    KIV_QEMU_MISSING="${KIV_QEMU[0]} is not installed"
  elif [ -n "$KIV_FW_CODE" ] && [ ! -f "$KIV_FW_CODE" ]; then
    KIV_QEMU_MISSING="$KIV_FW_CODE is missing (packages ovmf / qemu-efi-aarch64)"
  fi
}

kiv_qemu_flash() {
  [ -n "$KIV_FW_CODE" ] || return 0
  cp "$KIV_FW_VARS" "$1/vars.fd" || return 1
  KIV_QEMU+=(-drive "if=pflash,format=raw,readonly=on,file=$KIV_FW_CODE"
             -drive "if=pflash,format=raw,file=$1/vars.fd")
}
