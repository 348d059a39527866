#!/usr/bin/env bash
# Boot-time benchmark: seconds from QEMU start until Debian's installer fetches its preseed,
# served by kivpxe and, in the same run, by a stand-in made of Debian's dnsmasq (DHCP and TFTP)
# and `python3 -m http.server` (HTTP) serving the very files kivpxe made for that client (loader
# tree with its per-client menu, the preseed) and the image's contents. Both runs use the same
# client (MAC, firmware, loader tree) in the lab's private network namespace.
#
#   bench/boot_bench.sh ["<loader> <firmware> [ra|proxy]" ...]
#                       default: "ipxe bios" "ipxe bios ra" "grub2 efi64" "ipxe bios proxy"
# "ra": kivpxe with ipv6_ra on, the stand-in with Debian's radvd advertising no router (lifetime 0,
# no prefix); iPXE then does not wait for IPv6 before it fetches its script.
# "proxy": kivpxe runs in proxyDHCP mode beside the lab's site DHCP server (lab.sh --net proxy);
# the stand-in is the same single dnsmasq as in the other cases.
#
# Prints each time and the ratio stand-in / kivpxe (1.0 or more: kivpxe is no slower), and for
# each "ra" case the ratio of kivpxe's time without to with ipv6_ra. Needs root.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KIV_BUILD_DIR:-$top/build}
export KIV_SOURCE_DIR=$top
"$top/tools/setup.sh" "$top/bench/packages.list" > /dev/null
"$top/tools/build.sh" > /dev/null
source "$top/tests/support/netns.sh"
source "$top/tests/support/qemu.sh"
source "$top/tools/lab/lab-lib.sh"
kiv_require_root
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=("ipxe bios" "ipxe bios ra" "grub2 efi64" "ipxe bios proxy")

work=$(mktemp -d /tmp/kiv-bootbench.XXXXXX)
chmod 0755 "$work"
trap 'kiv_cleanup; rm -rf "$work"' EXIT
iso=$work/debian.iso
"$top/tools/lab/make-debian-source.sh" "$iso" > /dev/null || { echo "cannot build the source"; exit 1; }
xorriso -osirrox on -indev "$iso" -extract / "$work/iso" 2> /dev/null || { echo "cannot extract $iso"; exit 1; }
chmod -R a+rX "$work/iso"

# stand_in LOADER FIRMWARE MAC SNAPSHOT [ra]: one boot served by dnsmasq and http.server (and
# radvd); prints the seconds until the preseed was fetched.
stand_in() (
  trap kiv_cleanup EXIT
  local loader=$1 firmware=$2 mac=$3 snap=$4 ra=${5:-} dir=$4/client
  mkdir -p "$dir" "$snap/http"
  cp -r "$work/iso" "$snap/tftp/ISO1"
  ln -sfn "$work/iso" "$snap/http/ISO1"
  ln -sfn "$snap/kickstart" "$snap/http/kickstart"
  local -a boot
  case $loader in
    ipxe) boot=(--dhcp-userclass=set:ipxe,iPXE "--dhcp-boot=tag:ipxe,tftp://$LAB_SERVER/ipxe.cfg/01-\${mac:hexhyp}"
                "--dhcp-boot=tag:!ipxe,tag:efi64,ipxe.efi.0" "--dhcp-boot=tag:!ipxe,tag:!efi64,ipxe.bios.0") ;;
    grub2) boot=("--dhcp-boot=tag:efi64,grub2.x64efi.all.0" "--dhcp-boot=tag:!efi64,grub2.bios.all.0") ;;
    pxelinux) boot=("--dhcp-boot=tag:efi64,pxelinux.efi.linux" "--dhcp-boot=tag:!efi64,pxelinux.1408.0") ;;
  esac
  lab_network || exit 1
  kiv_bg "$lab_ns" dnsmasq --conf-file=/dev/null --no-resolv --no-hosts --port=0 --interface=br0 \
    --bind-interfaces --dhcp-range=10.215.0.100,10.215.0.119,255.255.255.0,1h \
    --dhcp-option=3,$LAB_SERVER --dhcp-authoritative --dhcp-leasefile="$dir/leases" \
    --pid-file="$dir/dnsmasq.pid" --enable-tftp --tftp-root="$snap/tftp" \
    --dhcp-match=set:efi64,option:client-arch,7 --dhcp-match=set:efi64,option:client-arch,9 \
    "${boot[@]}" -k --log-facility=- > "$dir/dnsmasq.log" 2>&1
  kiv_bg "$lab_ns" python3 -m http.server 8810 --bind "$LAB_SERVER" --directory "$snap/http" \
    > "$dir/http.log" 2>&1
  kiv_wait_for 10 grep -q 'TFTP root is' "$dir/dnsmasq.log" || { echo "dnsmasq did not start" >&2; exit 1; }
  if [ -n "$ra" ]; then
    printf 'interface br0 {\n AdvSendAdvert on;\n AdvDefaultLifetime 0;\n};\n' > "$dir/radvd.conf"
    kiv_bg "$lab_ns" radvd --nodaemon --config "$dir/radvd.conf" --pidfile "$dir/radvd.pid" \
      --logmethod stderr > "$dir/radvd.log" 2>&1
  fi
  lab_client "$firmware" "$mac" "$dir" || exit 1
  local deadline=$(( lab_client_start + 400 ))
  until grep -q 'GET /kickstart/01-' "$dir/http.log"; do
    [ "$(date +%s)" -lt "$deadline" ] && kill -0 "$lab_client_pid" 2>/dev/null ||
      { echo "the stand-in's client did not fetch its preseed" >&2; exit 1; }
    sleep 1
  done
  echo $(( $(date +%s) - lab_client_start ))
)

printf '%-20s %10s %10s %8s\n' "case" "kivpxe" "stand-in" "ratio"
n=0
declare -A kiv_time=()
for c in "${cases[@]}"; do
  read -r loader firmware mode <<< "$c"
  ra= net=plain
  case $mode in ra) ra=ra ;; proxy) net=proxy ;; esac
  n=$(( n + 1 ))
  mac=$(printf '52:54:00:1b:%02x:%02x' $(( $$ & 255 )) "$n")
  snap=$work/snap-$n
  out=$("$top/tools/lab/lab.sh" --loader "$loader" --firmware "$firmware" --source "$iso" --mac "$mac" \
        --net "$net" --data-dir "$work/datadir" --expect "/kickstart/01-" --snapshot "$snap" \
        --quiet --timeout 400 ${ra:+--ipv6-ra})
  kiv=$(sed -n 's/.* after \([0-9]*\) s$/\1/p' <<< "$out")
  [ -n "$kiv" ] || { echo "kivpxe run failed: $out"; exit 1; }
  kiv_time[$c]=$kiv
  peer=$(stand_in "$loader" "$firmware" "$mac" "$snap" "$ra") || exit 1
  printf '%-20s %9ss %9ss %8.2f\n' "$c" "$kiv" "$peer" "$(echo "$peer / $kiv" | bc -l)"
done
for c in "${cases[@]}"; do
  read -r loader firmware mode <<< "$c"
  base=${kiv_time[$loader $firmware]:-}
  [ "$mode" = ra ] && [ -n "$base" ] &&
    printf 'ipv6_ra, %s: kivpxe %ss without, %ss with, ratio %.2f\n' "$loader $firmware" "$base" \
      "${kiv_time[$c]}" "$(echo "$base / ${kiv_time[$c]}" | bc -l)"
done
