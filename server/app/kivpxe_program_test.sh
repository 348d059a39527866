#!/usr/bin/env bash
# The kivpxe program end to end, inside a private network namespace so that its instance lock
# (an abstract socket, private to the namespace) never meets a real server on this machine.
set -uo pipefail
. "$KIV_SOURCE_DIR/tests/support/netns.sh"
kiv_require_root

bin="$KIV_BINARY_DIR/server/app/kivpxe"
work=$(mktemp -d "/tmp/kiv-core-program-$$-XXXXXX")
chmod 755 "$work"
trap 'kiv_cleanup; rm -rf "$work"' EXIT
kiv_netns_new netns_name core
ns=$netns_name

fail() { echo "FAIL: $*"; exit 1; }
# Runs kivpxe inside the namespace, bounded in time; output in $work/out, status in $rc.
run() { ip netns exec "$ns" timeout 20 "$@" >"$work/out" 2>&1; rc=$?; }
version=$("$bin" --version | awk '{print $2}')

# Options.
run "$bin" --version
[ "$rc" -eq 0 ] && grep -qx "kivpxe $version" "$work/out" || fail "--version: $(cat "$work/out")"
run "$bin" --help
[ "$rc" -eq 0 ] && grep -q -- "--data-dir=DIR" "$work/out" && grep -q "conf/console.token" "$work/out" \
  || fail "--help: $(cat "$work/out")"
for bad in "--console 127.0.0.1" "--console 300.0.0.1:80" "--console 127.0.0.1:0" \
           "--console 127.0.0.1:8800 --no-console" "--metrics 127.0.0.1:9100" \
           "--bogus" "extra"; do
  # shellcheck disable=SC2086
  run "$bin" --headless $bad
  [ "$rc" -eq 2 ] || fail "options '$bad' gave $rc: $(cat "$work/out")"
done

# Without the privilege for ports 67/69 the start is refused with the administrator message.
mkdir -p "$work/unpriv"
run setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all "$bin" --headless --data-dir "$work/unpriv"
[ "$rc" -eq 1 ] && grep -q "^ERROR: Please run this program as an administrator\." "$work/out" \
  || fail "unprivileged start gave $rc: $(cat "$work/out")"

# An empty data directory: driver/Linux, driver/Windows and log are made, then message 23.
empty="$work/empty"
mkdir -p "$empty"
run "$bin" --data-dir "$empty" --headless
[ "$rc" -eq 1 ] || fail "empty data directory gave $rc"
grep -q "^ERR: Please run ORV under correct directory!" "$work/out" || fail "no message 23: $(cat "$work/out")"
LC_ALL= LC_MESSAGES= LANG=zh_CN.UTF-8 run "$bin" --data-dir "$empty" --headless
grep -q "^ERR: 请在正确的目录下运行本程序！" "$work/out" || fail "no Chinese message 23: $(cat "$work/out")"
for d in driver/Linux driver/Windows log; do [ -d "$empty/$d" ] || fail "$d not created"; done
grep -q '\[PROMPT\] \[ERR\] Please run ORV under correct directory! (answered OK) $' "$empty"/log/*.log \
  || fail "message 23 not logged"

# No packet filter in the namespace: no notice. A dropping input policy: the notice, and the
# start goes on (here to message 23 again).
grep -q "Firewall Detected" "$work/out" && fail "firewall notice without a ruleset"
command -v nft >/dev/null || fail "nft is missing (tools/packages/core.list installs nftables)"
kiv_netns_new fw_name corefw
ip netns exec "$fw_name" nft add table inet kivcore
ip netns exec "$fw_name" nft add chain inet kivcore input '{ type filter hook input priority 0; policy drop; }'
ip netns exec "$fw_name" timeout 20 "$bin" --data-dir "$empty" --headless >"$work/out" 2>&1
grep -q "^Firewall Detected: It's recommended to turn off the system firewall to avoid affecting the use.$" "$work/out" \
  && grep -q "^ERR: Please run ORV under correct directory!" "$work/out" || fail "firewall notice: $(cat "$work/out")"

# A complete tree with settings: runs until SIGTERM, logs in the line format, saves every key.
full="$work/full"
for d in pxelinux grub2 ipxe virtualiso kickstart plugin driver log conf dll; do mkdir -p "$full/$d"; done
cp "$KIV_BINARY_DIR/data/dll/version.data" "$full/dll/"
echo '{"IPAddr":3232235876,"IPNum":30,"AutoStart":1,"logo_timeout":0,"http_port":"x"}' >"$full/conf/orv.json"
# timeout passes SIGTERM on to kivpxe and returns its exit status.
kiv_bg "$ns" timeout 30 "$bin" --data-dir "$full" --headless
pid=$KIV_LAST_PID
kiv_wait_for 10 bash -c "ip netns exec '$ns' ss -xa | grep -q '@KIVPXEServerMUTEX'" || fail "lock never taken"
ss -xa | grep -q "@KIVPXEServerMUTEX" && echo "note: a server holds the lock outside the test namespace"

run "$bin" --data-dir "$full" --headless
[ "$rc" -eq 1 ] && grep -q "^ERROR: ORV is already running, or not exit normally before.$" "$work/out" \
  || fail "second instance gave $rc: $(cat "$work/out")"

sleep 0.5 # a few timer ticks: the automatic start request is consumed by the first one
kill -TERM "$pid"
wait "$pid"; rc=$?
[ "$rc" -eq 0 ] || fail "SIGTERM exit status $rc"

logs=("$full"/log/*.log)
[ "${#logs[@]}" -eq 1 ] || fail "expected one log file, found ${#logs[@]}"
[[ "$(basename "${logs[0]}")" =~ ^[0-9]{8}_[0-9]{6}\.log$ ]] || fail "log file name ${logs[0]}"
line_re='^%[0-9]+ +[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} \[[A-Z_]*\] .* $'
n=0
while IFS= read -r line; do
  [[ "$line" =~ $line_re ]] || fail "bad log line: $line"
  [[ "$line" == "%$n "* ]] || fail "line $n numbered wrongly: $line"
  n=$((n + 1))
done <"${logs[0]}"
# The background count is taken at process start, before the banner; the banner opens the server.
head -1 "${logs[0]}" | grep -qE "^%0   [0-9/]{10} [0-9:.]{12} \[HTTP_LOG\] PIM back ground image num [0-9]+ \$" \
  || fail "first line: $(head -1 "${logs[0]}")"
grep -m1 '\[PXEDLG\]' "${logs[0]}" | grep -qE "^%1   [0-9/]{10} [0-9:.]{12} \[PXEDLG\] ORV $version start, data directory $full \$" \
  || fail "first server line: $(grep -m1 '\[PXEDLG\]' "${logs[0]}")"
grep -q '\[PXEDLG\] Automatic start requested $' "${logs[0]}" || fail "AutoStart not seen"
tail -1 "${logs[0]}" | grep -q "\[PXEDLG\] ORV $version exit \$" || fail "last line: $(tail -1 "${logs[0]}")"

conf="$full/conf/orv.json"
for key in IPAddr IPNum history_path_list ImgISO AutoStart Chinese winkey_enable winkey auto_install \
           dhcp_mask dhcp_gateway dhcp_followhost dhcp_xxx1 loader_type bcd_tftp_block_size dhcp_file \
           ins_disk_name tftp_timeout tftp_maxretrans tftp_singlemode sanboot_use_type http_port \
           http_disk_mode pim_choose_timeout pim_press_timeout logo_timeout mac_flt_deny mac_flt_list \
           nfs_share_url dhcp_only_pxe zel_vm_filter ext_boot_opt_list dhcp_dns dhcp_domain dhcp_proxy \
           dhcp_relay ipv6_ra root_password; do
  grep -q "^   \"$key\" :" "$conf" || fail "saved settings lack $key"
done
grep -q '"ImgPath"' "$conf" && fail "ImgPath saved without a source"
for pair in '"IPAddr" : 3232235876' '"IPNum" : 30' '"logo_timeout" : 3' '"http_port" : 8810' \
            '"dhcp_followhost" : 0' '"http_disk_mode" : 0'; do
  grep -qF "$pair" "$conf" || fail "saved settings lack $pair"
done
# The lease database is saved beside the settings, for the pool the settings name.
grep -q '"startip" : 3232235876' "$full/conf/dhcp_db.json" && grep -q '"ipnum" : 30' "$full/conf/dhcp_db.json" \
  || fail "lease database: $(cat "$full/conf/dhcp_db.json" 2>&1)"
ls "$full/conf" | grep -qvE '^(orv|dhcp_db)\.json$' && fail "stray files in conf: $(ls "$full/conf")"
grep -q '\[HTTP_DIG\] REST interface listening on port 18000 $' "${logs[0]}" || fail "REST start not logged"

# Another program holds the REST port (moved by KIV_REST_PORT): the failure is logged and shown
# like a service's, and the server runs on without the interface.
rest="$work/rest"
for d in pxelinux grub2 ipxe virtualiso kickstart plugin driver log conf dll; do mkdir -p "$rest/$d"; done
cp "$KIV_BINARY_DIR/data/dll/version.data" "$rest/dll/"
kiv_bg "$ns" python3 -c 'import socket, time
s = socket.socket(); s.bind(("0.0.0.0", 18123)); s.listen(); time.sleep(60)'
holder=$KIV_LAST_PID
kiv_wait_for 10 bash -c "ip netns exec '$ns' ss -ltn | grep -q ':18123 '" || fail "port holder not listening"
KIV_REST_PORT=18123 kiv_bg "$ns" timeout 30 "$bin" --data-dir "$rest" --headless
pid=$KIV_LAST_PID
kiv_wait_for 10 bash -c "grep -qs 'REST port 18123' '$rest'/log/*.log || ! kill -0 $pid" || true
sleep 0.5
kill -TERM "$pid"
wait "$pid"; rc=$?
kill "$holder"
[ "$rc" -eq 0 ] || fail "with the REST port taken, exit status $rc"
grep -q '\[HTTP_DIG\] Failed to bind socket $' "$rest"/log/*.log &&
  grep -q '\[HTTP_DIG\] REST port 18123: Address already in use $' "$rest"/log/*.log ||
  fail "REST bind failure not logged: $(cat "$rest"/log/*.log)"
grep -q '\[PROMPT\] \[ERR\] The port is in use, REST Server startup failed' "$rest"/log/*.log ||
  fail "REST failure not shown: $(cat "$rest"/log/*.log)"
echo "PASS"
