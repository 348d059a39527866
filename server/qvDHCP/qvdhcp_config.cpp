#include "qvdhcp_config.h"

#include "qvdhcp_leasedb.h"

#include <glib.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <initializer_list>

QVDHCP_Settings g_stDHCPCfg;
uint8_t *g_pucDHCPIpMap = nullptr;

static QV_LogSinks s_stLogSinks;

void QVDHCP_CFG_Reset()
{
    QVDHCP_EventFunc pfnEvent = g_stDHCPCfg.pfnEvent;
    QVDHCP_CommitFunc pfnCommit = g_stDHCPCfg.pfnCommit;
    g_stDHCPCfg.uiServerIP = 0;
    g_stDHCPCfg.uiMask = 0;
    g_stDHCPCfg.uiRouter = 0;
    g_stDHCPCfg.uiStartIP = 0;
    g_stDHCPCfg.uiEndIP = 0;
    g_stDHCPCfg.uiNextServer = 0;
    g_stDHCPCfg.uiLeaseTime = 3600;
    g_stDHCPCfg.uiOnlyPXE = 1;
    g_stDHCPCfg.uiVMFilter = 0;
    g_stDHCPCfg.uiIpxeLoader = 0;
    g_stDHCPCfg.uiProxy = 0;
    g_stDHCPCfg.uiRelay = 0;
    g_stDHCPCfg.usHttpPort = 0;
    g_stDHCPCfg.szBiosBootFile[0] = '\0';
    g_stDHCPCfg.szEfiBootFile[0] = '\0';
    g_stDHCPCfg.szBiosBcdPath[0] = '\0';
    g_stDHCPCfg.szEfiBcdPath[0] = '\0';
    g_stDHCPCfg.uiDnsCount = 0;
    g_stDHCPCfg.szDomain[0] = '\0';
    g_stDHCPCfg.pfnAdmit = nullptr;
    g_stDHCPCfg.pfnEvent = pfnEvent;
    g_stDHCPCfg.pfnCommit = pfnCommit;
}

void QVDHCP_CFG_SetServerIP(uint32_t uiIp)
{
    g_stDHCPCfg.uiServerIP = uiIp;
}
void QVDHCP_CFG_SetMask(uint32_t uiMask)
{
    g_stDHCPCfg.uiMask = uiMask;
}
void QVDHCP_CFG_SetRouter(uint32_t uiRouter)
{
    g_stDHCPCfg.uiRouter = uiRouter;
}
void QVDHCP_CFG_SetNextServer(uint32_t uiIp)
{
    g_stDHCPCfg.uiNextServer = uiIp;
}
void QVDHCP_CFG_SetLeaseTime(uint32_t uiSeconds)
{
    g_stDHCPCfg.uiLeaseTime = uiSeconds;
}
void QVDHCP_CFG_SetOnlyPXE(uint32_t uiOn)
{
    g_stDHCPCfg.uiOnlyPXE = uiOn;
}
void QVDHCP_CFG_SetVMFilter(uint32_t uiOn)
{
    g_stDHCPCfg.uiVMFilter = uiOn;
}
void QVDHCP_CFG_SetIpxeLoader(uint32_t uiOn)
{
    g_stDHCPCfg.uiIpxeLoader = uiOn;
}
void QVDHCP_CFG_SetDns(const uint32_t *puiDns, uint32_t uiCount)
{
    g_stDHCPCfg.uiDnsCount = std::min(uiCount, QVDHCP_DNS_MAX);
    std::copy(puiDns, puiDns + g_stDHCPCfg.uiDnsCount, g_stDHCPCfg.auiDns);
}
void QVDHCP_CFG_SetDomain(const char *pcDomain)
{
    g_strlcpy(g_stDHCPCfg.szDomain, pcDomain, sizeof(g_stDHCPCfg.szDomain));
}
void QVDHCP_CFG_SetProxy(uint32_t uiOn)
{
    g_stDHCPCfg.uiProxy = uiOn;
}
void QVDHCP_CFG_SetRelay(uint32_t uiOn)
{
    g_stDHCPCfg.uiRelay = uiOn;
}
void QVDHCP_CFG_SetAdmitFunc(QVDHCP_AdmitFunc pfnAdmit)
{
    g_stDHCPCfg.pfnAdmit = pfnAdmit;
}
void QVDHCP_CFG_SetEventFunc(QVDHCP_EventFunc pfnEvent)
{
    g_stDHCPCfg.pfnEvent = pfnEvent;
}
void QVDHCP_CFG_SetCommitFunc(QVDHCP_CommitFunc pfnCommit)
{
    g_stDHCPCfg.pfnCommit = pfnCommit;
}
void QVDHCP_SetLogFunc(const QV_LogSinks &stSinks)
{
    s_stLogSinks = stSinks;
}

void QVDHCP_CFG_SetIPRange(uint32_t uiStart, uint32_t uiEnd)
{
    g_stDHCPCfg.uiStartIP = uiStart;
    g_stDHCPCfg.uiEndIP = uiEnd;
}

void QVDHCP_CFG_SetHttpPort(uint16_t usPort)
{
    g_stDHCPCfg.usHttpPort = usPort;
}

void QVDHCP_CFG_SetBiosBootFile(const char *pcName)
{
    g_strlcpy(g_stDHCPCfg.szBiosBootFile, pcName != nullptr ? pcName : "",
              sizeof(g_stDHCPCfg.szBiosBootFile));
}

void QVDHCP_CFG_SetEfiBootFile(const char *pcName)
{
    g_strlcpy(g_stDHCPCfg.szEfiBootFile, pcName != nullptr ? pcName : "",
              sizeof(g_stDHCPCfg.szEfiBootFile));
}

void QVDHCP_CFG_SetBcdPaths(const char *pcBios, const char *pcEfi)
{
    g_strlcpy(g_stDHCPCfg.szBiosBcdPath, pcBios != nullptr ? pcBios : "",
              sizeof(g_stDHCPCfg.szBiosBcdPath));
    g_strlcpy(g_stDHCPCfg.szEfiBcdPath, pcEfi != nullptr ? pcEfi : "",
              sizeof(g_stDHCPCfg.szEfiBcdPath));
}

void QVDHCP_Log(unsigned uiLevel, const char *pcFormat, ...)
{
    va_list args;
    va_start(args, pcFormat);
    QV_LogSinksEmitV(s_stLogSinks, uiLevel, pcFormat, args);
    va_end(args);
}

// ---- Address pool

static bool InPool(uint32_t uiAddress)
{
    return g_pucDHCPIpMap != nullptr && uiAddress >= g_stDHCPCfg.uiStartIP &&
           uiAddress <= g_stDHCPCfg.uiEndIP;
}

int QVDHCP_CFG_CreateIpMap()
{
    QVDHCP_CFG_FreeIpMap();
    if (g_stDHCPCfg.uiEndIP < g_stDHCPCfg.uiStartIP) {
        QVDHCP_Log(QVDHCP_DIG, "Invalid ip range " QVDHCP_IP_FMT "-" QVDHCP_IP_FMT,
                   QVDHCP_IP_ARGS(g_stDHCPCfg.uiStartIP), QVDHCP_IP_ARGS(g_stDHCPCfg.uiEndIP));
        return QV_ERR_FAILED;
    }
    gsize uiCount = gsize(g_stDHCPCfg.uiEndIP - g_stDHCPCfg.uiStartIP) + 1;
    g_pucDHCPIpMap = static_cast<uint8_t *>(g_try_malloc0(uiCount));
    return g_pucDHCPIpMap != nullptr ? 0 : QV_ERR_FAILED;
}

void QVDHCP_CFG_FreeIpMap()
{
    g_free(g_pucDHCPIpMap);
    g_pucDHCPIpMap = nullptr;
}

static void FillResult(uint32_t uiAddress, QVDHCP_AllocResult *pstOut)
{
    pstOut->uiAddress = uiAddress;
    pstOut->uiMask = g_stDHCPCfg.uiMask;
    pstOut->uiRouter = g_stDHCPCfg.uiRouter;
}

static uint8_t &MapByte(uint32_t uiAddress)
{
    return g_pucDHCPIpMap[uiAddress - g_stDHCPCfg.uiStartIP];
}

int QVDHCP_CFG_AllocIP(const uint8_t aucMac[6], QVDHCP_AllocResult *pstOut)
{
    g_assert(0 != pstOut);
    QVDHCP_Log(QVDHCP_DBG, "QVDHCP_CFG_AllocIP MAC:" QVDHCP_MAC_FMT, QVDHCP_MAC_ARGS(aucMac));
    if (g_pucDHCPIpMap == nullptr) {
        return QV_ERR_FAILED;
    }
    uint32_t uiKnown = 0;
    if (LEASEDB_FindIPByMAC(aucMac, &uiKnown) == 0) {
        if (InPool(uiKnown) && MapByte(uiKnown) == QVDHCP_IP_FREE) {
            MapByte(uiKnown) = QVDHCP_IP_USED;
            FillResult(uiKnown, pstOut);
            QVDHCP_Log(QVDHCP_DBG, "QVDHCP_CFG_AllocIP alloc DB ip from pool " QVDHCP_IP_FMT,
                       QVDHCP_IP_ARGS(uiKnown));
            return 0;
        }
        LEASEDB_DeleteByMAC(aucMac);
        QVDHCP_Log(QVDHCP_DBG, "Now delete dhcp db " QVDHCP_MAC_FMT " " QVDHCP_IP_FMT,
                   QVDHCP_MAC_ARGS(aucMac), QVDHCP_IP_ARGS(uiKnown));
    }

    bool bFallback = false, bTaken = false;
    uint32_t uiFallback = 0, uiAddress = 0;
    // Walk with a 64-bit counter so a range ending at 255.255.255.255 still terminates.
    for (uint64_t ulIp = g_stDHCPCfg.uiStartIP; ulIp <= g_stDHCPCfg.uiEndIP; ++ulIp) {
        uint32_t uiIp = uint32_t(ulIp);
        if (MapByte(uiIp) != QVDHCP_IP_FREE) {
            continue;
        }
        if (!bFallback) {
            bFallback = true;
            uiFallback = uiIp;
        }
        if (!LEASEDB_HasIP(uiIp)) {
            uiAddress = uiIp;
            bTaken = true;
            break;
        }
        QVDHCP_Log(QVDHCP_DBG, "IP " QVDHCP_IP_FMT " is in DB, try next", QVDHCP_IP_ARGS(uiIp));
    }
    if (!bTaken) {
        if (!bFallback) {
            return QV_ERR_FAILED;
        }
        uiAddress = uiFallback;
        QVDHCP_Log(QVDHCP_DBG, "Skip DB failed, now use " QVDHCP_IP_FMT, QVDHCP_IP_ARGS(uiAddress));
    }
    MapByte(uiAddress) = QVDHCP_IP_USED;
    FillResult(uiAddress, pstOut);
    LEASEDB_Put(aucMac, uiAddress);
    QVDHCP_Log(QVDHCP_DBG, "QVDHCP_CFG_AllocIP alloc ip from pool " QVDHCP_IP_FMT,
               QVDHCP_IP_ARGS(uiAddress));
    return 0;
}

int QVDHCP_CFG_AllocFixedIP(const uint8_t aucMac[6], uint32_t uiAddress, QVDHCP_AllocResult *pstOut)
{
    g_assert(0 != pstOut);
    QVDHCP_Log(QVDHCP_DBG, "QVDHCP_CFG_AllocFixedIP MAC:" QVDHCP_MAC_FMT " IP:" QVDHCP_IP_FMT,
               QVDHCP_MAC_ARGS(aucMac), QVDHCP_IP_ARGS(uiAddress));
    if (!InPool(uiAddress)) {
        QVDHCP_Log(QVDHCP_DBG, "Invalid IP %u to alloc fixed.", uiAddress);
        return QV_ERR_FAILED;
    }
    if (MapByte(uiAddress) != QVDHCP_IP_FREE) {
        return QV_ERR_FAILED;
    }
    QVDHCP_Log(QVDHCP_DBG, "QVDHCP_CFG_AllocFixedIP from pool");
    MapByte(uiAddress) = QVDHCP_IP_USED;
    FillResult(uiAddress, pstOut);
    LEASEDB_Put(aucMac, uiAddress);
    return 0;
}

void QVDHCP_CFG_FreeIP(uint32_t uiAddress)
{
    QVDHCP_Log(QVDHCP_DBG, "QVDHCP_CFG_FreeIP " QVDHCP_IP_FMT, QVDHCP_IP_ARGS(uiAddress));
    if (!InPool(uiAddress)) {
        QVDHCP_Log(QVDHCP_DBG, "Invalid IP %u to free.", uiAddress);
        return;
    }
    g_assert(1 == MapByte(uiAddress));
    MapByte(uiAddress) = QVDHCP_IP_FREE;
}

void QVDHCP_CFG_SetIPBad(uint32_t uiAddress)
{
    QVDHCP_Log(QVDHCP_DBG, "QVDHCP_CFG_SetIPBad " QVDHCP_IP_FMT, QVDHCP_IP_ARGS(uiAddress));
    if (!InPool(uiAddress)) {
        QVDHCP_Log(QVDHCP_DBG, "Invalid IP %u to free.", uiAddress);
        return;
    }
    if (MapByte(uiAddress) != QVDHCP_IP_USED) {
        MapByte(uiAddress) = QVDHCP_IP_BAD;
    }
}

int QVDHCP_CFG_IsIPFree(const uint8_t aucMac[6], uint32_t uiAddress)
{
    (void)aucMac;
    if (!InPool(uiAddress)) {
        QVDHCP_Log(QVDHCP_DBG, "Invalid IP %u to judge.", uiAddress);
        return 0;
    }
    return MapByte(uiAddress) == QVDHCP_IP_FREE ? 1 : 0;
}
