#include "client_phase.h"

#include <gtest/gtest.h>

#include <string>

#include "msg_table.h"
#include "transfer_stats.h"

namespace {

std::string M(int iMessage, bool bChinese)
{
    return MSG_TextIn(iMessage, bChinese);
}

// Status lines as the client table writes them, in both languages: "Download file finished"
// and the failed TFTP line share one prefix, and in Chinese 118 is a prefix of 120 and 121.
TEST(ClientPhase, StatusLinesInBothLanguages)
{
    for (bool bZh : {false, true}) {
        struct Case {
            std::string strStatus;
            ClientPhase ePhase;
        } astCases[] = {
            {M(122, bZh) + "(UEFI X86_64)", ClientPhase::Requesting},
            {M(122, bZh) + "(BIOS ARM64)" + M(145, bZh), ClientPhase::Failed},
            {M(119, bZh) + "(TFTP: 12.50%):pxelinux.0", ClientPhase::Downloading},
            {M(119, bZh) + ": (HTTP: 50.00%) /iso/x.iso", ClientPhase::Downloading},
            {M(121, bZh) + ": (HTTP) /iso/x.iso", ClientPhase::Downloading},
            {M(120, bZh) + ": (HTTP) /iso/missing", ClientPhase::Failed},
            {M(118, bZh) + "(TFTP " + M(2, bZh) + "0x00000001):pxelinux.0", ClientPhase::Failed},
            {M(116, bZh), ClientPhase::Installing},
            {M(117, bZh), ClientPhase::Installing},
            {M(114, bZh) + "(" + M(115, bZh) + ": 3m2s)", ClientPhase::Finished},
            {"", ClientPhase::Requesting},
        };
        for (const Case &stCase : astCases) {
            EXPECT_EQ(CLIENTS_Phase(stCase.strStatus), stCase.ePhase) << stCase.strStatus;
        }
    }
    EXPECT_STREQ(CLIENTS_PhaseName(ClientPhase::Failed), "failed");
}

QVTFTP_TransferEvent Tftp(uint16_t usPort, uint64_t ullSent, uint32_t uiResult = 0)
{
    QVTFTP_TransferEvent stEvent{};
    stEvent.uiClientIp = 0x0a000001;
    stEvent.usClientPort = usPort;
    stEvent.ullSent = ullSent;
    stEvent.uiResult = uiResult;
    return stEvent;
}

// Events carry totals so far: each byte counts once, also for a repeated or late progress, and
// two transfers of one client apart by port.
TEST(TransferStats, CountsBytesOnceAndOutcomes)
{
    TransferCounters stBefore = STATS_Tftp();
    STATS_TftpEvent(QVTFTP_EVENT_START, Tftp(1000, 0));
    STATS_TftpEvent(QVTFTP_EVENT_START, Tftp(1001, 0));
    STATS_TftpEvent(QVTFTP_EVENT_PROGRESS, Tftp(1000, 4096));
    STATS_TftpEvent(QVTFTP_EVENT_PROGRESS, Tftp(1000, 4096));
    STATS_TftpEvent(QVTFTP_EVENT_PROGRESS, Tftp(1001, 512));
    STATS_TftpEvent(QVTFTP_EVENT_PROGRESS, Tftp(1000, 2048));
    STATS_TftpEvent(QVTFTP_EVENT_END, Tftp(1000, 10000));
    STATS_TftpEvent(QVTFTP_EVENT_END, Tftp(1001, 700, 1));
    STATS_TftpEvent(QVTFTP_EVENT_REQ_FAILED, Tftp(1002, 0));
    TransferCounters stAfter = STATS_Tftp();
    EXPECT_EQ(stAfter.ullBytes - stBefore.ullBytes, 10700u);
    EXPECT_EQ(stAfter.ullStarted - stBefore.ullStarted, 3u);
    EXPECT_EQ(stAfter.ullFinished - stBefore.ullFinished, 1u);
    EXPECT_EQ(stAfter.ullFailed - stBefore.ullFailed, 2u);

    TransferCounters stHttpBefore = STATS_Http();
    QVHTTP_RequestEvent stHttp{};
    stHttp.uiClientIp = 0x0a000001;
    stHttp.uiClientPort = 40000;
    stHttp.ullTotalLen = 8000;
    stHttp.ullRemainLen = 8000;
    stHttp.uiCode = QVHTTP_EVT_START;
    STATS_HttpEvent(stHttp);
    stHttp.uiCode = QVHTTP_EVT_PROGRESS;
    stHttp.ullRemainLen = 3000;
    STATS_HttpEvent(stHttp);
    stHttp.uiCode = QVHTTP_EVT_END;
    stHttp.ullRemainLen = 0;
    stHttp.uiStatus = 200;
    STATS_HttpEvent(stHttp);
    stHttp.ullTotalLen = stHttp.ullRemainLen = 0;
    stHttp.uiStatus = 404;
    STATS_HttpEvent(stHttp);
    TransferCounters stHttpAfter = STATS_Http();
    EXPECT_EQ(stHttpAfter.ullBytes - stHttpBefore.ullBytes, 8000u);
    EXPECT_EQ(stHttpAfter.ullFinished - stHttpBefore.ullFinished, 1u);
    EXPECT_EQ(stHttpAfter.ullFailed - stHttpBefore.ullFailed, 1u);
}

}  // namespace
