// The deployment history: each start and stop of a deployment (source, OS, times, clients
// finished and failed, and the rows as they stood at the stop) in "conf/history.json", the last
// 100 runs, written whole to a new file that then replaces the old one; a damaged file is kept
// as "conf/history.json.damaged". Main thread; paths are
// relative to the data directory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/json.h>

#include "client_table.h"

constexpr size_t DEPLOY_RUNS_MAX = 100;

void RUNS_Started(const std::string &strSource, const std::string &strOs);
// Closes the open run with the rows as they stand; false when the file could not be written.
bool RUNS_Stopped(const std::vector<ClientRow> &vecRows);
// The kept runs, oldest first (from the file on first use).
const Json::Value &RUNS_All();
// The rows of run iIndex (0 = oldest) as CSV: "ip,mac,phase,status"; empty for no such run.
std::string RUNS_Csv(int iIndex);
// Tests: forget what was read, so that the file is read again.
void RUNS_Reset();
