#!/usr/bin/env bash
# The virtual lab: kivpxe deploys a virtual machine inside a private network namespace.
#
#   tools/lab/lab.sh [--loader pxelinux|grub2|ipxe] [--firmware bios|efi64|efi64-http|arm64]
#                    [--source ISO] [--data-dir DIR] [--timeout SECONDS] [--expect TEXT]
#                    [--expect-log REGEX] [--mac MAC] [--snapshot DIR] [--serve]
#                    [--show-client] [--console PORT] [--ipv6-ra] [--metrics FILE] [--quiet]
#                    [--net plain|proxy|relay] [--refuse] [--loss PCT]
#   tools/lab/lab.sh --source windows [--loader L] [--firmware bios|efi64] [--mac MAC]
#                    [--data-dir DIR] [--timeout SECONDS] [--quiet]
#
# A namespace with a bridge and a tap is made; kivpxe runs headless in it with AutoStart on a
# data directory from tools/make-datadir.sh, and QEMU boots a client from the network on the tap
# (SeaBIOS with its iPXE ROM, OVMF with virtio-net -- efi64-http: through UEFI HTTP boot -- or
# AAVMF on arm64). The client's row is
# printed as it changes; the lab ends when the client's row has read TEXT (default
# "Install Finished") or, with --expect-log, when a line of the server's log matches REGEX (for
# installers that cannot finish in the lab); it fails when the time runs out. With --serve the
# server keeps running after that until Ctrl-C; --show-client shows the client's console beside
# the rows ("client|"). --console runs kivpxe with its web console instead of headless and
# makes it reachable on this machine at 127.0.0.1:PORT (forwarded into the namespace by socat;
# the URL with its token is printed). --snapshot copies the loader tree and "kickstart" as
# kivpxe made them for the client into DIR/tftp and DIR/kickstart (the boot benchmark serves
# them with other servers). --metrics runs it with its console too (inside the
# namespace only, unless --console) and saves its /metrics into FILE once the client got there.
# --ipv6-ra turns on kivpxe's router advertisements (ipv6_ra).
# --net proxy adds the site's own DHCP server (dnsmasq, addresses only)
# on the bridge and runs kivpxe in proxyDHCP mode beside it: the client's row must end with the
# address the site's server gave it. --net relay puts the client in a far subnet behind a router
# running dnsmasq's DHCP relay, and kivpxe serves it from a pool in that subnet. --refuse has the
# MAC filter refuse the client: the lab passes when kivpxe has logged the refusal and, until the
# client gives up (at most 60 s), has served it nothing.
# --loss puts the client behind a link that drops PCT % of the frames
# each way, delays each 50 ms and reorders 10 % (tests/support/lossy_link.py; the line at the end
# gives what it dropped). The default source is the lab's stand-in installer (make-test-source.sh), which the
# lab's profile entry lets PLUG_HERON match.
#
# --source windows runs the Windows lab's agent chain instead (tools/lab/windows-lab.sh, see its
# --help): PLUG_OSPREY deploys a synthetic Windows-shaped source in share mode beside a real
# smbd, a client gets its address from kivpxe, and the agent's step routine runs natively
# against kivpxe and Samba until its row reads "Install Finished"; the row's history is printed
# with its times. No virtual machine boots in it (WinPE cannot run here).
#
# DHCP only ever runs inside the lab's namespace; everything the lab starts is ended and the
# namespace deleted when it exits, also on failure or Ctrl-C.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=${KIV_BUILD_DIR:-$top/build}
export KIV_SOURCE_DIR=${KIV_SOURCE_DIR:-$top}

loader=ipxe firmware=bios source= datadir= timeout=600
expect="Install Finished" expect_log= serve= show_client= quiet= mac= snapshot= console= ipv6_ra=--no-ipv6-ra
net=plain refuse= loss= metrics=
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
    --ipv6-ra) ipv6_ra=--ipv6-ra ;;
    --metrics) metrics=$2; shift ;;
    --quiet) quiet=1 ;;
    --net) net=$2; shift ;;
    --refuse) refuse=1 ;;
    --loss) loss=$2; shift ;;
    -h|--help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "lab: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done

if [ "$source" = windows ]; then
  exec "$here/windows-lab.sh" --loader "$loader" --firmware "$firmware" --timeout "$timeout" \
    ${datadir:+--data-dir "$datadir"} ${mac:+--mac "$mac"} ${quiet:+--quiet}
fi
datadir=${datadir:-$build/lab/datadir}

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
  lab_show_server_logs
  local peer
  for peer in site relay; do
    [ -f "$work/$peer.log" ] && { echo "--- $peer dnsmasq"; tail -n 30 "$work/$peer.log"; }
  done
  [ -f "$work/serial.log" ] && { echo "--- client console"; tail -c 3000 "$work/serial.log" | tr -d '\033'; echo; }
  exit 1
}

case $loader in pxelinux|grub2|ipxe) ;; *) fail "unknown loader $loader" ;; esac
case $firmware in bios|efi64|efi64-http|arm64) ;; *) fail "unknown firmware $firmware" ;; esac
case $net in plain|proxy|relay) ;; *) fail "unknown network $net" ;; esac
[ "$net" = plain ] || command -v dnsmasq > /dev/null || {
  echo "SKIP: dnsmasq is not installed (package dnsmasq-base)"; exit 77; }
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

# Settings for the lab's network: the pool starts at .100 (in the far subnet behind the relay),
# the source is the lab image.
mac=${mac:-$(lab_mac)}
case $net in
  plain) netargs=(--first 10.215.0.100 --gateway "$server" --no-proxy --no-relay) ;;
  proxy) netargs=(--first 10.215.0.100 --gateway "$server" --proxy --no-relay) ;;
  relay) netargs=(--first "$LAB_FAR.100" --gateway "$LAB_FAR.1" --no-proxy --relay) ;;
esac
python3 "$top/tools/configure.py" "$datadir" --count 20 --source "$source" "${netargs[@]}" \
  --loader "$loader" --mask 255.255.255.0 --http-port 8810 --autostart "$ipv6_ra" \
  > /dev/null || fail "cannot write the lab settings"
# The MAC filter: a blacklist, empty or naming this client.
python3 - "$datadir/conf/orv.json" "${mac//:/-}" "$refuse" <<'PY' || fail "cannot set the MAC filter"
import json, os, sys
path, mac, refuse = sys.argv[1:4]
settings = json.load(open(path))
settings["mac_flt_deny"] = 1
settings["mac_flt_list"] = [mac] if refuse else []
with open(path + ".tmp", "w") as f:
    json.dump(settings, f, indent=1)
os.replace(path + ".tmp", path)
PY

lab_network "$net" || fail "cannot create the lab network"
case $net in
  proxy) lab_site_dhcp "$work" || fail "cannot start the site's DHCP server" ;;
  relay) lab_relay "$work" || fail "cannot start the DHCP relay" ;;
esac
if [ -n "$loss" ]; then
  lab_lossy "$loss" "$work/link.json" || fail "cannot set up the lossy link"
  say "the client's link drops $loss % of the frames each way, delays 50 ms, reorders 10 %"
fi

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
[ -z "$refuse" ] || expect_log="Client MAC $dashed is Denied by system"
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
if [ -n "$refuse" ]; then
  # Refused: the client keeps asking for a while; kivpxe must not give it a row or a file.
  sleep 15
  ! grep -qE "^CLIENT $dashed " "$work/kivpxe.out" || fail "a refused client got a row"
  ! find "$datadir/log" -name '*.log' -newer "$work/started" -exec cat {} + |
    grep -aq "Start send file" || fail "a refused client was sent a file"
  if [ "$net" = proxy ]; then
    grep -qi " $mac " "$work/site.leases" || fail "the refused client never got the site's address"
  fi
  say "refused: no row and no file for $mac"
fi
echo "lab: PASS: $mac reached \"$what\" after $(( $(date +%s) - start )) s"
# The row must end with the address the site's server gave (proxy) or one of the far pool (relay).
last_row=$(grep -E "^CLIENT $dashed " "$work/kivpxe.out" | tail -n 1 | cut -d' ' -f3)
case $net/$refuse in
  proxy/) leased=$(awk -v m="$mac" 'tolower($2) == m { print $3 }' "$work/site.leases")
          [ -n "$leased" ] && [ "$last_row" = "$leased" ] ||
            fail "the row shows ${last_row:-no address}; the site's server gave ${leased:-none}"
          echo "lab: the row shows $last_row, the address the site's DHCP server gave" ;;
  relay/) [[ $last_row == "$LAB_FAR".* ]] || fail "the row shows ${last_row:-no address}, not one of $LAB_FAR.0/24"
          echo "lab: the row shows $last_row, from the far subnet's pool" ;;
esac
if [ -n "$loss" ]; then
  kill "$lab_link_pid"; wait "$lab_link_pid" 2>/dev/null
  python3 -c 'import json, sys; l = json.load(open(sys.argv[1]))["links"]
print("lab: the link dropped %d of %d frames to the client and %d of %d to the server" % (
    l["to_client"]["dropped"], l["to_client"]["frames"], l["to_server"]["dropped"], l["to_server"]["frames"]))' \
    "$work/link.json"
fi
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
