// Counters of the TFTP and HTTP transfers the client table hears of (main thread): started,
// finished, failed, and the bytes sent, for the console's throughput and the metrics.
#pragma once

#include <cstdint>

#include "qvdhcp_config.h"
#include "qvhttp.h"
#include "qvtftp.h"

struct TransferCounters {
    uint64_t ullStarted = 0;
    uint64_t ullFinished = 0;
    uint64_t ullFailed = 0;
    uint64_t ullBytes = 0;
};

void STATS_TftpEvent(uint32_t uiCode, const QVTFTP_TransferEvent &stEvent);
void STATS_HttpEvent(const QVHTTP_RequestEvent &stEvent);
TransferCounters STATS_Tftp();
TransferCounters STATS_Http();
