#!/usr/bin/env bash
# The console in a real browser: Debian's Chromium driven by Playwright (npm playwright-core,
# installed into the build tree when missing) against kivpxe in a network namespace. Screenshots
# go to $KIV_BINARY_DIR/console-screenshots.
set -uo pipefail
. "$KIV_SOURCE_DIR/server/console/tests/console_env.sh"
. "$KIV_SOURCE_DIR/server/console/tests/playwright_env.sh"
cp "$data/src/kivtest.iso" "$data/src/kivtest-askoperator.iso"
# A base driver package and the shipped script that loads it.
cp "$KIV_SOURCE_DIR/data/dll/loaddrv.sh" "$data/dll/"
mkdir -p "$work/pkg/Windows/net"
echo "inf" > "$work/pkg/Windows/net/e1000.inf"
tar -cjf "$data/src/basedrv-20240131.tar.bz2" -C "$work/pkg" Windows
# The script runs from the modules directory so that its import finds playwright-core.
cp "$KIV_SOURCE_DIR/server/console/tests/console_browser.mjs" "$modules/"
# The event stream, to see the plug-in's progress go out.
kiv_bg "$ns_s" timeout 250 curl -s -N -H "Authorization: Bearer $token" "http://127.0.0.1:$console_port/api/events" > "$work/events"
KIV_URL="$url" KIV_SHOTS="$shots" KIV_DATA="$data" KIV_NS_C="$ns_c" KIV_ASK_ISO="$data/src/kivtest-askoperator.iso" \
  ip netns exec "$ns_s" timeout 240 node "$modules/console_browser.mjs" || fail "browser test"
grep -q '"title":"Preparing boot files","total":2' "$work/events" || fail "no progress on the event stream"
grep -q '"text":"Test Server Standard"' "$work/events" || fail "the chosen image did not reach the progress"
pass "the plug-in's progress went out on the event stream with the chosen image"
[ -f "$data/driver/Windows/net/e1000.inf" ] || fail "the driver package was not unpacked into driver/"
