// GET /metrics: the server's counters and gauges in the Prometheus text format, rebuilt by the
// publisher on the main thread and served by the console thread.
#pragma once

#include <string>
#include <vector>

struct ClientRow;

std::string CONSOLE_MetricsText(const std::vector<ClientRow> &vecRows);
