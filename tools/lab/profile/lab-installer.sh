#!/bin/sh
# Answer file of the lab's stand-in installer, written per client by PLUG_HERON. It tells the
# server who the client is, downloads a file from the image as an installer fetches packages,
# writes the target disk and reports the end of the installation.
server="http://$SERVER_IP$:$HTTP_PORT$"
report() { wget -q -O /dev/null "$server/kickstart/$1" || true; }
dmi() { sed 's/ /%20/g' "/sys/class/dmi/id/$1" 2>/dev/null; }
report "virturl_report_client_info?vendor=$(dmi sys_vendor)&pdt_serial=$(dmi product_serial)&pdt_name=$(dmi product_name)&param_end"
echo "kiv-installer: downloading from the installation image"
wget -q -O /tmp/payload "$HTTP_IMG_URL$/install/payload.txt" || { echo "kiv-installer: download failed"; exit 1; }
disk=
for try in 1 2 3 4 5 6 7 8 9 10; do
  [ -b /dev/sda ] && { disk=/dev/sda; break; }
  sleep 1
done
if [ -n "$disk" ]; then
  echo "KIVPXE-INSTALLED $CLIENT_MAC_DASH_LOWER$" | dd of="$disk" bs=512 count=1 conv=sync 2>/dev/null
  sync
  echo "kiv-installer: wrote $disk"
fi
report "PXEClientInstallEnd?mac=$CLIENT_MAC_DASH_LOWER$&token=$CLIENT_TOKEN$"
echo "kiv-installer: installation finished"
