#include "console_test_events.h"

#include <arpa/inet.h>
#include <glib.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "client_table.h"
#include "msg_table.h"

namespace {

Json::Value Refuse(const std::string &strWhy)
{
    Json::Value stResult;
    stResult["ok"] = false;
    stResult["error"] = strWhy;
    return stResult;
}

QVTFTP_TransferEvent Transfer(uint32_t uiAddress, double dPercent, uint32_t uiResult)
{
    QVTFTP_TransferEvent stEvent{};
    stEvent.uiClientIp = uiAddress;
    g_strlcpy(stEvent.szFileName, "images/linux/vmlinuz", sizeof(stEvent.szFileName));
    stEvent.ullFileSize = 10000000;
    stEvent.ullSent = uint64_t(dPercent * 100000.0);
    stEvent.uiResult = uiResult;
    stEvent.uiDirection = 1;
    return stEvent;
}

}  // namespace

bool CONSOLE_TestEventsEnabled()
{
    return g_strcmp0(g_getenv("KIVPXE_TEST_EVENTS"), "1") == 0;
}

Json::Value CONSOLE_TestClientEvents(const Json::Value &stArgs)
{
    int iCount = stArgs.get("count", 1).asInt();
    std::string strStep = stArgs.get("step", "offer").asString();
    double dPercent = stArgs.get("percent", 50.0).asDouble();
    in_addr stFirst{};
    if (iCount < 1 || iCount > 4096 ||
        inet_pton(AF_INET, stArgs.get("first", "10.90.0.1").asCString(), &stFirst) != 1) {
        return Refuse("count 1..4096 and a dotted first address are needed");
    }
    for (int i = 0; i < iCount; ++i) {
        uint32_t uiAddress = ntohl(stFirst.s_addr) + uint32_t(i);
        if (strStep == "offer") {
            QVDHCP_ClientEvent stEvent;
            stEvent.uiIsPXE = 1;
            stEvent.uiIsEFI = i % 2;
            stEvent.usArch = stEvent.uiIsEFI != 0 ? 7 : 0;
            const uint8_t aucMac[6] = {0x02, 0x4b, 0x49, 0x56, uint8_t(i >> 8), uint8_t(i)};
            memcpy(stEvent.aucMac, aucMac, sizeof(aucMac));
            stEvent.uiAddress = uiAddress;
            // A client that takes its lease, as a booting machine does: offered-only rows age.
            OnDhcpEvent(QVDHCP_EVENT_OFFER, &stEvent);
            OnDhcpEvent(QVDHCP_EVENT_ACK, &stEvent);
        } else if (strStep == "start" || strStep == "download" || strStep == "fail") {
            bool bFail = strStep == "fail";
            QVTFTP_TransferEvent stEvent = Transfer(uiAddress, dPercent, bFail ? 1 : 0);
            OnTftpEvent(bFail                ? QVTFTP_EVENT_END
                        : strStep == "start" ? QVTFTP_EVENT_START
                                             : QVTFTP_EVENT_PROGRESS,
                        &stEvent);
        } else if (strStep == "finish") {
            // What the agent's finish request does once it is accepted.
            int iRow = FindRowByAddress(uiAddress);
            if (iRow != 0) {
                MarkFinished(iRow, MSG_Text(114));
            }
        } else {
            return Refuse("unknown step " + strStep);
        }
    }
    Json::Value stResult;
    stResult["ok"] = true;
    return stResult;
}
