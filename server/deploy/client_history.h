// Each client's timeline: the statuses its row went through, with the time since its first
// request, the last 64 per client. Kept by MAC (by address for a client known only by address)
// so that it outlives a finished row's reset clock. Main thread, fed by the client table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client_table.h"

struct ClientHistoryEntry {
    uint64_t ullSinceFirstMs = 0;
    std::string strStatus;
};

struct ClientHistory {
    int64_t llFirstWallUs = 0;  // real time of the first request, microseconds since 1970
    std::vector<ClientHistoryEntry> vecEntries;
};

constexpr size_t CLIENT_HISTORY_MAX = 64;

// Adds the row's status when it says something new: progress figures alone do not count.
void HISTORY_Record(const ClientRow &stRow);
// False when nothing was recorded for the row's client.
bool HISTORY_Get(const ClientRow &stRow, ClientHistory *pstHistory);
// Local "%04u/%02u/%02u %02u:%02u:%02u" of a real time in microseconds.
std::string HISTORY_LocalTime(int64_t llWallUs);
