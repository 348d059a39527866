#!/usr/bin/env bash
# The console API with curl and "kivpxe ctl": the token file, 401 without or with a wrong token
# (and nothing changes), the commands and their refusals, a prompt that blocks other commands
# until it is answered, a start and a stop, and the grid row of a real TFTP download.
set -uo pipefail
kiv_extra=(--metrics 127.0.0.1:8801)
. "$KIV_SOURCE_DIR/server/console/tests/console_env.sh"

[ "$(stat -c %a "$data/conf/console.token")" = 600 ] || fail "token file mode"
[ "$(cat "$data/conf/console.token")" = "$token" ] || fail "token file differs from the printed URL"
case "$url" in "http://127.0.0.1:$console_port/?token="*) ;; *) fail "URL: $url" ;; esac
pass "token made, kept in conf/console.token (0600) and printed with the URL"

code() { in_s curl -s -m 5 -o /dev/null -w '%{http_code}' "$@"; }
for args in "http://127.0.0.1:$console_port/api/status" \
            "-H X-KIV-Token:wrong http://127.0.0.1:$console_port/api/status" \
            "-H Authorization:Bearer${token:0:10} http://127.0.0.1:$console_port/" \
            "-X POST -d {\"item\":\"autoStart\"} http://127.0.0.1:$console_port/api/cmd/toggle" \
            "-X POST -b kiv_token=$token -d {\"item\":\"autoStart\"} http://127.0.0.1:$console_port/api/cmd/toggle" \
            "-X POST http://127.0.0.1:$console_port/api/cmd/toggle?token=$token -d {\"item\":\"autoStart\"}"; do
  # shellcheck disable=SC2086
  [ "$(code $args)" = 401 ] || fail "not refused: $args"
done
[ "$(api "http://127.0.0.1:$console_port/api/cmd/settings" -X POST | python3 -c 'import json,sys; print(json.load(sys.stdin)["AutoStart"])')" = 0 ] \
  || fail "a refused request changed AutoStart"
[ "$(code -b "kiv_token=$token" "http://127.0.0.1:$console_port/assets/console.js")" = 200 ] || fail "cookie read refused"
[ "$(code "http://127.0.0.1:$console_port/?token=$token")" = 200 ] || fail "first page load refused"
pass "401 without, with a wrong or a cut token, and for a change carried by cookie or query; nothing changed"
# DNS rebinding: a valid cookie under another site's name is refused; the console's own names pass.
for host in evil.example "evil.example:$console_port" "127.0.0.1:1" "10.89.0.1:$console_port" ""; do
  [ "$(code -H "Host: $host" -b "kiv_token=$token" "http://127.0.0.1:$console_port/api/status")" = 421 ] \
    || fail "Host [$host] accepted"
done
for host in "127.0.0.1:$console_port" "LOCALHOST:$console_port" "[::1]:$console_port"; do
  [ "$(code -H "Host: $host" -b "kiv_token=$token" "http://127.0.0.1:$console_port/api/status")" = 200 ] \
    || fail "Host [$host] refused"
done
pass "421 for a Host header that is not one of the console's names"

ctl() { in_s "$bin" ctl --data-dir "$data" --console "127.0.0.1:$console_port" "$@"; }
ctl status | grep -q '"running":false' || fail "ctl status: $(ctl status)"
ctl settings | grep -q '"IPNum":10' || fail "ctl settings"
ctl settings | grep -q winkey\" && fail "the product key leaked"
ctl bogus >/dev/null 2>&1; [ $? = 2 ] || fail "ctl usage error"
in_s "$bin" ctl --data-dir "$work" status >/dev/null 2>&1 && fail "ctl without a token file"
pass "ctl status and settings; usage and a missing token fail"

# A whitelist with an empty list asks message 65; while it is open every other command is refused.
api -X POST -d '{"deny":false,"list":[]}' "http://127.0.0.1:$console_port/api/cmd/macFilter.apply" > "$work/apply" &
apply_pid=$!
kiv_wait_for 10 bash -c "ip netns exec $ns_s curl -s -H 'Authorization: Bearer $token' http://127.0.0.1:$console_port/api/status | grep -q '\"buttons\":\"yesno\"'" \
  || fail "no prompt published"
[ "$(code -H "Authorization: Bearer $token" -X POST -d '{"item":"autoStart"}' "http://127.0.0.1:$console_port/api/cmd/toggle")" = 409 ] \
  || fail "a command ran under an open prompt"
ctl status | grep -q '"autoStart":false' || fail "the refused toggle changed something"
ctl answer no | grep -q '"ok":true' || fail "ctl answer"
wait $apply_pid
grep -q '"ok":false' "$work/apply" || fail "No still applied the whitelist: $(cat "$work/apply")"
[ "$(api -X POST -d '{"item":"autoStart"}' "http://127.0.0.1:$console_port/api/cmd/toggle")" = '{"ok":true}' ] || fail "toggle after the prompt"
ctl status | grep -q '"autoStart":true' || fail "toggle did not take"
pass "a prompt blocks other commands (409) until answered; No keeps the old filter"

[ "$(code -H "Authorization: Bearer $token" -X POST -d '[1,2' "http://127.0.0.1:$console_port/api/cmd/toggle")" = 400 ] || fail "bad JSON"
[ "$(code -H "Authorization: Bearer $token" -X POST -d '{"iso":"x"}' "http://127.0.0.1:$console_port/api/cmd/sourceKind")" = 400 ] \
  || fail "wrong member type"
[ "$(code -H "Authorization: Bearer $token" -X POST "http://127.0.0.1:$console_port/api/cmd/nope")" = 404 ] || fail "unknown command"
# The test-only event command exists only with KIVPXE_TEST_EVENTS=1 in kivpxe's environment.
[ "$(code -H "Authorization: Bearer $token" -X POST -d '{"count":1}' "http://127.0.0.1:$console_port/api/cmd/test.clientEvents")" = 404 ] \
  || fail "the test event command answers without KIVPXE_TEST_EVENTS"
[ "$(code -H "Authorization: Bearer $token" -X POST -d '{}' "http://127.0.0.1:$console_port/api/prompt/99")" = 409 ] || fail "answer to no prompt"
[ "$(code -H "Authorization: Bearer $token" "http://127.0.0.1:$console_port/api/osimage?type=../../conf/orv")" = 404 ] || fail "picture path"
api "http://127.0.0.1:$console_port/api/fs?path=$data/src&suffix=.iso" | grep -q '"name":"kivtest.iso"' || fail "file listing"
pass "bad JSON, wrong types, unknown commands and paths are refused"

# Event stream: the last state at once; a subscriber that goes away is forgotten safely.
for i in 1 2 3; do
  in_s timeout 2 curl -s -N -H "Authorization: Bearer $token" "http://127.0.0.1:$console_port/api/events" > "$work/events$i"
done
grep -q '^event: state' "$work/events1" && grep -q '^event: rows' "$work/events1" || fail "no events: $(head -c 300 "$work/events1")"
api -X POST -d '{"item":"autoStart"}' "http://127.0.0.1:$console_port/api/cmd/toggle" > /dev/null
ctl status | grep -q '"autoStart":false' || fail "no status after subscribers left"
pass "event stream sends the last state and rows; departed subscribers do no harm"

ctl start | grep -q '"ok":true' || fail "ctl start: $(ctl start)"
ctl status | grep -q '"running":true' || fail "not running"
ip netns exec "$ns_c" curl -s -m 20 -o "$work/boot.0" "tftp://10.89.0.1/pxelinux.1408.0" || fail "TFTP download"
cmp -s "$work/boot.0" "$data/pxelinux/pxelinux.1408.0" || fail "TFTP download differs"
kiv_wait_for 5 bash -c "$(declare -f in_s ctl); ns_s=$ns_s bin=$bin data=$data console_port=$console_port; ctl clients | grep -q 'Downloading file(TFTP: 100.00%'" \
  || fail "no grid row: $(ctl clients)"
grep -q "^CLIENT N/A 10.89.0.100 100% Downloading file(TFTP: 100.00%):pxelinux.1408.0" "$work/out" || fail "no CLIENT line"
# The metrics of this run: Prometheus' own checker accepts the text; the TFTP download counts.
metric_ok() { api "http://127.0.0.1:$console_port/metrics" | grep -qxF "$1"; }
kiv_wait_for 5 bash -c "$(declare -f in_s api metric_ok); ns_s=$ns_s token=$token console_port=$console_port; metric_ok 'kivpxe_transfer_bytes_total{service=\"tftp\"} 3000000'" \
  || fail "no TFTP bytes in the metrics: $(api "http://127.0.0.1:$console_port/metrics")"
api "http://127.0.0.1:$console_port/metrics" > "$work/metrics"
if command -v promtool >/dev/null; then
  promtool check metrics < "$work/metrics" || fail "promtool rejects the metrics: $(cat "$work/metrics")"
else
  echo "note: promtool (Debian package prometheus) is missing; the format check is skipped"
fi
for line in 'kivpxe_deployment_running 1' 'kivpxe_transfers_total{service="tftp",outcome="started"} 1' \
            'kivpxe_transfers_total{service="tftp",outcome="finished"} 1' \
            'kivpxe_transfers_total{service="tftp",outcome="failed"} 0' \
            'kivpxe_clients{phase="downloading"} 1' 'kivpxe_clients{phase="finished"} 0'; do
  grep -qxF "$line" "$work/metrics" || fail "metrics lack \"$line\": $(cat "$work/metrics")"
done
grep -q '^kivpxe_plugin_in_use{plugin="deploy_test_plugin.so",os="' "$work/metrics" || fail "no plug-in in use"
[ "$(code "http://127.0.0.1:$console_port/metrics")" = 401 ] || fail "metrics without the token"
# The separate listener serves the same text without a token, and nothing else.
in_s curl -s -m 5 "http://127.0.0.1:8801/metrics" | grep -qx 'kivpxe_deployment_running 1' || fail "--metrics listener"
[ "$(code "http://127.0.0.1:8801/api/status")" = 404 ] || fail "the metrics listener serves more than /metrics"
cp "$work/metrics" "$KIV_BINARY_DIR/console-metrics-sample.txt"
pass "metrics after a TFTP download: checked by promtool, counts and bytes right, token needed; --metrics serves them alone without it"
ctl stop | grep -q '"ok":true' || fail "ctl stop"
ctl status | grep -q '"running":false' || fail "still running"
# The run went into the history with its row; the CSV export has that row.
api -X POST "http://127.0.0.1:$console_port/api/cmd/history.get" > "$work/history"
python3 - "$work/history" "$data/conf/history.json" <<'PY' || fail "history: $(cat "$work/history")"
import json, sys
runs = json.load(open(sys.argv[1]))["runs"]
assert len(runs) == 1 and runs[0]["os"] == "KIV Test Linux" and runs[0]["source"].endswith("kivtest.iso"), runs
assert runs[0]["clients"] == 1 and runs[0]["finished"] == 0 and runs[0]["start"] and runs[0]["stop"], runs
assert json.load(open(sys.argv[2]))[0]["rows"][0]["ip"] == "10.89.0.100"
PY
api -X POST -d '{"index":0}' "http://127.0.0.1:$console_port/api/cmd/history.csv" \
  | python3 -c 'import json,sys; c=json.load(sys.stdin)["csv"]; assert c.startswith("ip,mac,phase,status\r\n10.89.0.100,N/A,downloading,Downloading file(TFTP: 100.00%):pxelinux.1408.0\r\n"), c' \
  || fail "history CSV"
pass "the stopped run is in conf/history.json and its rows export as CSV"
pass "ctl start, a TFTP download in the grid and on stdout, ctl stop (its question confirmed)"

# SIGTERM while a question is open: it takes its default (No) and the server still exits in order.
api -X POST -d '{"deny":false,"list":[]}' "http://127.0.0.1:$console_port/api/cmd/macFilter.apply" > /dev/null &
kiv_wait_for 10 bash -c "$(declare -f in_s ctl); ns_s=$ns_s bin=$bin data=$data console_port=$console_port; ctl status | grep -q '\"buttons\":\"yesno\"'" \
  || fail "no prompt before SIGTERM"
kill -TERM "$kiv_pid"
wait "$kiv_pid" 2>/dev/null
rc=$?; [ $rc = 0 ] || fail "exit status $rc"
grep -q "ORV .* exit" "$data"/log/*.log || fail "no orderly exit logged"
[ -e "$data/conf/console.token" ] && fail "the token file outlived the server"
python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); sys.exit(0 if d["mac_flt_deny"] == 1 else 1)' "$data/conf/orv.json" \
  || fail "the open question did not keep the blacklist: $(cat "$data/conf/orv.json")"
pass "SIGTERM with a question open: default answer, orderly exit, settings saved"
