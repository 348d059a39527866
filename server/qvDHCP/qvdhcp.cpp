#include "qvdhcp.h"

#include "qvdhcp_rfc.h"
#include "qvdhcp_session.h"
#include "qvdhcp_stats.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

constexpr uint8_t kKillSignature[4] = {0x81, 0x65, 0xAE, 0xF2};
constexpr size_t kKillSize = 20;
// Datagrams taken from a socket before the ACKs among them go out.
constexpr unsigned kBurst = 64;

uint8_t *s_pucRecvBuf = nullptr;
std::atomic<int> s_iSocket{-1};
// Set once the kill signal is out; lets the thread end even if its own broadcast never returns.
std::atomic<bool> s_bStopping{false};
GMutex s_stKillLock;
uint8_t s_aucKill[kKillSize] = {};
// The start waits until the thread has its socket (or gave up), so that a stop right after the
// start always finds the socket to send the kill signal from.
GMutex s_stReadyLock;
GCond s_stReadyCond;
bool s_bThreadReady = false;
char s_szIfName[IF_NAMESIZE] = {};

// A socket bound to port 67 of every address but tied to the server's interface: a socket bound
// to the unicast address would not hear the clients' broadcasts. No SO_REUSEADDR, so another
// program already serving port 67 there makes the bind fail. Returns the socket, or -1 with
// errno set.
int OpenServiceSocket(bool bForService, uint16_t usPort = QVDHCP_SERVER_PORT)
{
    int iSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (iSocket < 0) {
        return -1;
    }
    int iOn = 1;
    timeval stTimeout{1, 0};
    sockaddr_in stAddr{};
    stAddr.sin_family = AF_INET;
    stAddr.sin_port = htons(usPort);
    stAddr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (setsockopt(iSocket, SOL_SOCKET, SO_BINDTODEVICE, s_szIfName, strlen(s_szIfName)) != 0 ||
        (bForService &&
         (setsockopt(iSocket, SOL_SOCKET, SO_BROADCAST, &iOn, sizeof(iOn)) != 0 ||
          setsockopt(iSocket, SOL_SOCKET, SO_RCVTIMEO, &stTimeout, sizeof(stTimeout)) != 0)) ||
        bind(iSocket, reinterpret_cast<sockaddr *>(&stAddr), sizeof(stAddr)) != 0) {
        int iErr = errno;
        close(iSocket);
        errno = iErr;
        return -1;
    }
    return iSocket;
}

bool Admitted(const QVDHCP_RfcPara &stPara)
{
    const uint8_t *pucMac = stPara.Mac();
    if (!QVDHCP_RFC_HttpBootServable(&stPara)) {
        return false;
    }
    if (g_stDHCPCfg.uiOnlyPXE == 1) {
        if (!stPara.uiIsPXE) {
            QVDHCP_Log(QVDHCP_LOG, "Client MAC " QVDHCP_MAC_FMT " is Denied becourse NOPXE.",
                       QVDHCP_MAC_ARGS(pucMac));
            QVDHCP_STATS_Refused(QVDHCP_Refusal::NotPxe);
            return false;
        }
        char szLine[128];
        int iLen = g_snprintf(szLine, sizeof(szLine),
                              "PXE Client: MAC: " QVDHCP_MAC_FMT " Arch %u  GUID: ",
                              QVDHCP_MAC_ARGS(pucMac), unsigned(stPara.usArch));
        for (uint8_t ucByte : stPara.aucGuid) {
            if (iLen < 0 || size_t(iLen) >= sizeof(szLine)) {
                break;
            }
            iLen += g_snprintf(szLine + iLen, sizeof(szLine) - iLen, "%02X ", ucByte);
        }
        QVDHCP_Log(QVDHCP_DBG, "%s", szLine);
    }
    if (g_stDHCPCfg.uiVMFilter == 1 && stPara.uiIsPXE && stPara.uiHasEtherboot && stPara.uiIsIPXE) {
        QVDHCP_Log(QVDHCP_LOG,
                   "Client MAC " QVDHCP_MAC_FMT " is Denied becourse ZEL VM PXE request.",
                   QVDHCP_MAC_ARGS(pucMac));
        QVDHCP_STATS_Refused(QVDHCP_Refusal::VmFilter);
        return false;
    }
    QVDHCP_AdmitFunc pfnAdmit = g_stDHCPCfg.pfnAdmit;
    if (pfnAdmit != nullptr &&
        pfnAdmit(stPara.uiIsPXE, QVDHCP_RFC_IsEfiClient(&stPara), pucMac) != 1) {
        QVDHCP_Log(QVDHCP_LOG, "Client MAC " QVDHCP_MAC_FMT " is Denied by system.",
                   QVDHCP_MAC_ARGS(pucMac));
        QVDHCP_STATS_Refused(QVDHCP_Refusal::Admission);
        return false;
    }
    return true;
}

gpointer ServiceThread(gpointer)
{
    {
        g_mutex_lock(&s_stKillLock);
        std::memset(s_aucKill, 0, sizeof(s_aucKill));
        g_mutex_unlock(&s_stKillLock);
    }
    int iSocket = OpenServiceSocket(true);
    int iErr = errno;
    s_iSocket = iSocket;
    g_mutex_lock(&s_stReadyLock);
    s_bThreadReady = true;
    g_cond_signal(&s_stReadyCond);
    g_mutex_unlock(&s_stReadyLock);
    if (iSocket < 0) {
        QVDHCP_Log(QVDHCP_DIG, iErr == EADDRINUSE ? "DHCP port in use, please stop that process."
                                                  : "create socket error");
        return nullptr;
    }
    // A proxy also hears the REQUESTs PXE clients send to port 4011 after its offer.
    int iProxySocket = -1;
    if (g_stDHCPCfg.uiProxy) {
        iProxySocket = OpenServiceSocket(true, QVDHCP_PROXY_PORT);
        if (iProxySocket < 0) {
            QVDHCP_Log(QVDHCP_DIG, "Cannot bind port 4011: %s", g_strerror(errno));
        }
    }
    QVDHCP_Log(QVDHCP_LOG, "QVDHCP %s is running ...", QVDHCP_VERSION);
    unsigned uiQuietAfterStop = 0;
    for (;;) {
        pollfd astFds[2] = {{iSocket, POLLIN, 0}, {iProxySocket, POLLIN, 0}};
        int iReady = poll(astFds, iProxySocket >= 0 ? 2 : 1, 1000);
        if (s_iSocket < 0) {
            break;
        }
        if (iReady <= 0) {
            // A kill signal that has not come back within two receive timeouts is lost.
            if (s_bStopping && ++uiQuietAfterStop >= 2) {
                QVDHCP_Log(QVDHCP_DIG, "Kill signal not received, stop anyway");
                break;
            }
            continue;
        }
        bool bStop = false;
        for (const pollfd &stFd : astFds) {
            if (stFd.fd < 0 || (stFd.revents & POLLIN) == 0) {
                continue;
            }
            // What has queued up is taken as one burst, so its ACKs share one commit.
            for (unsigned uiTaken = 0; uiTaken < kBurst && !bStop; ++uiTaken) {
                sockaddr_in stFrom{};
                socklen_t uiFromLen = sizeof(stFrom);
                ssize_t iLen = recvfrom(stFd.fd, s_pucRecvBuf, QVDHCP_BUF_SIZE, MSG_DONTWAIT,
                                        reinterpret_cast<sockaddr *>(&stFrom), &uiFromLen);
                if (iLen < 0 && errno != EINTR) {
                    break;
                }
                if (iLen > 0 && QVDHCP_HandleDatagram(
                                    s_pucRecvBuf, size_t(iLen), stFd.fd,
                                    stFd.fd == iSocket ? QVDHCP_SERVER_PORT : QVDHCP_PROXY_PORT,
                                    ntohs(stFrom.sin_port)) == QVDHCP_Verdict::Stop) {
                    bStop = true;
                }
            }
        }
        QVDHCP_RFC_SendHeldAcks();
        if (bStop) {
            break;
        }
    }
    if (iProxySocket >= 0) {
        close(iProxySocket);
    }
    close(iSocket);
    return nullptr;
}

}  // namespace

bool QVDHCP_FindInterface(uint32_t uiIp, char szName[IF_NAMESIZE])
{
    ifaddrs *pstList = nullptr;
    if (getifaddrs(&pstList) != 0) {
        return false;
    }
    bool bFound = false;
    for (ifaddrs *pstIt = pstList; pstIt != nullptr && !bFound; pstIt = pstIt->ifa_next) {
        if (pstIt->ifa_addr != nullptr && pstIt->ifa_addr->sa_family == AF_INET &&
            ntohl(reinterpret_cast<sockaddr_in *>(pstIt->ifa_addr)->sin_addr.s_addr) == uiIp) {
            g_strlcpy(szName, pstIt->ifa_name, IF_NAMESIZE);
            bFound = true;
        }
    }
    freeifaddrs(pstList);
    return bFound;
}

QVDHCP_Verdict QVDHCP_HandleDatagram(const uint8_t *pucData, size_t uiLen, int iSocket,
                                     uint16_t usLocalPort, uint16_t usPeerPort)
{
    if (uiLen >= sizeof(kKillSignature) &&
        std::memcmp(pucData, kKillSignature, sizeof(kKillSignature)) == 0) {
        g_mutex_lock(&s_stKillLock);
        bool bOwn = uiLen == kKillSize && std::memcmp(pucData, s_aucKill, kKillSize) == 0;
        g_mutex_unlock(&s_stKillLock);
        if (bOwn) {
            QVDHCP_Log(QVDHCP_DIG, "Server recv kill signal");
            return QVDHCP_Verdict::Stop;
        }
        QVDHCP_Log(QVDHCP_DIG, "The kill signal is from another server, ignore it.");
        return QVDHCP_Verdict::Continue;
    }
    QVDHCP_RfcPara stPara;
    stPara.iSocket = iSocket;
    stPara.usLocalPort = usLocalPort;
    stPara.usPeerPort = usPeerPort;
    if (QVDHCP_RFC_PreParse(pucData, uiLen, &stPara) != 0) {
        QVDHCP_STATS_Refused(QVDHCP_Refusal::Malformed);
        return QVDHCP_Verdict::Continue;
    }
    QVDHCP_STATS_In(stPara.ucMsgType);
    if (!Admitted(stPara)) {
        return QVDHCP_Verdict::Continue;
    }
    QVDHCP_RFC_ProcMsg(&stPara);
    return QVDHCP_Verdict::Continue;
}

int QVDHCP_Init()
{
    if (s_pucRecvBuf == nullptr) {
        s_pucRecvBuf = static_cast<uint8_t *>(g_try_malloc0(QVDHCP_BUF_SIZE));
    }
    if (s_pucRecvBuf == nullptr) {
        QVDHCP_Deinit();
        return QV_ERR_FAILED;
    }
    QVDHCP_CFG_Reset();
    return 0;
}

void QVDHCP_Deinit()
{
    g_free(s_pucRecvBuf);
    s_pucRecvBuf = nullptr;
    QVDHCP_CFG_FreeIpMap();
}

int QVDHCP_Start(GThread **ppThread)
{
    g_assert(0 != ppThread);
    *ppThread = nullptr;
    if (s_pucRecvBuf == nullptr || !QVDHCP_FindInterface(g_stDHCPCfg.uiServerIP, s_szIfName)) {
        QVDHCP_Log(QVDHCP_DIG, "No interface holds the server address " QVDHCP_IP_FMT,
                   QVDHCP_IP_ARGS(g_stDHCPCfg.uiServerIP));
        return QV_ERR_FAILED;
    }
    int iProbe = OpenServiceSocket(false);
    if (iProbe < 0) {
        if (errno == EADDRINUSE) {
            QVDHCP_Log(QVDHCP_DIG, "DHCP port in use");
            return QV_ERR_PORT_IN_USE;
        }
        QVDHCP_Log(QVDHCP_DIG, "Cannot bind DHCP port on %s: %s", s_szIfName, g_strerror(errno));
        return QV_ERR_FAILED;
    }
    close(iProbe);
    if (!g_stDHCPCfg.uiProxy && QVDHCP_CFG_CreateIpMap() != 0) {
        return QV_ERR_FAILED;
    }
    QVDHCP_SESSION_Create();
    s_bStopping = false;
    s_bThreadReady = false;
    GError *pstError = nullptr;
    GThread *pstThread = g_thread_try_new("QVDHCP", ServiceThread, nullptr, &pstError);
    if (pstThread == nullptr) {
        QVDHCP_Log(QVDHCP_DIG, "Cannot start the DHCP thread: %s", pstError->message);
        g_error_free(pstError);
        QVDHCP_SESSION_Destroy();
        QVDHCP_CFG_FreeIpMap();
        return QV_ERR_FAILED;
    }
    g_mutex_lock(&s_stReadyLock);
    while (!s_bThreadReady) {
        g_cond_wait(&s_stReadyCond, &s_stReadyLock);
    }
    g_mutex_unlock(&s_stReadyLock);
    *ppThread = pstThread;
    return 0;
}

int QVDHCP_Stop(GThread *pstThread)
{
    if (pstThread == nullptr) {
        return QV_ERR_FAILED;
    }
    QVDHCP_Log(QVDHCP_LOG, "QVDHCP service stop start ...");
    uint8_t aucKill[kKillSize];
    std::memcpy(aucKill, kKillSignature, sizeof(kKillSignature));
    // Drawn from GLib's generator, seeded from the system's entropy: two servers stopping in the
    // same second must not draw the same signal.
    for (size_t i = sizeof(kKillSignature); i < kKillSize; i += 4) {
        uint32_t uiRandom = g_random_int();
        std::memcpy(aucKill + i, &uiRandom, 4);
    }
    g_mutex_lock(&s_stKillLock);
    std::memcpy(s_aucKill, aucKill, kKillSize);
    g_mutex_unlock(&s_stKillLock);

    int iSocket = s_iSocket;
    QVDHCP_Log(QVDHCP_DIG, "Now Send Kill Signal to (%d).", iSocket);
    sockaddr_in stTo{};
    stTo.sin_family = AF_INET;
    stTo.sin_port = htons(QVDHCP_SERVER_PORT);
    stTo.sin_addr.s_addr = htonl(QVDHCP_BROADCAST);
    if (iSocket >= 0 && sendto(iSocket, aucKill, kKillSize, 0, reinterpret_cast<sockaddr *>(&stTo),
                               sizeof(stTo)) == ssize_t(kKillSize)) {
        s_bStopping = true;
    } else if (iSocket >= 0) {
        // The broadcast could not leave (interface gone): wake the receive directly.
        QVDHCP_Log(QVDHCP_DIG, "Kill signal not sent: %s", g_strerror(errno));
        s_iSocket = -1;
        shutdown(iSocket, SHUT_RD);
    }
    g_thread_join(pstThread);
    s_iSocket = -1;
    QVDHCP_SESSION_Destroy();
    QVDHCP_CFG_FreeIpMap();
    QVDHCP_Log(QVDHCP_LOG, "QVDHCP service stop finished ...");
    return 0;
}
