#!/usr/bin/env bash
# A whole deployment, headless: kivpxe starts by itself (AutoStart) on a namespace's address with
# a test plug-in and an ISO source; a client in a second namespace gets an offer from udhcpc,
# downloads over TFTP and HTTP with curl, reports the end of its installation and is refused
# afterwards; the REST interface answers curl and raw sockets; SIGTERM stops everything, removes
# the generated files and saves the lease database. Then a TFTP port already taken stops DHCP
# again.
set -uo pipefail
. "$KIV_SOURCE_DIR/tests/support/netns.sh"
kiv_require_root
for tool in busybox curl xorriso python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

bin="$KIV_BINARY_DIR/server/app/kivpxe"
plugin="$KIV_BINARY_DIR/server/deploy/deploy_test_plugin.so"
work=$(mktemp -d "/tmp/kiv-deploy-$$-XXXXXX")
chmod 755 "$work"
trap 'kiv_cleanup; [ -n "${KIV_KEEP:-}" ] || rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; echo "--- kivpxe output"; cat "$work"/out* 2>/dev/null | tail -n 40; exit 1; }
pass() { echo "ok: $*"; }

kiv_netns_new ns_s deploy-s || fail "no namespace"
kiv_netns_new ns_c deploy-c || fail "no namespace"
kiv_veth_pair "$ns_s" vs 10.88.0.1/24 "$ns_c" vc - || fail "no veth pair"
mac=52:54:00:88:00:01
dashed=${mac//:/-}
ip -n "$ns_c" link set vc address "$mac"

# The data tree: the required folders, a PXELINUX boot file, the test plug-in, a source image.
data="$work/data"
for d in pxelinux/pxelinux.cfg grub2/grub2.cfg ipxe/ipxe.cfg virtualiso/conf/bios virtualiso/conf/uefi \
         kickstart plugin driver conf dll src; do mkdir -p "$data/$d"; done
cp "$KIV_BINARY_DIR/data/dll/version.data" "$data/dll/"
head -c 300000 /dev/urandom > "$data/pxelinux/pxelinux.1408.0"
cp "$plugin" "$data/plugin/"
mkdir -p "$work/iso"
echo "kivtest readme" > "$work/iso/readme.txt"
xorriso -as mkisofs -quiet -V KIVTEST -o "$data/src/kivtest.iso" "$work/iso" 2>/dev/null || fail "xorriso"
hexpath=$(printf '%s' "$data/src/kivtest.iso" | od -An -tx1 | tr -d ' \n' | tr a-f A-F)
# IPAddr 10.88.0.100, ten addresses, the PXELINUX tree, every DHCP client served.
write_settings() {
  cat > "$data/conf/orv.json" <<JSON
{"IPAddr": 173539428, "IPNum": 10, "ImgPath": "$hexpath", "AutoStart": 1, "loader_type": 0,
 "dhcp_only_pxe": 0, "http_port": 8810}
JSON
}
write_settings

# The client: udhcpc sets its address and prints what the offer said.
cat > "$work/client.sh" <<'SH'
#!/bin/sh
case "$1" in
  bound|renew) ip addr add "$ip/24" dev "$interface"; echo "event=$1 ip=$ip boot_file=$boot_file siaddr=$siaddr" ;;
esac
SH
chmod +x "$work/client.sh"
dhcp() { ip netns exec "$ns_c" timeout 15 busybox udhcpc -i vc -n -q -t 3 -T 1 -x 0x5d:0000 -s "$work/client.sh" 2>&1; }
rest() { ip netns exec "$ns_s" curl -s -m 5 "http://127.0.0.1:18000$1"; }
row() { kiv_wait_for 10 grep -qF -- "$1" "$work/out"; }

run_kivpxe() {
  kiv_bg "$ns_s" timeout 120 "$bin" --headless --data-dir "$data"
  kiv_pid=$KIV_LAST_PID
}

# ---- The deployment.
exec 3>&1
run_kivpxe > "$work/out" 2>&1
kiv_wait_for 10 bash -c "[ \"\$(ip netns exec $ns_s curl -s -m 2 http://127.0.0.1:18000/rest/v1/pim_get_sysinfo | grep -c orv_running.*true)\" = 1 ]" \
  || fail "the deployment did not start"
pass "AutoStart started the deployment"

json=$(rest "/rest/v1/pim_get_sysinfo?bios=UEFI")
[ "$(echo "$json" | python3 -c 'import json,sys; d=json.load(sys.stdin); print(len(d), d["orv_os_name"], d["orv_iscsi_deploy_support"], d["orv_img_path"], d["orv_http_port"])')" \
  = "6 KIV Test Linux True ISO1 8810" ] || fail "running sysinfo: $json"
pass "REST while running: six members"

offer=$(dhcp)
echo "$offer" | grep -q "boot_file=pxelinux.1408.0 siaddr=10.88.0.1" || fail "offer: $offer"
row "CLIENT $dashed 10.88.0.100 - Requesting IP address(BIOS X86_64)" || fail "no offer row"
# The files are written when the main loop takes in the acknowledgement (its next 100 ms tick).
kiv_wait_for 5 test -f "$data/pxelinux/pxelinux.cfg/01-$dashed" -a -f "$data/kickstart/01-$dashed" \
  || fail "the plug-in wrote no client files"
pass "udhcpc offered pxelinux.1408.0; row and client files made"

ip netns exec "$ns_c" curl -s -m 10 -o "$work/boot.0" "tftp://10.88.0.1/pxelinux.1408.0" || fail "TFTP download"
cmp -s "$work/boot.0" "$data/pxelinux/pxelinux.1408.0" || fail "TFTP download differs"
row "CLIENT $dashed 10.88.0.100 100% Downloading file(TFTP: 100.00%):pxelinux.1408.0" || fail "no TFTP row"
pass "TFTP download shown in the row"

[ "$(ip netns exec "$ns_c" curl -s -m 10 http://10.88.0.1:8810/ISO1/readme.txt)" = "kivtest readme" ] \
  || fail "HTTP download from the image"
row "CLIENT $dashed 10.88.0.100 - Download file finished: (HTTP) /ISO1/readme.txt" || fail "no HTTP row"
pass "HTTP download shown in the row"

# The end report counts only with the token of the client's own answer file.
answer=$(ip netns exec "$ns_c" curl -s -m 10 "http://10.88.0.1:8810/kickstart/01-$dashed")
token=$(echo "$answer" | sed -n 's/^token=//p')
[ ${#token} -ge 16 ] || fail "no token in the answer file: $answer"
ip netns exec "$ns_c" curl -s -m 10 -o /dev/null "http://10.88.0.1:8810/kickstart/PXEClientInstallEnd?mac=$dashed"
sleep 1
grep -q "Install Finished" "$work/out" && fail "finished without the token"
ip netns exec "$ns_c" curl -s -m 10 -o /dev/null \
  "http://10.88.0.1:8810/kickstart/PXEClientInstallEnd?mac=$dashed&token=$token"
row "CLIENT $dashed 10.88.0.100 - Install Finished(time: 0m" || fail "not finished"
pass "PXEClientInstallEnd finished the row with the token, not without"

ip -n "$ns_c" addr flush dev vc
offer=$(dhcp)
echo "$offer" | grep -q "event=bound" && fail "a finished client was served again: $offer"
pass "a finished client is refused"

# REST against raw sockets: no reply for a malformed line or an over-long request; still answering.
raw() {
  ip netns exec "$ns_s" python3 - "$1" <<'PY'
import socket, sys
s = socket.create_connection(("127.0.0.1", 18000), timeout=5)
try:
    s.sendall(sys.argv[1].encode())
    data = s.recv(4096)
except ConnectionResetError:
    data = b""
print(len(data))
PY
}
[ "$(raw $'GET /rest/v10/pim_get_sysinfo HTTP/1.1\r\n\r\n')" = 0 ] || fail "malformed line answered"
[ "$(raw "GET /rest/v1/pim_get_sysinfo?pad=$(head -c 2100 /dev/zero | tr '\0' a) HTTP/1.1"$'\r\n\r\n')" = 0 ] \
  || fail "over-long request answered"
[ "$(raw $'GET /rest/v1/unknown_cmd HTTP/1.1\r\n\r\n')" = 0 ] || fail "unknown command answered"
rest "/rest/v2/notify_pim_ks?mac=$dashed&ip=10.88.0.100&mask=255.255.255.0&gw=10.88.0.1&bios=UEFI" \
  | grep -q '"result" : "success"' || fail "notify_pim_ks"
rest "/rest/v1/pim_get_sysinfo" | grep -q '"orv_running" : true' || fail "REST stopped answering"
pass "REST: malformed and over-long requests closed without a reply; the server still answers"

# Ten clients dribbling a byte every 2 s for 20 s outnumber the eight REST workers; a request
# must still be answered while they dribble, because a request has 5 s in all to arrive.
ip netns exec "$ns_s" python3 - <<'PY' || fail "REST held by dribbling clients"
import socket, sys, threading, time
stop = time.time() + 20
def dribble():
    try:
        s = socket.create_connection(("127.0.0.1", 18000), timeout=30)
        for ch in b"GET /rest/v1/pim_get_sysinfo":
            if time.time() > stop:
                break
            s.send(bytes([ch]))
            time.sleep(2)
    except OSError:
        pass
for _ in range(10):
    threading.Thread(target=dribble, daemon=True).start()
time.sleep(1)
s = socket.create_connection(("127.0.0.1", 18000), timeout=12)
s.sendall(b"GET /rest/v1/pim_get_sysinfo HTTP/1.1\r\n\r\n")
try:
    data = s.recv(4096)
except socket.timeout:
    data = b""
sys.exit(0 if b"orv_running" in data else 1)
PY
pass "REST: dribbling clients cannot hold the workers"

kill -TERM "$kiv_pid"
wait "$kiv_pid"; rc=$?
[ "$rc" -eq 0 ] || fail "exit status $rc"
ls "$data/pxelinux/pxelinux.cfg" "$data/kickstart" | grep -q "01-" && fail "generated files left behind"
grep -q "\"mac\" : \"$dashed\"" "$data/conf/dhcp_db.json" || fail "lease database: $(cat "$data/conf/dhcp_db.json")"
grep -q "\[PXEDLG\] Service stopped" "$data"/log/*.log || fail "no stop logged"
grep -q "is Denied by system" "$data"/log/*.log || fail "the refusal was not logged"
grep -q "\[PXEDLG\] PIM notify MAC:$dashed IP 10.88.0.100 mask 255.255.255.0 gateway 10.88.0.1 (UEFI) \$" \
  "$data"/log/*.log || fail "the boot menu's report was not logged"
grep -q "without its token, ignored" "$data"/log/*.log || fail "the tokenless end report was not logged"
pass "SIGTERM stopped the deployment, removed the generated files and saved the lease database"

# ---- TFTP port already taken: DHCP is stopped again and the operator is told.
write_settings
kiv_bg "$ns_s" python3 -c 'import socket,time; s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); s.bind(("0.0.0.0",69)); time.sleep(60)'
holder=$KIV_LAST_PID
kiv_wait_for 5 bash -c "ip netns exec $ns_s ss -uln | grep -q ':69 '" || fail "port 69 not taken"
run_kivpxe > "$work/out2" 2>&1
kiv_wait_for 10 grep -q "TFTP Server" "$work/out2" || fail "no TFTP failure message"
grep -q "^ERR: The port is in use, TFTP Server startup failed$" "$work/out2" || fail "message: $(cat "$work/out2")"
[ "$(rest /rest/v1/pim_get_sysinfo | python3 -c 'import json,sys; print(sorted(json.load(sys.stdin)))')" \
  = "['orv_running', 'orv_version']" ] || fail "stopped sysinfo"
ip -n "$ns_c" addr flush dev vc
dhcp | grep -q "event=bound" && fail "DHCP still answers after the failed start"
kill -TERM "$kiv_pid" "$holder"
wait "$kiv_pid"
pass "TFTP port in use: message shown, DHCP stopped, REST reports two members"
echo PASS
