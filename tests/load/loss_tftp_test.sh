#!/usr/bin/env bash
# TFTP over a link that drops, delays (50 ms each way) and reorders frames: each case runs the TFTP
# service (multi-port or single-port mode) behind its own lossy link and downloads one file with
# Debian's atftp, lock-step or windowed. Every copy must be byte-exact (sha256), and a windowed
# transfer must recover by resending from the last acknowledged block: the DATA frames the
# server sent beyond one per block stay within one window per frame the link dropped or
# reordered, plus one window per resend of the final window, whose ACK may be the one lost.
# Prints per case the seconds, the DATA frames on the wire and the impairments.
set -uo pipefail
. "$KIV_SOURCE_DIR/tests/support/netns.sh"
. "$KIV_SOURCE_DIR/tests/support/lossy.sh"
kiv_require_root
command -v atftp > /dev/null || { echo "SKIP: atftp is not installed"; exit 77; }
[ -c /dev/net/tun ] || { echo "SKIP: no /dev/net/tun"; exit 77; }
server=$KIV_BINARY_DIR/server/qvTFTP/qvtftp_testserver
work=$(mktemp -d /tmp/kiv-loss-tftp-$$-XXXXXX)
trap 'kiv_cleanup; [ -n "${KIV_KEEP:-}" ] || rm -rf "$work"' EXIT
blksize=1468
# Not a multiple of the block size, and several windows long.
head -c 150001 /dev/urandom > "$work/file.bin"
want=$(sha256sum < "$work/file.bin" | cut -d' ' -f1)
reorder=10

# Lock-step at 20 % is left out: there atftp's own five one-second waits run out first (about
# every second run), and the run takes minutes.
# name  mode    window  loss %  sends (a block is sent at most this often before the transfer
# gives up; at 20 % loss each way five sends of one block all fail too often to test)
cases=(
  "multi-lock   multi  1 5  5"
  "multi-win8   multi  8 5  5"
  "single-lock  single 1 5  5"
  "single-win8  single 8 5  5"
  "multi-win20  multi  8 20 12"
  "single-win20 single 8 20 12"
)

start_case() {
  local name=$1 mode=$2 window=$3 loss=$4 sends=$5 net=case_$1 s port
  net=${net//-/_}
  kiv_lossy_net "$net" "${name}" 10.77.0.1/24 10.77.0.2/24 "$work/$name.link" \
    --loss "$loss" --delay 50 --reorder "$reorder" --seed "$(printf '%s' "$name" | cksum | cut -d' ' -f1)" ||
    return 1
  s=${net}_s
  kiv_bg "${!s}" "$server" --addr 10.77.0.1 --port 0 --sends "$sends" --log \
    $([ "$mode" = single ] && echo --single) --root "=$work" > "$work/$name.server" 2>&1
  kiv_wait_for 20 grep -q '^READY' "$work/$name.server" || return 1
}

run_client() {
  local name=$1 window=$3 net=case_${1//-/_}_c port opts=(--option "blksize $blksize")
  port=$(awk '/^READY/ {print $2}' "$work/$name.server")
  [ "$window" -eq 1 ] || opts+=(--option "windowsize $window")
  local t0=$SECONDS
  timeout 150 ip netns exec "${!net}" atftp --tftp-timeout 1 "${opts[@]}" -g -r file.bin \
    -l "$work/$name.copy" 10.77.0.1 "$port" > "$work/$name.client" 2>&1
  echo "$? $((SECONDS - t0))" > "$work/$name.rc"
}

# KIV_LOSS_CASES=REGEX runs only the cases whose line matches.
selected=()
for c in "${cases[@]}"; do [[ $c =~ ${KIV_LOSS_CASES:-.} ]] && selected+=("$c"); done
cases=("${selected[@]}")
for c in "${cases[@]}"; do
  # shellcheck disable=SC2086
  start_case $c || { echo "FAIL: case ${c%% *} could not be set up"; exit 1; }
done
pids=()
for c in "${cases[@]}"; do
  # shellcheck disable=SC2086
  run_client $c &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid"; done

fail=0
printf '%-13s %5s %5s %7s %7s %7s %7s %9s\n' case loss win seconds blocks data dropped reordered
for c in "${cases[@]}"; do
  read -r name mode window loss sends <<< "$c"
  net=case_${name//-/_}
  kiv_lossy_stats "$net"
  read -r rc secs < "$work/$name.rc"
  got=$(sha256sum < "$work/$name.copy" 2> /dev/null | cut -d' ' -f1)
  if [ "$rc" -ne 0 ] || [ "$got" != "$want" ]; then
    echo "FAIL: $name: atftp exit $rc, copy ${got:-missing} (want $want)"
    tail -n 5 "$work/$name.client"; grep -v '^EVENT 3' "$work/$name.server" | tail -n 12
    fail=1
    continue
  fi
  # shellcheck disable=SC2046
  set -- $(python3 - "$work/$name.link" "$window" "$sends" <<'PY'
import json, sys
stats, window, sends = json.load(open(sys.argv[1])), int(sys.argv[2]), int(sys.argv[3])
flows = list(stats["tftp_data"].values())
sent = sum(f["sent"] for f in flows)
blocks = sum(f["blocks"] for f in flows)
links = stats["links"].values()
dropped = sum(l["dropped"] for l in links)
reordered = sum(l["reordered"] for l in links)
limit = blocks + window * (dropped + reordered + sends)
print(blocks, sent, dropped, reordered, limit, len(flows))
PY
  )
  blocks=$1 sent=$2 dropped=$3 reordered=$4 limit=$5 flows=$6
  printf '%-13s %4s%% %5s %7s %7s %7s %7s %9s\n' "$name" "$loss" "$window" "$secs" "$blocks" "$sent" \
    "$dropped" "$reordered"
  if [ "$flows" -ne 1 ] || [ "$blocks" -ne $((150001 / blksize + 1)) ]; then
    echo "FAIL: $name: $flows transfers with $blocks distinct blocks on the wire"; fail=1
  elif [ "$sent" -gt "$limit" ]; then
    echo "FAIL: $name: $sent DATA frames for $blocks blocks, more than $limit: a storm of resent windows"
    fail=1
  fi
done
[ "$fail" -eq 0 ] && echo "ok: every copy byte-exact, resends within one window per impairment"
exit $fail
