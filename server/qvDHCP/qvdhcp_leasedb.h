// The lease database: which MAC last held which address, kept across service and program
// restarts in "conf/dhcp_db.json" (relative to the data directory, the working directory).
#pragma once

#include "qv_errors.h"
#include "qv_log_sink.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Every operation takes the database lock for its whole run.
// LEASEDB_FindIPByMAC: no record for the MAC.
constexpr int LEASEDB_ERR_NOT_FOUND = 1168;

void LEASEDB_Put(const uint8_t aucMac[6], uint32_t uiAddress);
void LEASEDB_DeleteByMAC(const uint8_t aucMac[6]);
// 0 and the address, or LEASEDB_ERR_NOT_FOUND.
int LEASEDB_FindIPByMAC(const uint8_t aucMac[6], uint32_t *puiAddress);
int LEASEDB_HasIP(uint32_t uiAddress);
void LEASEDB_Clear();
// The records in list order, as "mac" text and address.
std::vector<std::pair<std::string, uint32_t>> LEASEDB_Snapshot();

// Recovers the file's records when its range lies inside [uiStart, uiStart + uiCount).
// 0, or QV_ERR_FAILED when the file exists but cannot be read or parsed.
int LEASEDB_Load(uint32_t uiStart, uint32_t uiCount);
// Writes the file through a temporary file and a rename. 0 or QV_ERR_FAILED.
int LEASEDB_Save(uint32_t uiStart, uint32_t uiCount);

// Load messages belong to the controller's log ("PXEDLG", level Diag); the controller installs
// the sink that writes them there. Without one they are dropped.
void LEASEDB_SetLogSink(const QV_LogSink &stSink);
