#!/usr/bin/env bash
# Download speed of the TFTP service against Debian's tftpd-hpa and dnsmasq, in the same run, on
# loopback: one client and N clients in parallel (curl), for each block size. Prints seconds per
# server and the ratios (peer time / KIVPXE time: above 1.0 means KIVPXE is faster). Then one
# client asking for the windowsize option as UEFI firmware does (tftp_window_client.py, blksize
# 1468) at each window size: seconds against KIVPXE and the gain over lock-step (window 1).
#
#   bench/tftp_bench.sh [--size MiB] [--clients N] [--blksizes "1468 65464"] [--single]
#                       [--windows "1 4 16"] [--window-only]
#
# Everything runs inside a private network namespace made for this run (dnsmasq's TFTP always
# listens on port 69, which must not be taken on the machine's own loopback). Every server is this
# script's own foreground process there; it is ended by its pid when the script exits, and the
# namespace is deleted.
set -euo pipefail
if [ "${TFTP_BENCH_NS:-}" = "" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "needs root for a private network namespace" >&2; exit 1; }
  # The peers are installed here: no package mirror is reachable from inside the namespace.
  top=$(cd "$(dirname "$0")/.." && pwd)
  "$top/tools/setup.sh" "$top/bench/packages.list"
  ns=tftp-bench-$$
  ip netns add "$ns"
  trap 'ip netns delete "$ns"' EXIT
  ip -n "$ns" link set lo up
  # in.tftpd resolves its address with AI_ADDRCONFIG, which wants one non-loopback address.
  ip -n "$ns" link add tftpbench0 type veth peer name tftpbench1
  ip -n "$ns" addr add 10.255.77.1/24 dev tftpbench0
  ip -n "$ns" link set tftpbench0 up
  ip -n "$ns" link set tftpbench1 up
  ip netns exec "$ns" env TFTP_BENCH_NS="$ns" bash ${TFTP_BENCH_TRACE:+-x} "$0" "$@"
  exit
fi
size_mib=64
clients=100
blksizes="1468 65464"
single=
windows="1 4 16"
window_only=
while [ $# -gt 0 ]; do
  case $1 in
    --windows) windows=$2; shift 2 ;;
    --window-only) window_only=1; shift ;;
    --size) size_mib=$2; shift 2 ;;
    --clients) clients=$2; shift 2 ;;
    --blksizes) blksizes=$2; shift 2 ;;
    --single) single=--single; shift ;;
    *) echo "usage: $0 [--size MiB] [--clients N] [--blksizes LIST] [--single] [--windows LIST]" \
            "[--window-only]" >&2; exit 2 ;;
  esac
done
top=$(cd "$(dirname "$0")/.." && pwd)
server=${KIV_BINARY_DIR:-$top/build}/server/qvTFTP/qvtftp_testserver
for tool in "$server" curl /usr/sbin/in.tftpd /usr/sbin/dnsmasq; do
  [ -x "$tool" ] || command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done

work=$(mktemp -d "/tmp/tftp_bench_$$_XXXX")
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Served as nobody by the peers, so the tree is world-readable.
mkdir -p "$work/root"
chmod 755 "$work" "$work/root"
head -c $((size_mib * 1048576)) /dev/urandom > "$work/root/big.bin"
chmod 644 "$work/root/big.bin"
want=$(sha256sum < "$work/root/big.bin" | cut -d' ' -f1)

free_port() {  # a UDP port on 127.0.0.1 that nothing uses right now
  python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

start_kivpxe() {
  "$server" --port 0 --root "=$work/root" $single > "$work/kiv.out" 2> "$work/kiv.err" &
  pids+=($!)
  for _ in $(seq 50); do grep -q '^READY' "$work/kiv.out" && break; sleep 0.1; done
  kiv_port=$(awk '/^READY/{print $2}' "$work/kiv.out")
}

start_tftpd() {
  hpa_port=$(free_port)
  # In its own session: its transfer processes signal their process group when they end.
  setsid /usr/sbin/in.tftpd -L -a "127.0.0.1:$hpa_port" -u nobody -s "$work/root" 2> "$work/hpa.err" &
  pids+=($!)
}

start_dnsmasq() {
  dns_port=69
  /usr/sbin/dnsmasq -k --conf-file=/dev/null --port=0 --enable-tftp --tftp-root="$work/root" \
    --listen-address=127.0.0.1 --bind-interfaces --tftp-max=1000 \
    --user=nobody --pid-file="$work/dnsmasq.pid" --log-facility="$work/dnsmasq.log" &
  pids+=($!)
}

start_kivpxe
start_tftpd
start_dnsmasq
sleep 0.5

# run <port> <blksize> <n>: seconds for n parallel downloads of the file; checks one copy.
run() {
  local port=$1 blk=$2 n=$3 i t0 t1 fail=0 pid clients=()
  rm -f "$work"/dl.*
  t0=$(date +%s.%N)
  for i in $(seq "$n"); do
    if [ "$i" -eq 1 ]; then
      curl -s --tftp-blksize "$blk" "tftp://127.0.0.1:$port/big.bin" -o "$work/dl.1" &
    else
      curl -s --tftp-blksize "$blk" "tftp://127.0.0.1:$port/big.bin" -o /dev/null &
    fi
    clients+=($!)
  done
  # Waited for by pid: "wait -n" loses exits that happen while the shell is busy starting others.
  for pid in "${clients[@]}"; do wait "$pid" || fail=$((fail + 1)); done
  t1=$(date +%s.%N)
  if [ "$fail" -ne 0 ] || [ "$(sha256sum < "$work/dl.1" | cut -d' ' -f1)" != "$want" ]; then
    echo "FAILED ($fail failed downloads on port $port)" >&2
    echo "nan"
    return
  fi
  echo "$t1 - $t0" | bc -l | xargs printf '%.2f'
}

# run_window <windowsize>: seconds for one windowed download from KIVPXE; checks the copy.
run_window() {
  local t0 t1 fail=0
  rm -f "$work/dl.w"
  t0=$(date +%s.%N)
  python3 "$top/bench/tftp_window_client.py" 127.0.0.1 "$kiv_port" big.bin 1468 "$1" "$work/dl.w" ||
    fail=1
  t1=$(date +%s.%N)
  if [ "$fail" -ne 0 ] || [ "$(sha256sum < "$work/dl.w" | cut -d' ' -f1)" != "$want" ]; then
    echo "FAILED (windowsize $1)" >&2
    echo "nan"
    return
  fi
  echo "$t1 - $t0" | bc -l | xargs printf '%.2f'
}

if [ -n "$window_only" ]; then
  blksizes=
else
  printf '%-22s %10s %10s %10s %9s %9s\n' "case (${size_mib} MiB)" KIVPXE tftpd-hpa dnsmasq vs-hpa vs-dnsmasq
fi
for blk in $blksizes; do
  for n in 1 "$clients"; do
    k=$(run "$kiv_port" "$blk" "$n")
    h=$(run "$hpa_port" "$blk" "$n")
    d=$(run "$dns_port" "$blk" "$n")
    printf '%-22s %9ss %9ss %9ss %8sx %8sx\n' "blksize $blk, $n client(s)" "$k" "$h" "$d" \
      "$(echo "$h / $k" | bc -l | xargs printf '%.2f')" "$(echo "$d / $k" | bc -l | xargs printf '%.2f')"
  done
done

printf '%-22s %10s %9s\n' "windowsize (${size_mib} MiB)" KIVPXE gain
base=
for w in $windows; do
  t=$(run_window "$w")
  base=${base:-$t}
  printf '%-22s %9ss %8sx\n' "blksize 1468, window $w" "$t" "$(echo "$base / $t" | bc -l | xargs printf '%.2f')"
done
