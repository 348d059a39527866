// Where a client stands, read from its row's status line: one mapping for the console's overview
// and the metrics.
#pragma once

#include <string>

enum class ClientPhase { Requesting, Downloading, Installing, Finished, Failed };
constexpr int CLIENT_PHASE_COUNT = 5;

// Statuses in either language map alike; a status this system never writes counts as
// requesting (the state every row starts in).
ClientPhase CLIENTS_Phase(const std::string &strStatus);
// "requesting", "downloading", "installing", "finished", "failed".
const char *CLIENTS_PhaseName(ClientPhase ePhase);
