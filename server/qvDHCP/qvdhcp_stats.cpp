#include "qvdhcp_stats.h"

#include <atomic>

namespace {

std::atomic<uint64_t> g_aullIn[9];
std::atomic<uint64_t> g_aullOut[9];
std::atomic<uint64_t> g_aullRefused[int(QVDHCP_Refusal::Count)];

// Messages a client sends keep their type when received, those a server sends when sent; any
// other type is "other" (0).
int Slot(uint8_t ucType, bool bFromServer)
{
    bool bServerType = ucType == 2 || ucType == 5 || ucType == 6;
    return ucType >= 1 && ucType <= 8 && bServerType == bFromServer ? ucType : 0;
}

}  // namespace

void QVDHCP_STATS_In(uint8_t ucType)
{
    ++g_aullIn[Slot(ucType, false)];
}

void QVDHCP_STATS_Out(uint8_t ucType)
{
    ++g_aullOut[Slot(ucType, true)];
}

void QVDHCP_STATS_Refused(QVDHCP_Refusal eReason)
{
    ++g_aullRefused[int(eReason)];
}

QVDHCP_Counters QVDHCP_STATS_Get()
{
    QVDHCP_Counters stOut;
    for (int i = 0; i < 9; ++i) {
        stOut.aullIn[i] = g_aullIn[i].load();
        stOut.aullOut[i] = g_aullOut[i].load();
    }
    for (int i = 0; i < int(QVDHCP_Refusal::Count); ++i) {
        stOut.aullRefused[i] = g_aullRefused[i].load();
    }
    return stOut;
}

const char *QVDHCP_STATS_TypeName(int iType)
{
    static const char *const apcNames[9] = {"other", "discover", "offer",   "request", "decline",
                                            "ack",   "nak",      "release", "inform"};
    return apcNames[iType >= 1 && iType <= 8 ? iType : 0];
}

const char *QVDHCP_STATS_RefusalName(QVDHCP_Refusal eReason)
{
    static const char *const apcNames[int(QVDHCP_Refusal::Count)] = {
        "malformed", "not_pxe", "vm_filter", "admission", "pool_exhausted", "relay"};
    return apcNames[int(eReason)];
}
