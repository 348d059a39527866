#include "transfer_stats.h"

#include <map>
#include <utility>

namespace {

using TransferKey = std::pair<uint32_t, uint32_t>;  // client address, port

// Bytes already counted of each open transfer: the events carry totals so far.
struct Service {
    TransferCounters stCounters;
    std::map<TransferKey, uint64_t> mapSent;

    void Start(TransferKey stKey)
    {
        ++stCounters.ullStarted;
        mapSent[stKey] = 0;
    }
    void Progress(TransferKey stKey, uint64_t ullSent)
    {
        auto it = mapSent.find(stKey);
        if (it != mapSent.end() && ullSent > it->second) {
            stCounters.ullBytes += ullSent - it->second;
            it->second = ullSent;
        }
    }
    void End(TransferKey stKey, uint64_t ullSent, bool bFailed)
    {
        Progress(stKey, ullSent);
        // An end without a start (a table cleared meanwhile) still counts as one transfer.
        if (mapSent.erase(stKey) == 0) {
            ++stCounters.ullStarted;
        }
        ++(bFailed ? stCounters.ullFailed : stCounters.ullFinished);
    }
};

Service g_stTftp;
Service g_stHttp;

}  // namespace

void STATS_TftpEvent(uint32_t uiCode, const QVTFTP_TransferEvent &stEvent)
{
    TransferKey stKey{stEvent.uiClientIp, stEvent.usClientPort};
    switch (uiCode) {
    case QVTFTP_EVENT_START:
        g_stTftp.Start(stKey);
        g_stTftp.Progress(stKey, stEvent.ullSent);
        break;
    case QVTFTP_EVENT_PROGRESS:
        g_stTftp.Progress(stKey, stEvent.ullSent);
        break;
    case QVTFTP_EVENT_END:
        g_stTftp.End(stKey, stEvent.ullSent, stEvent.uiResult != 0);
        break;
    case QVTFTP_EVENT_REQ_FAILED:
        ++g_stTftp.stCounters.ullStarted;
        ++g_stTftp.stCounters.ullFailed;
        break;
    default:
        break;
    }
}

void STATS_HttpEvent(const QVHTTP_RequestEvent &stEvent)
{
    TransferKey stKey{stEvent.uiClientIp, stEvent.uiClientPort};
    uint64_t ullSent = stEvent.ullTotalLen >= stEvent.ullRemainLen
                           ? stEvent.ullTotalLen - stEvent.ullRemainLen
                           : 0;
    if (stEvent.uiCode == QVHTTP_EVT_START) {
        g_stHttp.Start(stKey);
    } else if (stEvent.uiCode == QVHTTP_EVT_PROGRESS) {
        g_stHttp.Progress(stKey, ullSent);
    } else if (stEvent.uiCode == QVHTTP_EVT_END) {
        g_stHttp.End(stKey, ullSent, stEvent.uiStatus >= 400);
    }
}

TransferCounters STATS_Tftp()
{
    return g_stTftp.stCounters;
}

TransferCounters STATS_Http()
{
    return g_stHttp.stCounters;
}
