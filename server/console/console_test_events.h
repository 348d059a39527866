// Test-only: service events for many made-up clients, so that a browser test drives hundreds of
// rows through the same path as real DHCP and TFTP traffic (service callback, notification
// queue, client table, row events). Available only when kivpxe runs with KIVPXE_TEST_EVENTS=1 in
// its environment, and like every command only with the access token.
#pragma once

#include <json/json.h>

bool CONSOLE_TestEventsEnabled();
// Arguments: "count" clients (1..4096) with addresses from "first" (dotted, default 10.90.0.1),
// and "step": "offer" (a DHCP offer and its acknowledgement each), "start" (a TFTP transfer
// begins), "download" (the transfer at "percent" of 10 MB), "fail" (a failed TFTP transfer) or
// "finish" (the install-finished report).
Json::Value CONSOLE_TestClientEvents(const Json::Value &stArgs);
