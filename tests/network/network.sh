#!/usr/bin/env bash
# One lab deployment on a network shaped like a site's (tools/lab/lab.sh --net), with the lab's
# stand-in installer. KIV_NET_CASE="<kind> <loader> <firmware>":
#   proxy    kivpxe in proxyDHCP mode beside the site's own DHCP server (dnsmasq, addresses
#            only): the client must reach "Install Finished" and its row must end with the
#            address the site's server gave it
#   refused  as proxy, with the MAC filter refusing the client: kivpxe logs the refusal and gives
#            it no row and no file, while the site's server still gives it an address
#   relay    the client in a far subnet behind a router running dnsmasq's DHCP relay: it must
#            reach "Install Finished" with an address from the far subnet's pool
set -uo pipefail
read -r kind loader firmware <<< "${KIV_NET_CASE:?KIV_NET_CASE names the case}"
dir=$KIV_BINARY_DIR/tests/network/$kind-$loader-$firmware
mkdir -p "$dir"
case $kind in
  proxy) args=(--net proxy --timeout 240) ;;
  refused) args=(--net proxy --refuse --timeout 90) ;;
  relay) args=(--net relay --timeout 240) ;;
  *) echo "FAIL: unknown case $kind"; exit 1 ;;
esac
exec "$KIV_SOURCE_DIR/tools/lab/lab.sh" --loader "$loader" --firmware "$firmware" \
  --data-dir "$dir/datadir" --source "$KIV_BINARY_DIR/tests/network/kivpxe-lab-installer.iso" \
  --quiet "${args[@]}"
