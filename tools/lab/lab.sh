#!/usr/bin/env bash
# The virtual lab: kivpxe deploys a virtual machine inside a private network namespace.
#
#   tools/lab/lab.sh [--loader pxelinux|grub2|ipxe] [--firmware bios|efi64|arm64]
#                    [--source ISO] [--data-dir DIR] [--timeout SECONDS] [--expect TEXT]
#                    [--expect-log REGEX] [--mac MAC] [--snapshot DIR] [--serve]
#                    [--show-client] [--console PORT] [--metrics FILE] [--quiet]
#
# A namespace with a bridge and a tap is made; kivpxe runs headless in it with AutoStart on a
# data directory from tools/make-datadir.sh, and QEMU boots a client from the network on the tap
# (SeaBIOS with its iPXE ROM, OVMF with virtio-net, or AAVMF on arm64). The client's row is
# printed as it changes; the lab ends when the client's row has read TEXT (default
# "Install Finished") or, with --expect-log, when a line of the server's log matches REGEX (for
# installers that cannot finish in the lab); it fails when the time runs out. With --serve the
# server keeps running after that until Ctrl-C; --show-client shows the client's console beside
# the rows ("client|"). --console runs kivpxe with its web console instead of headless and
# makes it reachable on this machine at 127.0.0.1:PORT (forwarded into the namespace by socat;
# the URL with its token is printed). --metrics runs it with its console too (inside the
# namespace only, unless --console) and saves its /metrics into FILE once the client got there.
# --snapshot copies the loader tree and "kickstart" as kivpxe made them for the client into
# DIR/tftp and DIR/kickstart (the boot benchmark serves them with other servers). The default
# source is the lab's stand-in installer (make-test-source.sh), which the lab's profile entry
# lets PLUG_HERON match.
#
# DHCP only ever runs inside the lab's namespace; everything the lab starts is ended and the
# namespace deleted when it exits, also on failure or Ctrl-C.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=${KIV_BUILD_DIR:-$top/build}
export KIV_SOURCE_DIR=${KIV_SOURCE_DIR:-$top}

loader=ipxe firmware=bios source= datadir=$build/lab/datadir timeout=600
expect="Install Finished" expect_log= serve= show_client= quiet= mac= snapshot= console= metrics=
while [ $# -gt 0 ]; do
  case $1 in
    --loader) loader=$2; shift ;;
    --firmware) firmware=$2; shift ;;
    --source) source=$2; shift ;;
    --data-dir) datadir=$2; shift ;;
    --timeout) timeout=$2; shift ;;
    --expect) expect=$2; shift ;;
    --expect-log) expect_log=$2; shift ;;
    --serve) serve=1 ;;
    --show-client) show_client=1 ;;
    --mac) mac=$2; shift ;;
    --snapshot) snapshot=$2; shift ;;
    --console) console=$2; shift ;;
    --metrics) metrics=$2; shift ;;
    --quiet) quiet=1 ;;
    -h|--help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "lab: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done

source "$top/tests/support/netns.sh"
source "$top/tests/support/qemu.sh"
source "$here/lab-lib.sh"
kiv_require_root
work=$(mktemp -d /tmp/kiv-lab.XXXXXX)
chmod 0755 "$work"
trap 'kiv_cleanup; [ -n "${KIV_LAB_KEEP:-}" ] && echo "lab: kept $work" || rm -rf "$work"' EXIT

say() { [ -n "$quiet" ] || echo "lab: $*"; }
fail() {
  echo "lab: FAIL: $*"
  [ -f "$work/kivpxe.out" ] && { echo "--- kivpxe"; tail -n 40 "$work/kivpxe.out"; }
  local log; log=$(ls -t "$datadir"/log/*.log 2>/dev/null | head -n 1)
  [ -n "$log" ] && { echo "--- $log"; tail -n 60 "$log"; }
  [ -f "$work/serial.log" ] && { echo "--- client console"; tail -c 3000 "$work/serial.log" | tr -d '\033'; echo; }
  exit 1
}

case $loader in pxelinux|grub2|ipxe) ;; *) fail "unknown loader $loader" ;; esac
case $firmware in bios|efi64|arm64) ;; *) fail "unknown firmware $firmware" ;; esac
server=$LAB_SERVER

kivpxe=$build/server/app/kivpxe
[ -x "$kivpxe" ] || fail "kivpxe is not built ($kivpxe); run tools/build.sh"
say "preparing the data directory $datadir"
"$top/tools/make-datadir.sh" "$datadir" > "$work/datadir.log" 2>&1 || { cat "$work/datadir.log"; fail "make-datadir.sh failed"; }
if [ -z "$source" ]; then
  source=$build/lab/kivpxe-lab-installer.iso
  if [ ! -f "$source" ] || [ "$source" -ot "$here/test-source/init" ] || [ "$source" -ot "$here/make-test-source.sh" ]; then
    say "building the stand-in installer image"
    "$here/make-test-source.sh" "$source" > /dev/null || fail "cannot build the lab's installation source"
  fi
fi
"$here/lab-profile.sh" "$datadir" || fail "cannot install the lab's profile entry"

# Settings for the lab's network: the pool starts at .100, the source is the lab image.
python3 "$top/tools/configure.py" "$datadir" --first 10.215.0.100 --count 20 --source "$source" \
  --loader "$loader" --mask 255.255.255.0 --gateway "$server" --http-port 8810 --autostart \
  > /dev/null || fail "cannot write the lab settings"

lab_network || fail "cannot create the lab network"

# show_rows: passes kivpxe's lines on as they come, but of one download's progress lines only
# every 25% (a line per whole percent is too many to read).
show_rows() {
  local line mac pct status key
  local -A last=()
  while IFS= read -r line; do
    if [[ $line == CLIENT\ * ]]; then
      read -r _ mac _ pct status <<< "$line"
      key=${status//[0-9.%]/}
      pct=${pct%\%}
      if [ "$pct" != - ] && [ "${last[$mac]:-}" = "$key" ] && (( pct % 25 != 0 )); then
        continue
      fi
      last[$mac]=$key
    fi
    printf '%s\n' "$line"
  done
}

touch "$work/started"
sleep 1
say "starting kivpxe in namespace $lab_ns (server $server)"
# The console listens on the namespace's loopback (the namespace's own port space).
console_port=${console:-8800}
if [ -n "$console" ] || [ -n "$metrics" ]; then
  kiv_bg "$lab_ns" "$kivpxe" --data-dir "$datadir" --console "127.0.0.1:$console_port" > "$work/kivpxe.out" 2>&1
else
  kiv_bg "$lab_ns" "$kivpxe" --data-dir "$datadir" --headless > "$work/kivpxe.out" 2>&1
fi
kivpxe_pid=$KIV_LAST_PID
if [ -n "$console" ]; then
  # This machine's loopback port leads to the console in the namespace.
  socat "TCP-LISTEN:$console,bind=127.0.0.1,reuseaddr,fork" \
    "EXEC:ip netns exec $lab_ns socat STDIO TCP\:127.0.0.1\:$console" 2> "$work/socat.log" &
  KIV_PID_LIST+=($!)
fi
# The row lines ("CLIENT ...") and the prompts show on kivpxe's output as they happen; of a
# download's progress lines every 25% is shown.
if [ -z "$quiet" ]; then
  tail -n +1 -F --pid=$$ "$work/kivpxe.out" 2>/dev/null |
    grep --line-buffered -E '^(CLIENT|SERVICE|CONSOLE)|PROMPT' | show_rows &
  KIV_PID_LIST+=($!)
fi
kiv_wait_for 60 grep -q '^SERVICE started' "$work/kivpxe.out" || {
  kill -0 "$kivpxe_pid" 2>/dev/null || fail "kivpxe exited"
  fail "the deployment did not start within 60 s"; }

mac=${mac:-$(lab_mac)}
say "booting a $firmware client ($mac) from the network with the $loader loader tree"
lab_client "$firmware" "$mac" "$work" || fail "cannot start the client"
qemu_pid=$lab_client_pid start=$lab_client_start
disk=$work/disk.img
if [ -n "$show_client" ]; then
  # The client's serial console, without its terminal control sequences.
  tail -n +1 -F --pid=$$ "$work/serial.log" 2>/dev/null | stdbuf -oL tr -d '\r' |
    sed -u -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\x1b[()][A-Za-z0-9]//g' -e '/^[[:space:]]*$/d' -e 's/^/client| /' &
  KIV_PID_LIST+=($!)
fi

dashed=${mac//:/-}
deadline=$(( start + timeout ))
reached() {
  if [ -n "$expect_log" ]; then
    # Only this run's log: the lab's data directory keeps the logs of earlier runs.
    find "$datadir/log" -name '*.log' -newer "$work/started" -exec cat {} + 2>/dev/null |
      grep -aqE "$expect_log"
  else
    grep -E "^CLIENT .*$dashed" "$work/kivpxe.out" | grep -qF "$expect"
  fi
}
what=${expect_log:-$expect}
until reached; do
  kill -0 "$kivpxe_pid" 2>/dev/null || fail "kivpxe exited"
  if ! kill -0 "$qemu_pid" 2>/dev/null; then
    sleep 3
    reached && break
    fail "the client stopped before \"$what\": $(cat "$work/qemu.log")"
  fi
  [ "$(date +%s)" -lt "$deadline" ] || fail "no \"$what\" for $mac within $timeout s"
  sleep 1
done
echo "lab: PASS: $mac reached \"$what\" after $(( $(date +%s) - start )) s"
if [ -n "$metrics" ]; then
  ip netns exec "$lab_ns" curl -sf -m 10 -H "Authorization: Bearer $(cat "$datadir/conf/console.token")" \
    "http://127.0.0.1:$console_port/metrics" > "$metrics" || fail "cannot read the metrics"
fi
if [ -n "$snapshot" ]; then
  rm -rf "$snapshot/tftp" "$snapshot/kickstart"
  mkdir -p "$snapshot"
  cp -rL "$datadir/$loader" "$snapshot/tftp" && cp -r "$datadir/kickstart" "$snapshot/kickstart" ||
    fail "cannot copy the snapshot to $snapshot"
fi
# The row's history, for tests that check the order of the statuses; the client's console, for
# tests that check what the installer did.
grep -E "^CLIENT .*$dashed" "$work/kivpxe.out" > "${KIV_LAB_ROWS:-/dev/null}"
[ -z "${KIV_LAB_SERIAL:-}" ] || cp "$work/serial.log" "$KIV_LAB_SERIAL"
if [ -n "$(head -c 16 "$disk" | tr -d '\0')" ]; then
  say "the client's disk holds: $(head -c 64 "$disk" | tr -d '\0' | head -n 1)"
fi
if [ -n "$serve" ]; then
  echo "lab: kivpxe keeps serving in namespace $lab_ns; Ctrl-C ends it"
  wait "$kivpxe_pid"
fi
