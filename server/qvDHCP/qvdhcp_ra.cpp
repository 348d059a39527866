#include "qvdhcp_ra.h"

#include "qvdhcp.h"
#include "qvdhcp_config.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace {

constexpr uint8_t kOptSourceLinkAddr = 1;

struct RaService {
    GThread *pstThread = nullptr;
    int iSocket = -1;
    int iWake = -1;  // eventfd: a write ends the thread
    unsigned uiIfIndex = 0;
    char szIfName[IF_NAMESIZE] = {};
};

RaService s_stService;

bool IsUnspecified(const uint8_t aucAddr[16])
{
    return std::all_of(aucAddr, aucAddr + 16, [](uint8_t uc) { return uc == 0; });
}

bool IsLinkLocal(const uint8_t aucAddr[16])
{
    return aucAddr[0] == 0xFE && (aucAddr[1] & 0xC0) == 0x80;
}

sockaddr_in6 Destination(QVDHCP_RaAnswer eAnswer, const sockaddr_in6 &stSource, unsigned uiIfIndex)
{
    sockaddr_in6 stTo{};
    stTo.sin6_family = AF_INET6;
    stTo.sin6_scope_id = uiIfIndex;
    if (eAnswer == QVDHCP_RaAnswer::Unicast) {
        stTo.sin6_addr = stSource.sin6_addr;
    } else {
        inet_pton(AF_INET6, "ff02::1", &stTo.sin6_addr);
    }
    return stTo;
}

// One solicitation from the socket: its hop limit comes as ancillary data. False on a receive
// error.
bool Receive(int iSocket, uint8_t *pucBuf, size_t uiCap, size_t *puiLen, int *piHopLimit,
             sockaddr_in6 *pstSource)
{
    iovec stIov{pucBuf, uiCap};
    alignas(cmsghdr) uint8_t aucControl[CMSG_SPACE(sizeof(int)) * 2];
    msghdr stMsg{};
    stMsg.msg_name = pstSource;
    stMsg.msg_namelen = sizeof(*pstSource);
    stMsg.msg_iov = &stIov;
    stMsg.msg_iovlen = 1;
    stMsg.msg_control = aucControl;
    stMsg.msg_controllen = sizeof(aucControl);
    ssize_t iLen = recvmsg(iSocket, &stMsg, MSG_DONTWAIT);
    if (iLen < 0) {
        return false;
    }
    *puiLen = (stMsg.msg_flags & MSG_TRUNC) ? uiCap + 1 : size_t(iLen);
    *piHopLimit = -1;
    for (cmsghdr *pstC = CMSG_FIRSTHDR(&stMsg); pstC != nullptr; pstC = CMSG_NXTHDR(&stMsg, pstC)) {
        if (pstC->cmsg_level == IPPROTO_IPV6 && pstC->cmsg_type == IPV6_HOPLIMIT &&
            pstC->cmsg_len >= CMSG_LEN(sizeof(int))) {
            std::memcpy(piHopLimit, CMSG_DATA(pstC), sizeof(int));
        }
    }
    return true;
}

gpointer RaThread(gpointer)
{
    RaService &stSvc = s_stService;
    QVDHCP_RaLimiter stLimiter;
    uint8_t aucAdvert[QVDHCP_RA_SIZE];
    QVDHCP_RA_Build(aucAdvert);
    // A solicitation is small; anything larger than this is not one we answer.
    uint8_t aucBuf[1500];
    pollfd astFds[2] = {{stSvc.iSocket, POLLIN, 0}, {stSvc.iWake, POLLIN, 0}};
    while (true) {
        if (poll(astFds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            QVDHCP_Log(QVDHCP_DIG, "Router advertisements: poll failed: %s", g_strerror(errno));
            break;
        }
        if (astFds[1].revents != 0) {
            break;
        }
        size_t uiLen = 0;
        int iHopLimit = -1;
        sockaddr_in6 stSource{};
        if (!Receive(stSvc.iSocket, aucBuf, sizeof(aucBuf), &uiLen, &iHopLimit, &stSource)) {
            continue;
        }
        char szSource[INET6_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET6, &stSource.sin6_addr, szSource, sizeof(szSource));
        const char *pcWhy = "larger than any solicitation";
        QVDHCP_RaAnswer eAnswer =
            uiLen > sizeof(aucBuf)
                ? QVDHCP_RaAnswer::None
                : QVDHCP_RA_Check(aucBuf, uiLen, iHopLimit,
                                  reinterpret_cast<const uint8_t *>(&stSource.sin6_addr), &pcWhy);
        if (eAnswer == QVDHCP_RaAnswer::None) {
            QVDHCP_Log(QVDHCP_DBG, "Router solicitation from %s dropped: %s", szSource, pcWhy);
            continue;
        }
        if (!stLimiter.Take(eAnswer, g_get_monotonic_time())) {
            QVDHCP_Log(QVDHCP_DBG, "Router solicitation from %s not answered: rate limit",
                       szSource);
            continue;
        }
        sockaddr_in6 stTo = Destination(eAnswer, stSource, stSvc.uiIfIndex);
        if (sendto(stSvc.iSocket, aucAdvert, sizeof(aucAdvert), 0,
                   reinterpret_cast<sockaddr *>(&stTo), sizeof(stTo)) < 0) {
            QVDHCP_Log(QVDHCP_DIG, "Router advertisement to %s not sent: %s", szSource,
                       g_strerror(errno));
            continue;
        }
        QVDHCP_Log(QVDHCP_DBG, "Router solicitation from %s answered (%s, lifetime 0)", szSource,
                   eAnswer == QVDHCP_RaAnswer::Unicast ? "unicast" : "all nodes");
    }
    return nullptr;
}

void CloseService()
{
    for (int *piFd : {&s_stService.iSocket, &s_stService.iWake}) {
        if (*piFd >= 0) {
            close(*piFd);
            *piFd = -1;
        }
    }
}

// The raw ICMPv6 socket: only solicitations pass the kernel's filter, hop limits come with each
// message, and what we send carries hop limit 255 on the server's interface only.
int OpenSocket(const char *pcIfName, unsigned uiIfIndex)
{
    int iSocket = socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6);
    if (iSocket < 0) {
        return -1;
    }
    icmp6_filter stFilter;
    ICMP6_FILTER_SETBLOCKALL(&stFilter);
    ICMP6_FILTER_SETPASS(QVDHCP_RA_SOLICIT, &stFilter);
    int iOn = 1;
    int iHops = QVDHCP_RA_HOP_LIMIT;
    int iOff = 0;
    int iIndex = int(uiIfIndex);
    ipv6_mreq stGroup{};
    inet_pton(AF_INET6, "ff02::2", &stGroup.ipv6mr_multiaddr);
    stGroup.ipv6mr_interface = uiIfIndex;
    if (setsockopt(iSocket, SOL_SOCKET, SO_BINDTODEVICE, pcIfName, strlen(pcIfName)) != 0 ||
        setsockopt(iSocket, IPPROTO_ICMPV6, ICMP6_FILTER, &stFilter, sizeof(stFilter)) != 0 ||
        setsockopt(iSocket, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, &iOn, sizeof(iOn)) != 0 ||
        setsockopt(iSocket, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &iHops, sizeof(iHops)) != 0 ||
        setsockopt(iSocket, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &iHops, sizeof(iHops)) != 0 ||
        setsockopt(iSocket, IPPROTO_IPV6, IPV6_MULTICAST_IF, &iIndex, sizeof(iIndex)) != 0 ||
        setsockopt(iSocket, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &iOff, sizeof(iOff)) != 0 ||
        setsockopt(iSocket, IPPROTO_IPV6, IPV6_JOIN_GROUP, &stGroup, sizeof(stGroup)) != 0) {
        int iErr = errno;
        close(iSocket);
        errno = iErr;
        return -1;
    }
    return iSocket;
}

}  // namespace

QVDHCP_RaAnswer QVDHCP_RA_Check(const uint8_t *pucMsg, size_t uiLen, int iHopLimit,
                                const uint8_t aucSource[16], const char **ppcWhy)
{
    const char *pcWhy = nullptr;
    if (uiLen < 8) {
        pcWhy = "shorter than 8 bytes";
    } else if (pucMsg[0] != QVDHCP_RA_SOLICIT || pucMsg[1] != 0) {
        pcWhy = "not a router solicitation";
    } else if (iHopLimit != QVDHCP_RA_HOP_LIMIT) {
        pcWhy = "hop limit not 255 (not from this link)";
    }
    bool bUnspecified = IsUnspecified(aucSource);
    for (size_t uiPos = 8; pcWhy == nullptr && uiPos < uiLen;) {
        size_t uiOptLen = uiPos + 1 < uiLen ? size_t(pucMsg[uiPos + 1]) * 8 : 0;
        if (uiOptLen == 0 || uiPos + uiOptLen > uiLen) {
            pcWhy = "option of length 0 or past the end";
        } else if (pucMsg[uiPos] == kOptSourceLinkAddr && bUnspecified) {
            pcWhy = "link-layer address from the unspecified address";
        }
        uiPos += uiOptLen;
    }
    if (ppcWhy != nullptr) {
        *ppcWhy = pcWhy;
    }
    if (pcWhy != nullptr) {
        return QVDHCP_RaAnswer::None;
    }
    return IsLinkLocal(aucSource) ? QVDHCP_RaAnswer::Unicast : QVDHCP_RaAnswer::Multicast;
}

void QVDHCP_RA_Build(uint8_t pucOut[QVDHCP_RA_SIZE])
{
    // Type, code, checksum; current hop limit 0 (unspecified); M and O clear; router lifetime 0;
    // reachable time and retransmission timer 0 (unspecified); no options: no prefix, no MTU.
    std::memset(pucOut, 0, QVDHCP_RA_SIZE);
    pucOut[0] = QVDHCP_RA_ADVERT;
}

bool QVDHCP_RaLimiter::Take(QVDHCP_RaAnswer eAnswer, int64_t llNowUs)
{
    dTokens = std::min(QVDHCP_RA_BURST, dTokens + double(llNowUs - llLastUs) * QVDHCP_RA_RATE /
                                                      double(G_USEC_PER_SEC));
    llLastUs = llNowUs;
    if (dTokens < 1) {
        return false;
    }
    if (eAnswer == QVDHCP_RaAnswer::Multicast) {
        if (llNowUs - llLastMulticastUs < QVDHCP_RA_MULTICAST_GAP_US) {
            return false;
        }
        llLastMulticastUs = llNowUs;
    }
    dTokens -= 1;
    return true;
}

int QVDHCP_RA_Start(uint32_t uiServerIp)
{
    QVDHCP_RA_Stop();
    RaService &stSvc = s_stService;
    if (!QVDHCP_FindInterface(uiServerIp, stSvc.szIfName) ||
        (stSvc.uiIfIndex = if_nametoindex(stSvc.szIfName)) == 0) {
        QVDHCP_Log(QVDHCP_DIG, "Router advertisements: no interface holds " QVDHCP_IP_FMT,
                   QVDHCP_IP_ARGS(uiServerIp));
        return QV_ERR_FAILED;
    }
    stSvc.iSocket = OpenSocket(stSvc.szIfName, stSvc.uiIfIndex);
    if (stSvc.iSocket < 0) {
        QVDHCP_Log(QVDHCP_DIG, "Router advertisements: no ICMPv6 socket on %s: %s", stSvc.szIfName,
                   g_strerror(errno));
        return QV_ERR_FAILED;
    }
    stSvc.iWake = eventfd(0, EFD_CLOEXEC);
    GError *pstError = nullptr;
    stSvc.pstThread =
        stSvc.iWake < 0 ? nullptr : g_thread_try_new("QVRA", RaThread, nullptr, &pstError);
    if (stSvc.pstThread == nullptr) {
        QVDHCP_Log(QVDHCP_DIG, "Router advertisements: cannot start: %s",
                   pstError != nullptr ? pstError->message : g_strerror(errno));
        g_clear_error(&pstError);
        CloseService();
        return QV_ERR_FAILED;
    }
    QVDHCP_Log(QVDHCP_LOG, "Router advertisements without a router (lifetime 0) on %s",
               stSvc.szIfName);
    return 0;
}

void QVDHCP_RA_Stop()
{
    RaService &stSvc = s_stService;
    if (stSvc.pstThread == nullptr) {
        return;
    }
    uint64_t ullOne = 1;
    (void)!write(stSvc.iWake, &ullOne, sizeof(ullOne));
    g_thread_join(stSvc.pstThread);
    stSvc.pstThread = nullptr;
    CloseService();
}
