#!/usr/bin/env bash
# The Windows lab's agent chain, run by tools/lab/lab.sh --source windows:
#
#   tools/lab/windows-lab.sh [--loader pxelinux|grub2|ipxe] [--firmware bios|efi64]
#                            [--data-dir DIR] [--mac MAC] [--timeout SECONDS] [--quiet]
#
# kivpxe (PLUG_OSPREY, share mode) deploys a synthetic Windows-shaped source
# (make-windows-source.sh) in the lab's namespace beside a real smbd. A client namespace on the
# lab's bridge gets its address from kivpxe's DHCP with busybox udhcpc and the client's MAC, so
# its row exists; there the agent's step routine runs natively (build/agent/lab/ferrit-lab):
# the parameter file comes out of the boot WIM fetched from kivpxe over HTTP, the identity
# ("Dell Inc.") and the answer files go over kivpxe's HTTP, the share kivpxe added is checked
# with smbclient and the kivpxe-share account, the disk is chosen from a table of fake disks,
# a stand-in Setup validates the final answer file with xmllint, and the first-run report
# turns the row to "Install Finished". At the end the row's history is read from the console
# (clientDetail) and printed with its times.
#
# The lab runs in a private mount namespace with a private copy of /etc: the kivpxe-share user,
# its Samba password and smb.conf never touch this machine's. Set KIV_LAB_HISTORY=FILE to keep
# the client's detail (JSON) and KIV_LAB_AGENT=FILE to keep the agent's step lines.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=${KIV_BUILD_DIR:-$top/build}
export KIV_SOURCE_DIR=${KIV_SOURCE_DIR:-$top}

loader=ipxe firmware=bios datadir=$build/lab/windows-datadir timeout=180 mac= quiet=
while [ $# -gt 0 ]; do
  case $1 in
    --loader) loader=$2; shift ;;
    --firmware) firmware=$2; shift ;;
    --data-dir) datadir=$2; shift ;;
    --mac) mac=$2; shift ;;
    --timeout) timeout=$2; shift ;;
    --quiet) quiet=1 ;;
    -h|--help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "windows-lab: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
case $loader in pxelinux|grub2|ipxe) ;; *) echo "windows-lab: unknown loader $loader" >&2; exit 2 ;; esac
case $firmware in bios) uefi= ;; efi64) uefi=--uefi ;;
  *) echo "windows-lab: the agent chain runs for bios or efi64, not $firmware" >&2; exit 2 ;; esac

source "$top/tests/support/netns.sh"
kiv_require_root
for tool in smbd smbclient smbpasswd net testparm useradd unshare wimlib-imagex xmllint curl busybox; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing (tools/packages/osprey.list, lab.list)"; exit 77; }
done
for file in server/app/kivpxe agent/lab/ferrit-lab plugins/PLUG_OSPREY.so; do
  [ -x "$build/$file" ] || [ -f "$build/$file" ] || { echo "windows-lab: $build/$file is not built" >&2; exit 1; }
done

# Everything below runs in a private mount namespace (its /etc and its network namespaces
# vanish with it).
if [ -z "${KIV_WINLAB_PRIVATE:-}" ]; then
  trap - EXIT
  KIV_WINLAB_PRIVATE=1 exec unshare -m --propagation private bash "$0" --loader "$loader" \
    --firmware "$firmware" --data-dir "$datadir" --timeout "$timeout" ${mac:+--mac "$mac"} ${quiet:+--quiet}
fi

source "$here/lab-lib.sh"
work=$(mktemp -d /tmp/kiv-winlab.XXXXXX)
chmod 0755 "$work"
trap 'kiv_cleanup; [ -n "${KIV_LAB_KEEP:-}" ] && echo "windows-lab: kept $work" || rm -rf "$work"' EXIT
say() { [ -n "$quiet" ] || echo "windows-lab: $*"; }
fail() {
  echo "windows-lab: FAIL: $*"
  lab_show_server_logs
  [ -f "$work/agent/kiv_ferrit.log" ] && { echo "--- agent log"; tail -n 60 "$work/agent/kiv_ferrit.log"; }
  [ -f "$work/samba/log/smbd.log" ] && { echo "--- smbd"; tail -n 20 "$work/samba/log/smbd.log"; }
  exit 1
}

# A private /etc: useradd and smbpasswd write there, smbd reads its smb.conf there.
cp -a /etc "$work/etc" && mount --bind "$work/etc" /etc || fail "cannot make a private /etc"
server=$LAB_SERVER
mkdir -p "$work"/samba/{usershares,state,cache,lock,pid,private,log,ncalrpc}
chmod 1770 "$work/samba/usershares"
cat > /etc/samba/smb.conf <<CONF
[global]
  interfaces = lo $server/24
  bind interfaces only = yes
  smb ports = 445
  disable netbios = yes
  server role = standalone server
  passdb backend = tdbsam
  state directory = $work/samba/state
  cache directory = $work/samba/cache
  lock directory = $work/samba/lock
  pid directory = $work/samba/pid
  private dir = $work/samba/private
  ncalrpc dir = $work/samba/ncalrpc
  log file = $work/samba/log/smbd.log
  usershare path = $work/samba/usershares
  usershare max shares = 10
  usershare owner only = no
CONF

say "preparing the data directory $datadir and the Windows-shaped source"
"$top/tools/make-datadir.sh" "$datadir" > "$work/datadir.log" 2>&1 || { cat "$work/datadir.log"; fail "make-datadir.sh failed"; }
source=$work/windows-source
"$here/make-windows-source.sh" "$source" || fail "cannot make the Windows-shaped source"
python3 "$top/tools/configure.py" "$datadir" --first 10.215.0.100 --count 20 --source "$source" \
  --loader "$loader" --mask 255.255.255.0 --gateway "$server" --http-port 8810 --autostart \
  --windows-mode share > /dev/null || fail "cannot write the lab settings"

lab_network || fail "cannot create the lab network"
# its own session: smbd ends its process group when it stops
kiv_bg "$lab_ns" setsid smbd -F --no-process-group -s /etc/samba/smb.conf > "$work/samba/log/stdout" 2>&1
kiv_wait_for 20 ip netns exec "$lab_ns" bash -c "exec 3<>/dev/tcp/$server/445" 2>/dev/null ||
  fail "smbd does not listen on $server:445"

touch "$work/started"
say "starting kivpxe in namespace $lab_ns (server $server, loader $loader)"
kiv_bg "$lab_ns" "$build/server/app/kivpxe" --data-dir "$datadir" --console 127.0.0.1:8800 > "$work/kivpxe.out" 2>&1
kivpxe_pid=$KIV_LAST_PID
[ -n "$quiet" ] || { tail -n +1 -F --pid=$$ "$work/kivpxe.out" 2>/dev/null | grep --line-buffered -E '^(CLIENT|SERVICE)|PROMPT' & KIV_PID_LIST+=($!); }
kiv_wait_for 90 grep -q '^SERVICE started' "$work/kivpxe.out" || {
  kill -0 "$kivpxe_pid" 2>/dev/null || fail "kivpxe exited"
  fail "the deployment did not start within 90 s"; }

# The client: its own namespace on the lab's bridge, with the client's MAC.
mac=${mac:-$(lab_mac)}
kiv_netns_new client_ns winc || fail "cannot create the client namespace"
ip link add veth-c netns "$client_ns" address "$mac" type veth peer name veth-b netns "$lab_ns" &&
  ip -n "$lab_ns" link set veth-b master br0 && ip -n "$lab_ns" link set veth-b up &&
  ip -n "$client_ns" link set veth-c up || fail "cannot attach the client to the lab network"
say "client $mac asks kivpxe for an address (busybox udhcpc)"
ip netns exec "$client_ns" timeout 40 busybox udhcpc -i veth-c -f -q -n -t 8 -T 3 \
  -s "$here/test-source/udhcpc.script" > "$work/udhcpc.log" 2>&1 || { cat "$work/udhcpc.log"; fail "no DHCP lease for $mac"; }
say "$(grep -h 'address' "$work/udhcpc.log" | tail -n 1)"

# What WinPE finds in System32: the files the plug-in put into the boot WIM kivpxe serves.
suffix=; [ "$loader" = ipxe ] && suffix=_ISO1
wim_url="http://$server:8810/kiv_loader/OSPREY/boot/KIVBoot$suffix.wim"
mkdir -p "$work/agent"
ip netns exec "$client_ns" curl -sf --max-time 30 -o "$work/KIVBoot.wim" "$wim_url" || fail "cannot fetch $wim_url"
boot_index=$(wimlib-imagex info "$work/KIVBoot.wim" | sed -n 's/^Boot Index: *//p')
wimlib-imagex extract "$work/KIVBoot.wim" "${boot_index:-1}" /Windows/System32/Ferrit.json /Windows/System32/wim_param.bin \
  /Windows/System32/wget.exe --dest-dir="$work/agent" --no-acls --nullglob > /dev/null ||
  fail "the boot WIM from $wim_url holds no agent parameter file"
[ -f "$work/agent/Ferrit.json" ] || fail "no Windows/System32/Ferrit.json in the boot WIM"
say "parameter file taken from the boot WIM fetched over HTTP ($wim_url)"

say "the agent's step routine runs (ferrit-lab)"
ip netns exec "$client_ns" "$build/agent/lab/ferrit-lab" --dir "$work/agent" $uefi \
  --disk 0:Usb:32 --disk 1:Sata:240 --disk 2:Nvme:512 \
  --vendor "Dell Inc." --product "OptiPlex 7090" --serial "CN 0R1 2024" --timeout "$timeout" \
  > "$work/agent.out" 2>&1
agent_status=$?
[ -n "$quiet" ] || cat "$work/agent.out"
[ -z "${KIV_LAB_AGENT:-}" ] || cp "$work/agent.out" "$KIV_LAB_AGENT"
[ "$agent_status" -eq 0 ] || fail "the agent's step routine failed ($agent_status)"

dashed=${mac//:/-}
kiv_wait_for 20 grep -qE "^CLIENT .*$dashed.*Install Finished" "$work/kivpxe.out" ||
  fail "the row of $mac did not reach \"Install Finished\""

# The row's detail and history, as the console's client dialog shows them.
token=$(cat "$datadir/conf/console.token")
row=$(ip netns exec "$lab_ns" curl -sf -H "Authorization: Bearer $token" http://127.0.0.1:8800/api/clients |
  python3 -c 'import json,sys; rows=json.load(sys.stdin); rows=rows.get("rows", rows) if isinstance(rows, dict) else rows
print(next(i + 1 for i, r in enumerate(rows) if sys.argv[1] in json.dumps(r).upper().replace("-", ":")))' "${mac^^}") ||
  fail "the console lists no row for $mac"
ip netns exec "$lab_ns" curl -sf -H "Authorization: Bearer $token" -d "{\"row\":$row}" \
  http://127.0.0.1:8800/api/cmd/clientDetail > "$work/detail.json" || fail "the console gives no detail for row $row"
[ -z "${KIV_LAB_HISTORY:-}" ] || cp "$work/detail.json" "$KIV_LAB_HISTORY"
python3 - "$work/detail.json" <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
d = d.get("result", d)
print("windows-lab: row %s %s vendor=%r product=%r serial=%r" % (d.get("mac"), d.get("ip"), d.get("vendor"), d.get("product"), d.get("serial")))
for e in d.get("history", []):
    print("windows-lab: %8.3f s  %s" % (e["ms"] / 1000.0, e["status"]))
PY
echo "windows-lab: PASS: $mac reached \"Install Finished\""
