// libFuzzer target: arbitrary bytes as a datagram to the DHCP engine (every message type, with
// a pool, a lease database and both boot files configured); replies go to a send function that
// only checks their length. The first bytes choose the PXE-only switch.
#include <cstdint>
#include <cstdlib>

#include "qvdhcp.h"
#include "qvdhcp_config.h"
#include "qvdhcp_leasedb.h"
#include "qvdhcp_rfc.h"
#include "qvdhcp_session.h"

namespace {

void CheckedSend(int, const uint8_t *pucData, size_t uiLen, uint32_t, uint16_t)
{
    // A reply is a whole BOOTP header and never more than a datagram.
    if (pucData == nullptr || uiLen < 240 || uiLen > 65507) {
        abort();
    }
}

bool Setup()
{
    QVDHCP_Init();
    QVDHCP_CFG_SetServerIP(0xC0A83201);
    QVDHCP_CFG_SetNextServer(0xC0A83201);
    QVDHCP_CFG_SetIPRange(0xC0A83264, 0xC0A83264 + 15);
    QVDHCP_CFG_SetMask(0xFFFFFF00);
    QVDHCP_CFG_SetRouter(0xC0A83201);
    QVDHCP_CFG_SetBiosBootFile("pxelinux.1408.0");
    QVDHCP_CFG_SetEfiBootFile("pxelinux.efi.linux");
    QVDHCP_RFC_SetSendFunc(CheckedSend);
    QVDHCP_CFG_CreateIpMap();
    QVDHCP_SESSION_Create();
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pucData, size_t uiLen)
{
    static const bool s_bReady = Setup();
    (void)s_bReady;
    if (uiLen == 0) {
        return 0;
    }
    QVDHCP_CFG_SetOnlyPXE(pucData[0] & 1);
    QVDHCP_HandleDatagram(pucData + 1, uiLen - 1, -1);
    return 0;
}
