#!/usr/bin/env bash
# TFTP download time of the TFTP service against Debian's tftpd-hpa in the same run, with a
# compiled client (Debian's atftp, which speaks the windowsize option), on a plain link and on
# links that delay each frame 50 ms, reorder 10 % of them and drop none, 5 % or 20 %
# (tests/support/lossy_link.py between two namespaces). Per link: seconds of one lock-step
# download (blksize 1468) from each server and their ratio (tftpd-hpa / KIVPXE: above 1.0 means
# KIVPXE is faster), then KIVPXE with windowsize 4, 8 and 16 and the gain over its lock-step
# time. Every copy is checked (sha256).
#
#   bench/tftp_loss_bench.sh [--size KiB] [--losses "0 5 20"] [--windows "4 8 16"] [--single]
#
# Needs root (network namespaces); every server and link is this script's own process, ended by
# its pid at exit with its namespaces. KIVPXE resends a block up to 12 times here (tftp_maxretrans
# 12): at 20 % loss each way five sends of one block all fail in about one block of 160.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
export KIV_SOURCE_DIR=$top KIV_BINARY_DIR=${KIV_BINARY_DIR:-$top/build}
size_kib=1024 losses="0 5 20" windows="4 8 16" single=
while [ $# -gt 0 ]; do
  case $1 in
    --size) size_kib=$2; shift 2 ;;
    --losses) losses=$2; shift 2 ;;
    --windows) windows=$2; shift 2 ;;
    --single) single=--single; shift ;;
    *) echo "usage: $0 [--size KiB] [--losses LIST] [--windows LIST] [--single]" >&2; exit 2 ;;
  esac
done
. "$top/tests/support/netns.sh"
. "$top/tests/support/lossy.sh"
kiv_require_root
server=$KIV_BINARY_DIR/server/qvTFTP/qvtftp_testserver
for tool in "$server" atftp /usr/sbin/in.tftpd bc; do
  [ -x "$tool" ] || command -v "$tool" > /dev/null || { echo "missing $tool (bench/packages.list)" >&2; exit 1; }
done
work=$(mktemp -d /tmp/kiv-tftp-loss-bench.XXXXXX)
trap 'kiv_cleanup; [ -n "${KIV_KEEP:-}" ] || rm -rf "$work"' EXIT
mkdir -p "$work/root"
chmod 755 "$work" "$work/root"
head -c $((size_kib * 1024)) /dev/urandom > "$work/root/big.bin"
chmod 644 "$work/root/big.bin"
want=$(sha256sum < "$work/root/big.bin" | cut -d' ' -f1)

# get NS PORT WINDOW: seconds of one download of big.bin from 10.77.0.1:PORT, or "fail".
get() {
  local ns=$1 port=$2 window=$3 t0 t1 opts=(--option "blksize 1468")
  [ "$window" -le 1 ] || opts+=(--option "windowsize $window")
  rm -f "$work/copy"
  t0=$(date +%s.%N)
  timeout 900 ip netns exec "$ns" atftp --tftp-timeout 1 "${opts[@]}" -g -r big.bin -l "$work/copy" \
    10.77.0.1 "$port" > "$work/atftp.log" 2>&1
  t1=$(date +%s.%N)
  if [ "$(sha256sum < "$work/copy" 2> /dev/null | cut -d' ' -f1)" != "$want" ]; then
    echo fail
    return
  fi
  printf '%.2f' "$(echo "$t1 - $t0" | bc -l)"
}
ratio() { [ "$1" = fail ] || [ "$2" = fail ] && { echo "-"; return; }; printf '%.2fx' "$(echo "$1 / $2" | bc -l)"; }

printf '%-26s %9s %9s %7s' "link (${size_kib} KiB)" KIVPXE tftpd-hpa vs-hpa
for w in $windows; do printf ' %9s %6s' "win $w" gain; done
echo
n=0
for loss in plain $losses; do
  n=$((n + 1))
  if [ "$loss" = plain ]; then
    kiv_netns_new net_s "tlb$n-s" || exit 1
    kiv_veth_pair "$net_s" ls 10.77.0.1/24 "$net_s" lc 10.77.0.2/24 || exit 1
    net_c=$net_s label="no link (same namespace)"
  else
    kiv_lossy_net net "tlb$n" 10.77.0.1/24 10.77.0.2/24 "$work/link.$n" --loss "$loss" --delay 50 \
      --reorder 10 || exit 1
    label="50 ms, reorder 10 %, $loss % loss"
  fi
  kiv_bg "$net_s" "$server" --addr 10.77.0.1 --port 0 --sends 12 $single --root "=$work/root" \
    > "$work/kiv.$n" 2> /dev/null
  kiv_wait_for 20 grep -q '^READY' "$work/kiv.$n" || { echo "KIVPXE did not start"; exit 1; }
  kiv_port=$(awk '/^READY/ {print $2}' "$work/kiv.$n")
  hpa_port=$((kiv_port == 6969 ? 6970 : 6969))
  # In its own session: its transfer processes signal their process group when they end.
  kiv_bg "$net_s" setsid /usr/sbin/in.tftpd -L -a "10.77.0.1:$hpa_port" -u nobody -s "$work/root"
  sleep 0.5
  k=$(get "$net_c" "$kiv_port" 1)
  h=$(get "$net_c" "$hpa_port" 1)
  printf '%-26s %8ss %8ss %7s' "$label" "$k" "$h" "$(ratio "$h" "$k")"
  for w in $windows; do
    t=$(get "$net_c" "$kiv_port" "$w")
    printf ' %8ss %6s' "$t" "$(ratio "$k" "$t")"
  done
  echo
  [ "$loss" = plain ] || kiv_lossy_stats net
done
