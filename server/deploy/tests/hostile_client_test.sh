#!/usr/bin/env bash
# Two clients on one deployment network, a victim and an attacker, against kivpxe itself: the
# attacker cannot list the answer files, cannot read the victim's, cannot finish the victim's
# install with a spoofed TFTP read or a report without the victim's token, and cannot forge a
# CLIENT line with a newline in a file name. The victim reads its own answer file (hashed
# password, no fixed one) and finishes with its token.
set -uo pipefail
. "$KIV_SOURCE_DIR/tests/support/netns.sh"
kiv_require_root
for tool in busybox curl xorriso python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

bin="$KIV_BINARY_DIR/server/app/kivpxe"
plugin="$KIV_BINARY_DIR/server/deploy/deploy_test_plugin.so"
work=$(mktemp -d "/tmp/kiv-hostile-$$-XXXXXX")
chmod 755 "$work"
trap 'kiv_cleanup; [ -n "${KIV_KEEP:-}" ] || rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; echo "--- kivpxe output"; tail -n 40 "$work/out" 2>/dev/null; exit 1; }
pass() { echo "ok: $*"; }

# Server, victim and attacker on one bridge inside the server's namespace.
kiv_netns_new ns_s hostile-s || fail "no namespace"
kiv_netns_new ns_v hostile-v || fail "no namespace"
kiv_netns_new ns_a hostile-a || fail "no namespace"
kiv_veth_pair "$ns_s" sv - "$ns_v" vv - || fail "no veth pair"
kiv_veth_pair "$ns_s" sa - "$ns_a" va - || fail "no veth pair"
ip -n "$ns_s" link add br0 type bridge || fail "no bridge"
ip -n "$ns_s" link set sv master br0
ip -n "$ns_s" link set sa master br0
ip -n "$ns_s" addr add 10.89.0.1/24 dev br0
ip -n "$ns_s" link set br0 up
vmac=52:54:00:89:00:0a; vdash=${vmac//:/-}
amac=52:54:00:89:00:0b; adash=${amac//:/-}
ip -n "$ns_v" link set vv address "$vmac"
ip -n "$ns_a" link set va address "$amac"

data="$work/data"
for d in pxelinux/pxelinux.cfg grub2/grub2.cfg ipxe/ipxe.cfg virtualiso/conf/bios virtualiso/conf/uefi \
         kickstart plugin driver conf dll src; do mkdir -p "$data/$d"; done
cp "$KIV_BINARY_DIR/data/dll/version.data" "$data/dll/"
head -c 3000 /dev/urandom > "$data/pxelinux/pxelinux.1408.0"
cp "$plugin" "$data/plugin/"
mkdir -p "$work/iso"
echo "kivtest readme" > "$work/iso/readme.txt"
xorriso -as mkisofs -quiet -V KIVTEST -o "$data/src/kivtest.iso" "$work/iso" 2>/dev/null || fail "xorriso"
hexpath=$(printf '%s' "$data/src/kivtest.iso" | od -An -tx1 | tr -d ' \n' | tr a-f A-F)
# IPAddr 10.89.0.100, ten addresses; no root_password: kivpxe makes one.
cat > "$data/conf/orv.json" <<JSON
{"IPAddr": 173604964, "IPNum": 10, "ImgPath": "$hexpath", "AutoStart": 1, "loader_type": 0,
 "dhcp_only_pxe": 0, "http_port": 8810}
JSON

cat > "$work/client.sh" <<'SH'
#!/bin/sh
case "$1" in
  bound|renew) ip addr add "$ip/24" dev "$interface"; echo "event=$1 ip=$ip" ;;
esac
SH
chmod +x "$work/client.sh"
dhcp() { ip netns exec "$1" timeout 15 busybox udhcpc -i "$2" -n -q -t 3 -T 1 -x 0x5d:0000 -s "$work/client.sh" 2>&1; }
http_code() { ip netns exec "$1" curl -s -m 10 -o "$work/body" -w '%{http_code}' "http://10.89.0.1:8810$2"; }
# A TFTP read request from the attacker, with any source address it holds.
tftp_rrq() {
  ip netns exec "$ns_a" python3 - "$1" "$2" <<'PY'
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], 0))
s.sendto(b"\0\1" + sys.argv[2].encode("latin-1").decode("unicode_escape").encode("latin-1") + b"\0octet\0", ("10.89.0.1", 69))
PY
}

wait_row() { kiv_wait_for 10 grep -qF -- "$1" "$work/out"; }
kiv_bg "$ns_s" timeout 120 "$bin" --headless --data-dir "$data" > "$work/out" 2>&1
kiv_pid=$KIV_LAST_PID
kiv_wait_for 15 grep -q "^ROOT_PASSWORD " "$work/out" || fail "no root password shown"
password=$(sed -n 's/^ROOT_PASSWORD //p' "$work/out")
[ ${#password} -ge 12 ] && [ "$password" != 730518 ] || fail "password: $password"
grep -q "\"root_password\" : \"$password\"" "$data/conf/orv.json" || fail "password not saved"
pass "a random root password was made, saved and shown once"

dhcp "$ns_v" vv | grep -q "event=bound ip=10.89.0.100" || fail "victim got no address"
dhcp "$ns_a" va | grep -q "event=bound ip=10.89.0.101" || fail "attacker got no address"
wait_row "CLIENT $adash 10.89.0.101" || fail "no attacker row"
# Each client's files are written when the main loop takes in its acknowledgement.
kiv_wait_for 5 test -f "$data/kickstart/01-$vdash" -a -f "$data/kickstart/01-$adash" \
  || fail "the clients' answer files were not written"

# ---- Answer files: no listing, each only to its own client.
for path in /kickstart/ /kickstart /pxelinux/pxelinux.cfg/; do
  [ "$(http_code "$ns_a" "$path")" = 404 ] || fail "listing of $path: $(head -c 300 "$work/body")"
done
[ "$(http_code "$ns_a" "/kickstart/01-$vdash")" = 404 ] || fail "attacker read the victim's answer file"
[ "$(http_code "$ns_a" "/kickstart//01-$vdash")" = 404 ] || fail "attacker read it through //"
[ "$(http_code "$ns_v" "/kickstart/01-$vdash")" = 200 ] || fail "victim cannot read its answer file"
answer=$(cat "$work/body")
vtoken=$(echo "$answer" | sed -n 's/^token=//p')
hash=$(echo "$answer" | sed -n 's/^rootpw //p')
[ ${#vtoken} -ge 16 ] || fail "no token: $answer"
case "$answer" in *"$password"*|*730518*) fail "plain password in the answer file: $answer" ;; esac
python3 -c 'import crypt,sys; sys.exit(0 if sys.argv[2].startswith("$6$") and crypt.crypt(sys.argv[1], sys.argv[2]) == sys.argv[2] else 1)' \
  "$password" "$hash" 2>/dev/null || fail "answer file hash $hash is not SHA-512 crypt of the password"
[ "$(http_code "$ns_a" "/kickstart/01-$adash")" = 200 ] || fail "attacker cannot read its own answer file"
atoken=$(sed -n 's/^token=//p' "$work/body")
[ "$atoken" != "$vtoken" ] || fail "two clients share a token"
pass "no listing; each answer file only to its client; the password only as SHA-512 crypt"

# ---- Spoofed finish reports for the victim.
ip -n "$ns_a" addr add 10.89.0.100/32 dev va
tftp_rrq 10.89.0.100 "kickstart/FERRIT/InstallFinish"
tftp_rrq 10.89.0.100 "kickstart/FERRIT/InstallFinish/$atoken"
ip -n "$ns_a" addr del 10.89.0.100/32 dev va
# The attacker's own end report without its token, and one with the victim's MAC.
http_code "$ns_a" "/kickstart/PXEClientInstallEnd?mac=$vdash" >/dev/null
http_code "$ns_a" "/kickstart/PXEClientInstallEnd?mac=$vdash&token=000000000000000000000000" >/dev/null
sleep 2
grep -q "Install Finished" "$work/out" && fail "a spoofed report finished a row: $(grep 'Install Finished' "$work/out")"
pass "spoofed TFTP finish and reports without the row's token change nothing"

# ---- Forged lines: a newline in a TFTP file name and in a decoded URI.
forged="CLIENT $vdash 10.89.0.100 - Install Finished(time: 0m1s)"
tftp_rrq 10.89.0.101 "x\\n$forged"
http_code "$ns_a" "/y%0a${forged// /%20}" >/dev/null
sleep 2
grep -q "^CLIENT $vdash .*Install Finished" "$work/out" && fail "forged line printed"
grep -qF 'x\x0aCLIENT' "$work/out" || fail "the file name was not shown escaped: $(tail -5 "$work/out")"
pass "newlines from the network are shown as \\x0a, no forged line"

# ---- The victim's real report with its token finishes it.
ip netns exec "$ns_v" curl -s -m 10 -o /dev/null \
  "http://10.89.0.1:8810/kickstart/PXEClientInstallEnd?mac=$vdash&token=$vtoken"
wait_row "CLIENT $vdash 10.89.0.100 - Install Finished(time: 0m" || fail "victim not finished"
pass "the victim's report with its token finishes its row"

kill -TERM "$kiv_pid"; wait "$kiv_pid"
grep -q "refused to 10.89.0.101: not the address of that client" "$data"/log/*.log || fail "refusal not logged"
grep -q "HTTP listing of .*kickstart refused" "$data"/log/*.log || fail "listing refusal not logged"
grep -q "without its token, ignored" "$data"/log/*.log || fail "tokenless report not logged"
awk 'length($0) > 0 && !/^%[0-9]+ /' "$data"/log/*.log | grep -q "CLIENT" && fail "a log line was split"
pass "refusals logged; no log line split"
echo PASS
