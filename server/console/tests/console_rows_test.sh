#!/usr/bin/env bash
# The console with 500 clients in Chromium: kivpxe runs with its test-only event command, which
# feeds made-up DHCP offers and TFTP transfers through the services' callbacks, so the rows reach
# the page by the same queue, table and row events as real traffic. Screenshot:
# $KIV_BINARY_DIR/console-screenshots/console-500-rows.png.
set -uo pipefail
export KIVPXE_TEST_EVENTS=1
. "$KIV_SOURCE_DIR/server/console/tests/console_env.sh"
. "$KIV_SOURCE_DIR/server/console/tests/playwright_env.sh"
cp "$KIV_SOURCE_DIR/server/console/tests/console_rows.mjs" "$modules/"
api -X POST -d '{}' "http://127.0.0.1:$console_port/api/cmd/start" | grep -q '"ok":true' || fail "start"
KIV_URL="$url" KIV_SHOTS="$shots" ip netns exec "$ns_s" timeout 200 node "$modules/console_rows.mjs" \
  || fail "browser test with 500 rows"
# The rows went out as changes: the stream carries one "row" event per changed row.
pass "500 rows through the live events"
