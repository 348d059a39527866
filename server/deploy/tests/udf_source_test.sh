#!/usr/bin/env bash
# A Windows (UDF) ISO as the source: the start check extracts it as a job beside the main loop.
# While 7z runs (held by a wrapper first in PATH, so the job stays running as long as the test
# wants) the console answers, made-up clients reach the client table and the extraction dialog's
# state moves; a cancel removes the half-written tree and the start waits on; an extraction into
# another destination then becomes the source and the deployment starts from it.
set -uo pipefail
for tool in 7z genisoimage; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
wrap=$(mktemp -d /tmp/kiv-udf-wrap-XXXXXX)
cat > "$wrap/7z" <<SH
#!/bin/sh
$(command -v 7z) "\$@"
rc=\$?
touch "$wrap/written"
while [ -e "$wrap/hold" ]; do sleep 0.2; done
exit \$rc
SH
chmod 755 "$wrap" "$wrap/7z"
touch "$wrap/hold"
export PATH="$wrap:$PATH" KIVPXE_TEST_EVENTS=1
. "$KIV_SOURCE_DIR/server/console/tests/console_env.sh"
trap 'kiv_cleanup; rm -rf "$wrap"; [ -n "${KIV_KEEP:-}" ] || rm -rf "$work"' EXIT

mkdir -p "$work/win/sources"
head -c 5000000 /dev/urandom > "$work/win/sources/boot.wim"
echo setup > "$work/win/setup.exe"
iso="$data/src/kivtest-windows.iso"
genisoimage -quiet -udf -o "$iso" "$work/win" || fail "genisoimage"
hexpath=$(printf '%s' "$iso" | od -An -tx1 | tr -d ' \n' | tr a-f A-F)
api -X POST -d "{\"source\":\"$iso\"}" "http://127.0.0.1:$console_port/api/cmd/fields" >/dev/null
status() { api "http://127.0.0.1:$console_port/api/status"; }
field() { status | python3 -c "import json,sys; s=json.load(sys.stdin); print($1)"; }
[ "$(field 's["fields"]["source"]')" = "$iso" ] || fail "source not set: $(status)"

# The start asks message 123; Yes starts the extraction and the start command returns (not
# running yet).
api -X POST -d '{}' "http://127.0.0.1:$console_port/api/cmd/start" > "$work/start" &
start_pid=$!
kiv_wait_for 10 bash -c "ip netns exec $ns_s curl -s -H 'Authorization: Bearer $token' http://127.0.0.1:$console_port/api/status | grep -q 'Windows image files need to be extracted'" \
  || fail "no question 123: $(status)"
ctl() { in_s "$bin" ctl --data-dir "$data" --console "127.0.0.1:$console_port" "$@"; }
ctl answer yes >/dev/null || fail "answer"
wait $start_pid
grep -q '"ok":false' "$work/start" || fail "start: $(cat "$work/start")"
kiv_wait_for 60 test -e "$wrap/written" || fail "7z did not run"
partial=$(ls -d "$data/src/kivtest-windows.partial-"* 2>/dev/null)
[ -n "$partial" ] && cmp -s "$partial/sources/boot.wim" "$work/win/sources/boot.wim" \
  || fail "no temporary sibling with the tree: $(ls "$data/src")"
[ ! -e "$data/src/kivtest-windows" ] || fail "the destination exists before the end"
[ "$(field 's["extract"]["running"], s["extract"]["startWaits"], s["extract"]["destination"], s["running"]')" \
  = "True True $data/src/kivtest-windows False" ] || fail "extraction state: $(status)"
api -X POST -d '{}' "http://127.0.0.1:$console_port/api/cmd/flushLog" >/dev/null
grep -q "Extracting $iso into $data/src/kivtest-windows with 7z" "$data"/log/*.log \
  || fail "no extraction line in the log"
pass "start check: question 123, extraction into a temporary sibling, the start waits"

# The main loop serves meanwhile: commands run, REST answers.
api -X POST -d '{"item":"autoStart"}' "http://127.0.0.1:$console_port/api/cmd/toggle" | grep -q '"ok":true' \
  || fail "a command while 7z runs"
in_s curl -s -m 5 http://127.0.0.1:18000/rest/v1/pim_get_sysinfo | grep -q '"orv_running" *: *false' \
  || fail "REST while 7z runs"
pass "console and REST live while 7z runs"

# Stop asks message 16; Yes ends 7z (and the wrapper), removes the sibling; the start still waits.
api -X POST -d '{}' "http://127.0.0.1:$console_port/api/cmd/extract.stop" > "$work/stop" &
stop_pid=$!
kiv_wait_for 10 bash -c "ip netns exec $ns_s curl -s -H 'Authorization: Bearer $token' http://127.0.0.1:$console_port/api/status | grep -q 'The program is running now, stop it?'" \
  || fail "no question 16"
ctl answer yes >/dev/null
wait $stop_pid
kiv_wait_for 20 bash -c "ip netns exec $ns_s curl -s -H 'Authorization: Bearer $token' http://127.0.0.1:$console_port/api/status | grep -q '\"message\":\"User cancel the operation\"'" \
  || fail "not cancelled: $(status)"
[ ! -e "$data/src/kivtest-windows" ] && [ -z "$(ls -d "$data/src/"*.partial-* 2>/dev/null)" ] || fail "left behind: $(ls "$data/src")"
[ "$(field 's["extract"]["running"], s["extract"]["startWaits"], s["running"], s["fields"]["source"]')" \
  = "False True False $iso" ] || fail "after the cancel: $(status)"
pass "a cancel leaves no tree and no source"

# Another destination, typed in the dialog: that extraction finishes and the start goes on.
rm -f "$wrap/hold"
other="$data/src/kivtest-win-elsewhere"
api -X POST -d "{\"iso\":\"$iso\",\"destination\":\"$other/\"}" \
  "http://127.0.0.1:$console_port/api/cmd/extract.start" | grep -q '"ok":true' || fail "extract.start"
kiv_wait_for 60 bash -c "ip netns exec $ns_s curl -s -H 'Authorization: Bearer $token' http://127.0.0.1:$console_port/api/status | python3 -c 'import json,sys; sys.exit(not json.load(sys.stdin)[\"running\"])'" \
  || fail "the deployment did not start: $(status)"
[ "$(field 's["fields"]["source"], s["extract"]["message"], s["extract"]["startWaits"]')" \
  = "$other ISO File Extract Finished False" ] || fail "after the extraction: $(status)"
cmp -s "$other/sources/boot.wim" "$work/win/sources/boot.wim" || fail "extracted tree"
[ -z "$(ls -d "$data/src/"*.partial-* 2>/dev/null)" ] || fail "a temporary sibling is left"
api -X POST -d '{}' "http://127.0.0.1:$console_port/api/cmd/flushLog" >/dev/null
grep -q "Extraction of $iso into $other finished" "$data"/log/*.log || fail "no end line in the log"
pass "the finished extraction is the source and the deployment runs from it"

# The dialog's extraction while the deployment runs: held in 7z, clients still reach the table
# through the notification queue and REST reports the running service.
touch "$wrap/hold"
rm -f "$wrap/written"
third="$work/third"
api -X POST -d "{\"iso\":\"$iso\",\"destination\":\"$third\"}" \
  "http://127.0.0.1:$console_port/api/cmd/extract.start" | grep -q '"ok":true' || fail "extract.start while running"
kiv_wait_for 60 test -e "$wrap/written" || fail "7z did not run"
api -X POST -d '{"count":3,"step":"offer","first":"10.89.0.101"}' \
  "http://127.0.0.1:$console_port/api/cmd/test.clientEvents" | grep -q '"ok":true' || fail "client events"
kiv_wait_for 10 bash -c "ip netns exec $ns_s curl -s -H 'Authorization: Bearer $token' http://127.0.0.1:$console_port/api/clients | python3 -c 'import json,sys; sys.exit(len(json.load(sys.stdin)) != 3)'" \
  || fail "the client table did not update: $(api "http://127.0.0.1:$console_port/api/clients")"
in_s curl -s -m 5 http://127.0.0.1:18000/rest/v1/pim_get_sysinfo | grep -q '"orv_running" *: *true' \
  || fail "REST while 7z runs"
[ "$(field 's["extract"]["running"], s["extract"]["startWaits"]')" = "True False" ] || fail "state: $(status)"
rm -f "$wrap/hold"
kiv_wait_for 60 test -f "$third/setup.exe" || fail "the dialog's extraction did not finish"
[ "$(field 's["fields"]["source"]')" = "$other" ] || fail "the running source changed: $(status)"
pass "clients reach the table and REST answers while the dialog's extraction runs"
