# Sourced by the console tests: a data tree with the test plug-in and an ISO source, a server
# namespace joined to a client namespace by a veth pair, and kivpxe started with its console on
# the server namespace's loopback. Sets: bin, work, data, ns_s, ns_c, mac, dashed, token, url.
. "$KIV_SOURCE_DIR/tests/support/netns.sh"
kiv_require_root
for tool in curl xorriso python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

bin="$KIV_BINARY_DIR/server/app/kivpxe"
plugin="$KIV_BINARY_DIR/server/deploy/deploy_test_plugin.so"
[ -x "$bin" ] && [ -f "$plugin" ] || { echo "SKIP: build kivpxe and deploy_test_plugin first"; exit 77; }
work=$(mktemp -d "/tmp/kiv-console-$$-XXXXXX")
chmod 755 "$work"
trap 'kiv_cleanup; [ -n "${KIV_KEEP:-}" ] || rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; echo "--- kivpxe output"; tail -n 40 "$work/out" 2>/dev/null; exit 1; }
pass() { echo "ok: $*"; }

kiv_netns_new ns_s console-s || fail "no namespace"
kiv_netns_new ns_c console-c || fail "no namespace"
kiv_veth_pair "$ns_s" vs 10.89.0.1/24 "$ns_c" vc 10.89.0.100/24 || fail "no veth pair"
mac=52:54:00:89:00:01
dashed=${mac//:/-}
ip -n "$ns_c" link set vc address "$mac"

data="$work/data"
for d in pxelinux/pxelinux.cfg grub2/grub2.cfg ipxe/ipxe.cfg virtualiso/conf/bios virtualiso/conf/uefi \
         kickstart plugin driver conf dll src icon/os; do mkdir -p "$data/$d"; done
cp "$KIV_BINARY_DIR/data/dll/version.data" "$data/dll/"
head -c 3000000 /dev/urandom > "$data/pxelinux/pxelinux.1408.0"
cp "$plugin" "$data/plugin/"
cp "$KIV_SOURCE_DIR/data/conf/os_type.json" "$data/conf/"
python3 "$KIV_SOURCE_DIR/tools/datadir/make-pictures.py" icons "$data/icon/os" "$data/conf/os_type.json" \
  || fail "OS pictures"
mkdir -p "$work/iso/sub"
echo "kivtest readme" > "$work/iso/readme.txt"
echo "second file" > "$work/iso/sub/two.txt"
xorriso -as mkisofs -quiet -V KIVTEST -o "$data/src/kivtest.iso" "$work/iso" 2>/dev/null || fail "xorriso"
hexpath=$(printf '%s' "$data/src/kivtest.iso" | od -An -tx1 | tr -d ' \n' | tr a-f A-F)
# IPAddr 10.89.0.100, ten addresses, the PXELINUX tree, the source, no automatic start.
cat > "$data/conf/orv.json" <<JSON
{"IPAddr": 173604964, "IPNum": 10, "ImgPath": "$hexpath", "AutoStart": 0, "loader_type": 0,
 "dhcp_only_pxe": 0, "http_port": 8810}
JSON

console_port=8800
# A test may add options in the array kiv_extra before sourcing this file.
kiv_bg "$ns_s" timeout 280 "$bin" --data-dir "$data" --console "127.0.0.1:$console_port" ${kiv_extra[@]+"${kiv_extra[@]}"} > "$work/out" 2>&1
kiv_pid=$KIV_LAST_PID
kiv_wait_for 15 grep -q '^CONSOLE http' "$work/out" || fail "no console URL printed"
url=$(sed -n 's/^CONSOLE //p' "$work/out" | head -n1)
token=${url##*token=}
in_s() { ip netns exec "$ns_s" "$@"; }
api() { in_s curl -s -m 20 -H "Authorization: Bearer $token" "$@"; }
