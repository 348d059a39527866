#include "qvdhcp_rfc.h"

#include "qvdhcp_config.h"
#include "qvdhcp_session.h"
#include "qvdhcp_stats.h"

#include <arpa/inet.h>
#include <glib.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <cstring>
#include <vector>

namespace {

const char *const kArchNames[] = {
    "Intel x86PC",
    "NEC/PC98",
    "EFI Itanium",
    "DEC Alpha",
    "Arc x86",
    "Intel Lean Client",
    "EFI IA32",
    "EFI BC",
    "EFI Xscale",
    "EFI x86-64",
    "EFI ARM 32",
    "EFI ARM 64",
    "PowerPC Open Firmware",
    "PowerPC ePAPR",
    "POWER OPAL v3",
    "x86 uefi boot from http",
    "x64 uefi boot from http",
    "ebc boot from http",
    "arm uefi 32 boot from http",
    "arm uefi 64 boot from http",
    "pc/at bios boot from http",
    "arm32 uboot",
    "arm64 uboot",
    "arm uboot 32 boot from http",
    "arm uboot 64 boot from http",
};

constexpr uint8_t kCookie[4] = {99, 130, 83, 99};

// The one architecture of UEFI HTTP boot over IPv4 we have a loader for: x64, with iPXE (there is
// no arm64 iPXE, and GRUB booted over HTTP does not learn its server from the firmware).
constexpr uint16_t kHttpArchX64 = 16;

// The http:// URL of the UEFI loader an HTTP boot client gets: the same file a PXE client gets
// over TFTP, from the HTTP root of the loader tree. False when it does not fit the file field.
bool HttpBootUrl(std::string *pstrUrl)
{
    char szUrl[QVDHCP_FILE_SIZE];
    int iLen = g_snprintf(szUrl, sizeof(szUrl), "http://" QVDHCP_IP_FMT ":%u/kiv_loader/%s",
                          QVDHCP_IP_ARGS(g_stDHCPCfg.uiServerIP), unsigned(g_stDHCPCfg.usHttpPort),
                          g_stDHCPCfg.szEfiBootFile);
    *pstrUrl = szUrl;
    return iLen > 0 && size_t(iLen) < sizeof(szUrl);
}

// Option 60 of a reply: it names the boot protocol the client asked for.
void AddClassId(const QVDHCP_RfcPara *pstPara, QVDHCP_Reply *pstReply)
{
    static const char acPxeClient[] = "PXEClient";
    static const char acHttpClient[] = "HTTPClient";
    if (pstPara->uiVendorHttp) {
        QVDHCP_RFC_AddOpt(pstReply, 60, acHttpClient, sizeof(acHttpClient) - 1);
    } else {
        QVDHCP_RFC_AddOpt(pstReply, 60, acPxeClient, sizeof(acPxeClient) - 1);
    }
}

void SocketSend(int iSocket, const uint8_t *pucData, size_t uiLen, uint32_t uiDstIp,
                uint16_t usPort)
{
    sockaddr_in stTo{};
    stTo.sin_family = AF_INET;
    stTo.sin_port = htons(usPort);
    stTo.sin_addr.s_addr = htonl(uiDstIp);
    // Fire and forget: the client retries.
    (void)sendto(iSocket, pucData, uiLen, 0, reinterpret_cast<sockaddr *>(&stTo), sizeof(stTo));
}

QVDHCP_SendFunc s_pfnSend = SocketSend;

// ACKs of the current burst, sent once the commit callback has returned.
struct HeldAck {
    int iSocket;
    uint32_t uiDstIp;
    uint16_t usDstPort;
    std::vector<uint8_t> vecData;
};
std::vector<HeldAck> s_vecHeldAcks;
// Set while DISCOVERs find no free address, so that the pool's end is logged once.
std::atomic<bool> s_bPoolFull{false};

uint32_t ReadU32(const uint8_t *pucAt)
{
    return (uint32_t(pucAt[0]) << 24) | (uint32_t(pucAt[1]) << 16) | (uint32_t(pucAt[2]) << 8) |
           uint32_t(pucAt[3]);
}

void WriteU32(uint8_t *pucAt, uint32_t uiValue)
{
    pucAt[0] = uint8_t(uiValue >> 24);
    pucAt[1] = uint8_t(uiValue >> 16);
    pucAt[2] = uint8_t(uiValue >> 8);
    pucAt[3] = uint8_t(uiValue);
}

uint32_t Ciaddr(const QVDHCP_RfcPara *pstPara)
{
    return ReadU32(pstPara->pstRecvHdr + QVDHCP_OFF_CIADDR);
}

int Malformed(const char *pcWhy, size_t uiAt)
{
    QVDHCP_Log(QVDHCP_DIG, "Drop malformed dhcp packet: %s (offset %zu)", pcWhy, uiAt);
    return QV_ERR_FAILED;
}

void RaiseEvent(uint32_t uiCode, const QVDHCP_RfcPara *pstPara, uint32_t uiAddress, uint32_t uiMask,
                uint32_t uiRouter)
{
    QVDHCP_EventFunc pfnEvent = g_stDHCPCfg.pfnEvent;
    if (pfnEvent == nullptr) {
        return;
    }
    QVDHCP_ClientEvent stEvent;
    stEvent.uiIsPXE = pstPara->uiIsPXE;
    stEvent.uiIsEFI = QVDHCP_RFC_IsEfiClient(pstPara);
    stEvent.usArch = pstPara->usArch;
    stEvent.uiIsKivIPXE = pstPara->uiIsKivIPXE;
    std::memcpy(stEvent.aucMac, pstPara->Mac(), sizeof(stEvent.aucMac));
    stEvent.uiAddress = uiAddress;
    stEvent.uiMask = uiMask;
    stEvent.uiRouter = uiRouter;
    pfnEvent(uiCode, &stEvent);
}

// An ACK or OFFER: yiaddr, message type, server identifier, then the lease (when given), mask,
// router, and the name servers and domain when set; to iPXE also the class identifier "PXEClient",
// which tells it this offer comes from a PXE server (it otherwise waits for ProxyDHCP offers before
// it boots). Firmware PXE stacks do not get it: UEFI's reads such an offer as one that needs boot
// server discovery. UEFI HTTP boot takes only an offer with "HTTPClient" as its boot offer.
void BuildReply(const QVDHCP_RfcPara *pstPara, uint8_t ucType, uint32_t uiYiaddr,
                const uint32_t *puiLease, uint32_t uiMask, uint32_t uiRouter, uint32_t uiDstIp,
                QVDHCP_Reply *pstReply)
{
    QVDHCP_RFC_InitReply(pstPara, ucType, pstReply);
    pstReply->uiYiaddr = uiYiaddr;
    pstReply->uiDstIp = uiDstIp;
    QVDHCP_RFC_AddIntOpt(pstReply, 54, g_stDHCPCfg.uiServerIP);
    if (puiLease != nullptr) {
        QVDHCP_RFC_AddIntOpt(pstReply, 51, *puiLease);
    }
    QVDHCP_RFC_AddIntOpt(pstReply, 1, uiMask);
    QVDHCP_RFC_AddIntOpt(pstReply, 3, uiRouter);
    if (g_stDHCPCfg.uiDnsCount != 0) {
        uint8_t aucDns[4 * QVDHCP_DNS_MAX];
        for (uint32_t i = 0; i < g_stDHCPCfg.uiDnsCount; ++i) {
            WriteU32(aucDns + 4 * i, g_stDHCPCfg.auiDns[i]);
        }
        QVDHCP_RFC_AddOpt(pstReply, 6, aucDns, 4 * g_stDHCPCfg.uiDnsCount);
    }
    if (g_stDHCPCfg.szDomain[0] != '\0') {
        QVDHCP_RFC_AddOpt(pstReply, 15, g_stDHCPCfg.szDomain, std::strlen(g_stDHCPCfg.szDomain));
    }
    if (pstPara->uiVendorHttp || (pstPara->uiIsPXE && (pstPara->uiIsIPXE || pstPara->uiIsKivIPXE ||
                                                       pstPara->uiHasEtherboot))) {
        AddClassId(pstPara, pstReply);
    }
}

// The client is known with another address than the one it names.
int NakKnownClient(const QVDHCP_RfcPara *pstPara, QVDHCP_Reply *pstReply, const char *pcFunc,
                   unsigned uiLine)
{
    QVDHCP_Log(QVDHCP_DIG, "Client " QVDHCP_MAC_SHORT_FMT " already exist %s %u",
               QVDHCP_MAC_ARGS(pstPara->Mac()), pcFunc, uiLine);
    QVDHCP_RFC_NakReply(pstPara, pstReply);
    return 0;
}

// A unicast answer needs an address to go to; a client without one can only hear a broadcast.
uint32_t UnicastOrBroadcast(uint32_t uiAddress)
{
    return uiAddress != 0 ? uiAddress : QVDHCP_BROADCAST;
}

}  // namespace

void QVDHCP_RFC_SetSendFunc(QVDHCP_SendFunc pfnSend)
{
    s_pfnSend = pfnSend != nullptr ? pfnSend : SocketSend;
}

const char *QVDHCP_RFC_ArchName(uint16_t usArch)
{
    return usArch < G_N_ELEMENTS(kArchNames) ? kArchNames[usArch] : nullptr;
}

uint32_t QVDHCP_RFC_IsEFI(uint16_t usArch)
{
    const char *pcName = QVDHCP_RFC_ArchName(usArch);
    return pcName != nullptr && std::strstr(pcName, "EFI") != nullptr ? 1 : 0;
}

uint32_t QVDHCP_RFC_IsEfiClient(const QVDHCP_RfcPara *pstPara)
{
    return pstPara->uiVendorHttp ? 1 : QVDHCP_RFC_IsEFI(pstPara->usArch);
}

bool QVDHCP_RFC_HttpBootServable(const QVDHCP_RfcPara *pstPara)
{
    if (!pstPara->uiVendorHttp) {
        return true;
    }
    std::string strUrl;
    const char *pcWhy = nullptr;
    if (pstPara->usArch != kHttpArchX64) {
        pcWhy = "no loader for its architecture";
    } else if (!g_stDHCPCfg.uiIpxeLoader) {
        pcWhy = "only the iPXE tree boots over HTTP";
    } else if (!HttpBootUrl(&strUrl)) {
        pcWhy = "the loader's URL does not fit the file field";
    }
    if (pcWhy != nullptr) {
        QVDHCP_Log(QVDHCP_DIG,
                   "HTTP boot request from " QVDHCP_MAC_SHORT_FMT " (arch %u) ignored: %s",
                   QVDHCP_MAC_ARGS(pstPara->Mac()), unsigned(pstPara->usArch), pcWhy);
        return false;
    }
    return true;
}

int QVDHCP_RFC_PreParse(const uint8_t *pstHdr, size_t uiLen, QVDHCP_RfcPara *pstPara)
{
    g_assert(0 != pstHdr);
    g_assert(0 != pstPara);
    pstPara->pstRecvHdr = pstHdr;
    pstPara->uiRecvLen = uiLen;
    if (uiLen < QVDHCP_OFF_OPTIONS) {
        return Malformed("shorter than the header", uiLen);
    }
    if (pstHdr[QVDHCP_OFF_HLEN] > 16) {
        return Malformed("hardware address longer than 16", QVDHCP_OFF_HLEN);
    }
    bool bHasType = false;
    size_t uiPos = QVDHCP_OFF_OPTIONS;
    while (uiPos < uiLen) {
        uint8_t ucCode = pstHdr[uiPos];
        if (ucCode == 255) {
            break;
        }
        if (ucCode == 0) {
            ++uiPos;
            continue;
        }
        if (uiPos + 2 > uiLen || uiPos + 2 + pstHdr[uiPos + 1] > uiLen) {
            return Malformed("option runs past the end", uiPos);
        }
        size_t uiOptLen = pstHdr[uiPos + 1];
        const uint8_t *pucValue = pstHdr + uiPos + 2;
        // The smallest length each recorded option needs for the value read from it.
        size_t uiNeed = 0;
        switch (ucCode) {
        case 53:
            uiNeed = 1;
            break;
        case 50:
        case 54:
            uiNeed = 4;
            break;
        case 93:
            uiNeed = 2;
            break;
        default:
            break;
        }
        if (uiOptLen < uiNeed) {
            return Malformed("option too short for its value", uiPos);
        }
        switch (ucCode) {
        case 53:
            pstPara->ucMsgType = pucValue[0];
            bHasType = true;
            break;
        case 50:
            pstPara->uiRequestedIP = ReadU32(pucValue);
            break;
        case 54:
            pstPara->uiServerId = ReadU32(pucValue);
            break;
        case 77:
            pstPara->uiIsIPXE = (uiOptLen == 4 && std::memcmp(pucValue, "iPXE", 4) == 0) ? 1 : 0;
            pstPara->uiIsKivIPXE =
                (uiOptLen == 10 && std::memcmp(pucValue, "ZEREVEdURE", 10) == 0) ? 1 : 0;
            break;
        case 93:
            pstPara->uiIsPXE = 1;
            pstPara->usArch = uint16_t((pucValue[0] << 8) | pucValue[1]);
            break;
        case 94:
            pstPara->uiIsPXE = 1;
            break;
        case 97:
            pstPara->uiIsPXE = 1;
            if (uiOptLen > 1) {
                std::memcpy(pstPara->aucGuid, pucValue + 1, std::min<size_t>(uiOptLen - 1, 16));
            }
            break;
        case 60:
            pstPara->uiVendorPxe = uiOptLen >= 9 && std::memcmp(pucValue, "PXEClient", 9) == 0;
            pstPara->uiVendorHttp = uiOptLen >= 10 && std::memcmp(pucValue, "HTTPClient", 10) == 0;
            break;
        case 175:
            pstPara->uiHasEtherboot = 1;
            break;
        default:
            break;
        }
        uiPos += 2 + uiOptLen;
    }
    if (!bHasType) {
        return Malformed("no message type", uiPos);
    }
    return 0;
}

void QVDHCP_RFC_InitReply(const QVDHCP_RfcPara *pstPara, uint8_t ucType, QVDHCP_Reply *pstReply)
{
    *pstReply = QVDHCP_Reply{};
    pstReply->ucType = ucType;
    pstReply->uiCiaddr = Ciaddr(pstPara);
    pstReply->uiSiaddr = g_stDHCPCfg.uiNextServer;
    // Our own iPXE build always gets its per-client script. The stock iPXE gets it only while the
    // iPXE tree is the loader (handing it the iPXE boot file again would chain-load it forever);
    // with another tree it boots that tree's loader like any PXE ROM.
    if (pstPara->uiIsKivIPXE || (pstPara->uiIsIPXE && g_stDHCPCfg.uiIpxeLoader)) {
        char szFile[QVDHCP_FILE_SIZE];
        g_snprintf(szFile, sizeof(szFile), "tftp://" QVDHCP_IP_FMT "/ipxe.cfg/01-" QVDHCP_MAC_FMT,
                   QVDHCP_IP_ARGS(g_stDHCPCfg.uiServerIP), QVDHCP_MAC_ARGS(pstPara->Mac()));
        pstReply->strFile = szFile;
    } else if (pstPara->uiVendorHttp) {
        HttpBootUrl(&pstReply->strFile);
    } else {
        pstReply->strFile = QVDHCP_RFC_IsEFI(pstPara->usArch) ? g_stDHCPCfg.szEfiBootFile
                                                              : g_stDHCPCfg.szBiosBootFile;
    }
    QVDHCP_RFC_AddByteOpt(pstReply, 53, ucType);
    // The Windows boot manager takes the store of this option from the cached reply, so a UEFI
    // client reads the store whose loader suits its firmware.
    const char *pcBcd =
        QVDHCP_RFC_IsEFI(pstPara->usArch) ? g_stDHCPCfg.szEfiBcdPath : g_stDHCPCfg.szBiosBcdPath;
    if (ucType != QVDHCP_MSG_NAK && pcBcd[0] != '\0') {
        QVDHCP_RFC_AddOpt(pstReply, 252, pcBcd, std::strlen(pcBcd));
    }
}

void QVDHCP_RFC_AddOpt(QVDHCP_Reply *pstReply, uint8_t ucCode, const void *pValue, size_t uiLen)
{
    if (uiLen > 255) {
        QVDHCP_Log(QVDHCP_DIG, "Option %u value of %zu bytes cut to 255", unsigned(ucCode), uiLen);
        uiLen = 255;
    }
    const auto *pucValue = static_cast<const uint8_t *>(pValue);
    pstReply->vecOptions.push_back({ucCode, std::vector<uint8_t>(pucValue, pucValue + uiLen)});
}

void QVDHCP_RFC_AddByteOpt(QVDHCP_Reply *pstReply, uint8_t ucCode, uint8_t ucValue)
{
    QVDHCP_RFC_AddOpt(pstReply, ucCode, &ucValue, 1);
}

void QVDHCP_RFC_AddIntOpt(QVDHCP_Reply *pstReply, uint8_t ucCode, uint32_t uiValue)
{
    uint8_t aucValue[4];
    WriteU32(aucValue, uiValue);
    QVDHCP_RFC_AddOpt(pstReply, ucCode, aucValue, sizeof(aucValue));
}

size_t QVDHCP_RFC_Encode(const QVDHCP_RfcPara *pstPara, const QVDHCP_Reply &stReply,
                         uint8_t *pucOut, size_t uiCap)
{
    // The header, every option with its code and length, and END must fit.
    size_t uiNeed = QVDHCP_OFF_OPTIONS + 1;
    for (const QVDHCP_Option &stOpt : stReply.vecOptions) {
        uiNeed += 2 + stOpt.vecValue.size();
    }
    if (uiNeed > uiCap) {
        return 0;
    }
    const uint8_t *pucIn = pstPara->pstRecvHdr;
    std::memset(pucOut, 0, QVDHCP_OFF_COOKIE);
    pucOut[QVDHCP_OFF_OP] = 2;
    // htype, hlen, hops, xid, secs and flags lie together; so do giaddr and chaddr.
    std::memcpy(pucOut + 1, pucIn + 1, QVDHCP_OFF_CIADDR - 1);
    std::memcpy(pucOut + QVDHCP_OFF_GIADDR, pucIn + QVDHCP_OFF_GIADDR,
                QVDHCP_OFF_SNAME - QVDHCP_OFF_GIADDR);
    WriteU32(pucOut + QVDHCP_OFF_CIADDR, stReply.uiCiaddr);
    WriteU32(pucOut + QVDHCP_OFF_YIADDR, stReply.uiYiaddr);
    WriteU32(pucOut + QVDHCP_OFF_SIADDR, stReply.uiSiaddr);
    g_strlcpy(reinterpret_cast<char *>(pucOut + QVDHCP_OFF_FILE), stReply.strFile.c_str(),
              QVDHCP_FILE_SIZE);
    std::memcpy(pucOut + QVDHCP_OFF_COOKIE, kCookie, sizeof(kCookie));
    size_t uiPos = QVDHCP_OFF_OPTIONS;
    for (const QVDHCP_Option &stOpt : stReply.vecOptions) {
        pucOut[uiPos] = stOpt.ucCode;
        pucOut[uiPos + 1] = uint8_t(stOpt.vecValue.size());
        std::copy(stOpt.vecValue.begin(), stOpt.vecValue.end(), pucOut + uiPos + 2);
        uiPos += 2 + stOpt.vecValue.size();
    }
    pucOut[uiPos++] = 255;
    return uiPos;
}

int QVDHCP_RFC_SendReply(const QVDHCP_RfcPara *pstPara, const QVDHCP_Reply &stReply)
{
    std::array<uint8_t, QVDHCP_REPLY_MAX> aucOut;
    size_t uiLen = QVDHCP_RFC_Encode(pstPara, stReply, aucOut.data(), aucOut.size());
    if (uiLen == 0) {
        QVDHCP_Log(QVDHCP_DIG,
                   "Reply %u to " QVDHCP_MAC_SHORT_FMT " does not fit in %zu bytes, not sent",
                   unsigned(stReply.ucType), QVDHCP_MAC_ARGS(pstPara->Mac()), aucOut.size());
        return QV_ERR_FAILED;
    }
    if (stReply.ucType == QVDHCP_MSG_ACK && g_stDHCPCfg.pfnCommit != nullptr) {
        s_vecHeldAcks.push_back({pstPara->iSocket, stReply.uiDstIp, stReply.usDstPort,
                                 std::vector<uint8_t>(aucOut.data(), aucOut.data() + uiLen)});
        return 0;
    }
    s_pfnSend(pstPara->iSocket, aucOut.data(), uiLen, stReply.uiDstIp, stReply.usDstPort);
    QVDHCP_STATS_Out(stReply.ucType);
    return 0;
}

void QVDHCP_RFC_SendHeldAcks()
{
    if (s_vecHeldAcks.empty()) {
        return;
    }
    if (g_stDHCPCfg.pfnCommit != nullptr) {
        g_stDHCPCfg.pfnCommit();
    }
    for (const HeldAck &stAck : s_vecHeldAcks) {
        s_pfnSend(stAck.iSocket, stAck.vecData.data(), stAck.vecData.size(), stAck.uiDstIp,
                  stAck.usDstPort);
        QVDHCP_STATS_Out(QVDHCP_MSG_ACK);
    }
    s_vecHeldAcks.clear();
}

namespace {

int Dispatch(QVDHCP_RfcPara *pstPara, QVDHCP_Reply *pstReply)
{
    switch (pstPara->ucMsgType) {
    case QVDHCP_MSG_DISCOVER:
        return QVDHCP_RFC_ProcDiscover(pstPara, pstReply);
    case QVDHCP_MSG_REQUEST:
        return QVDHCP_RFC_ProcRequest(pstPara, pstReply);
    case QVDHCP_MSG_DECLINE:
        return QVDHCP_RFC_ProcDecline(pstPara);
    case QVDHCP_MSG_RELEASE:
        return QVDHCP_RFC_ProcRelease(pstPara);
    case QVDHCP_MSG_INFORM:
        return QVDHCP_RFC_ProcInform(pstPara, pstReply);
    case QVDHCP_MSG_OFFER:
    case QVDHCP_MSG_ACK:
    case QVDHCP_MSG_NAK:
        QVDHCP_Log(QVDHCP_DIG, "Proc func is null for msg %u", pstPara->ucMsgType);
        return QV_ERR_FAILED;
    default:
        QVDHCP_Log(QVDHCP_DIG, "Invalid dhcp message type %u", pstPara->ucMsgType);
        return QV_ERR_FAILED;
    }
}

// A relayed packet is served only from a relay of the pool's subnet, not looping, and not from
// the server's own subnet (a relay there would answer clients that hear us directly).
bool RelayServed(const QVDHCP_RfcPara *pstPara, uint32_t uiGiaddr)
{
    const uint8_t *pucMac = pstPara->Mac();
    uint32_t uiMask = g_stDHCPCfg.uiMask;
    uint8_t ucHops = pstPara->pstRecvHdr[3];
    const char *pcWhy = nullptr;
    if (ucHops > QVDHCP_MAX_HOPS) {
        pcWhy = "too many hops";
    } else if ((uiGiaddr & uiMask) == (g_stDHCPCfg.uiServerIP & uiMask)) {
        pcWhy = "relay in the server's own subnet";
    } else if ((uiGiaddr & uiMask) != (g_stDHCPCfg.uiStartIP & uiMask)) {
        pcWhy = "no pool for the relay's subnet";
    }
    if (pcWhy != nullptr) {
        QVDHCP_Log(QVDHCP_DIG,
                   "Relayed packet from " QVDHCP_MAC_SHORT_FMT " via " QVDHCP_IP_FMT
                   " (hops %u) ignored: %s",
                   QVDHCP_MAC_ARGS(pucMac), QVDHCP_IP_ARGS(uiGiaddr), unsigned(ucHops), pcWhy);
        QVDHCP_STATS_Refused(QVDHCP_Refusal::Relay);
        return false;
    }
    return true;
}

// A reply to a relayed request goes to the relay's server port; the router, unless one was set
// in the relay's subnet, is the relay.
void ToRelay(uint32_t uiGiaddr, QVDHCP_Reply *pstReply)
{
    pstReply->uiDstIp = uiGiaddr;
    pstReply->usDstPort = QVDHCP_SERVER_PORT;
    uint32_t uiMask = g_stDHCPCfg.uiMask;
    if (g_stDHCPCfg.uiRouter == 0 || (g_stDHCPCfg.uiRouter & uiMask) != (uiGiaddr & uiMask)) {
        for (QVDHCP_Option &stOpt : pstReply->vecOptions) {
            if (stOpt.ucCode == 3 && stOpt.vecValue.size() == 4) {
                WriteU32(stOpt.vecValue.data(), uiGiaddr);
            }
        }
    }
}

}  // namespace

int QVDHCP_RFC_ProcMsg(QVDHCP_RfcPara *pstPara)
{
    QVDHCP_Reply stReply;
    uint32_t uiGiaddr = ReadU32(pstPara->pstRecvHdr + QVDHCP_OFF_GIADDR);
    bool bRelayed = g_stDHCPCfg.uiRelay && !g_stDHCPCfg.uiProxy && uiGiaddr != 0;
    if (bRelayed && !RelayServed(pstPara, uiGiaddr)) {
        return 0;
    }
    int iRet =
        g_stDHCPCfg.uiProxy ? QVDHCP_RFC_ProcProxy(pstPara, &stReply) : Dispatch(pstPara, &stReply);
    if (bRelayed) {
        ToRelay(uiGiaddr, &stReply);
    }
    if (stReply.ucType != 0) {
        int iSent = QVDHCP_RFC_SendReply(pstPara, stReply);
        iRet = iRet != 0 ? iRet : iSent;
    }
    return iRet;
}

int QVDHCP_RFC_ProcDiscover(QVDHCP_RfcPara *pstPara, QVDHCP_Reply *pstReply)
{
    const uint8_t *pucMac = pstPara->Mac();
    int64_t llNow = QVDHCP_SESSION_Now();
    QVDHCP_SESSION_AgeActive(llNow);

    QVDHCP_ClientEntry stEntry;
    bool bKnown = QVDHCP_SESSION_Update(
        QVDHCP_Table::Active, pucMac,
        [&](QVDHCP_ClientEntry &stIt) {
            stIt.llTime = llNow;
            stIt.uiState = QVDHCP_STATE_OFFERED;
            stIt.uiLease = g_stDHCPCfg.uiLeaseTime;
        },
        &stEntry);
    if (bKnown) {
        QVDHCP_Log(QVDHCP_DBG,
                   "The client already exist, " QVDHCP_IP_FMT " " QVDHCP_MAC_SHORT_FMT " %s %u",
                   QVDHCP_IP_ARGS(stEntry.uiAddress), QVDHCP_MAC_ARGS(pucMac), __func__, __LINE__);
        if (pstPara->uiIsPXE) {
            QVDHCP_Log(QVDHCP_DIG,
                       "Use the Last IP for PXE Client(" QVDHCP_MAC_FMT ") in normal mode.",
                       QVDHCP_MAC_ARGS(pucMac));
            RaiseEvent(QVDHCP_EVENT_OFFER, pstPara, stEntry.uiAddress, stEntry.uiMask,
                       stEntry.uiRouter);
        } else {
            QVDHCP_Log(QVDHCP_DIG, "Use the same IP for NonPXE Client(" QVDHCP_MAC_FMT ").",
                       QVDHCP_MAC_ARGS(pucMac));
        }
    } else {
        QVDHCP_ClientEntry stReleased;
        bool bReleased = QVDHCP_SESSION_Find(QVDHCP_Table::Released, pucMac, &stReleased);
        QVDHCP_AllocResult stAlloc;
        if (bReleased && QVDHCP_CFG_IsIPFree(pucMac, stReleased.uiAddress) &&
            QVDHCP_CFG_AllocFixedIP(pucMac, stReleased.uiAddress, &stAlloc) == 0) {
            QVDHCP_Log(QVDHCP_DBG, "Use last ip " QVDHCP_IP_FMT "/" QVDHCP_IP_FMT,
                       QVDHCP_IP_ARGS(stAlloc.uiAddress), QVDHCP_IP_ARGS(stAlloc.uiMask));
        } else if (QVDHCP_CFG_AllocIP(pucMac, &stAlloc) != 0) {
            // A room larger than the pool retries for ever: one line while the pool stays full.
            if (!s_bPoolFull.exchange(true)) {
                QVDHCP_Log(QVDHCP_DIG, "No enough ip resource");
            }
            QVDHCP_STATS_Refused(QVDHCP_Refusal::PoolExhausted);
            return QV_ERR_FAILED;
        }
        s_bPoolFull = false;
        if (bReleased) {
            QVDHCP_SESSION_Remove(QVDHCP_Table::Released, pucMac, nullptr);
        }
        stEntry = {stAlloc.uiAddress,       stAlloc.uiMask,      stAlloc.uiRouter, llNow,
                   g_stDHCPCfg.uiLeaseTime, QVDHCP_STATE_OFFERED};
        QVDHCP_SESSION_Insert(QVDHCP_Table::Active, pucMac, stEntry);
        RaiseEvent(QVDHCP_EVENT_OFFER, pstPara, stEntry.uiAddress, stEntry.uiMask,
                   stEntry.uiRouter);
    }
    BuildReply(pstPara, QVDHCP_MSG_OFFER, stEntry.uiAddress, &g_stDHCPCfg.uiLeaseTime,
               stEntry.uiMask, stEntry.uiRouter, QVDHCP_BROADCAST, pstReply);
    QVDHCP_Log(QVDHCP_DBG,
               "Recv DHCP Discover from " QVDHCP_MAC_SHORT_FMT
               ", response DHCP OFFER with ip " QVDHCP_IP_FMT "/" QVDHCP_IP_FMT,
               QVDHCP_MAC_ARGS(pucMac), QVDHCP_IP_ARGS(stEntry.uiAddress),
               QVDHCP_IP_ARGS(stEntry.uiMask));
    return 0;
}

int QVDHCP_RFC_ProcRequest(QVDHCP_RfcPara *pstPara, QVDHCP_Reply *pstReply)
{
    // Unless relays are served, relayed requests belong to the server of the relay's own subnet.
    if (!g_stDHCPCfg.uiRelay && ReadU32(pstPara->pstRecvHdr + QVDHCP_OFF_GIADDR) != 0) {
        QVDHCP_Log(QVDHCP_DBG, "Ignore relayed request from " QVDHCP_MAC_SHORT_FMT,
                   QVDHCP_MAC_ARGS(pstPara->Mac()));
        QVDHCP_STATS_Refused(QVDHCP_Refusal::Relay);
        return 0;
    }
    if (pstPara->uiServerId == 0) {
        return pstPara->uiRequestedIP == 0 ? QVDHCP_RFC_ProcT1T2Req(pstPara, pstReply)
                                           : QVDHCP_RFC_ProcRebootReq(pstPara, pstReply);
    }
    if (pstPara->uiRequestedIP != 0) {
        return QVDHCP_RFC_ProcOfferReq(pstPara, pstReply);
    }
    QVDHCP_Log(QVDHCP_DIG, "Invalid request pkt");
    return QV_ERR_FAILED;
}

int QVDHCP_RFC_ProcOfferReq(QVDHCP_RfcPara *pstPara, QVDHCP_Reply *pstReply)
{
    const uint8_t *pucMac = pstPara->Mac();
    if (pstPara->uiServerId != g_stDHCPCfg.uiServerIP) {
        QVDHCP_Log(QVDHCP_DBG,
                   "Client " QVDHCP_IP_FMT " is responsed by another server " QVDHCP_IP_FMT
                   ", now free the ip",
                   QVDHCP_IP_ARGS(pstPara->uiRequestedIP), QVDHCP_IP_ARGS(pstPara->uiServerId));
        QVDHCP_SESSION_Remove(QVDHCP_Table::Active, pucMac, nullptr);
        return 0;
    }
    QVDHCP_ClientEntry stEntry;
    if (!QVDHCP_SESSION_Find(QVDHCP_Table::Active, pucMac, &stEntry)) {
        QVDHCP_Log(QVDHCP_DIG, "Client IP " QVDHCP_IP_FMT " not found.",
                   QVDHCP_IP_ARGS(pstPara->uiRequestedIP));
        QVDHCP_RFC_NakReply(pstPara, pstReply);
        return 0;
    }
    // Acknowledging another address than the one offered could hand out a held address twice.
    if (stEntry.uiAddress != pstPara->uiRequestedIP) {
        return NakKnownClient(pstPara, pstReply, __func__, __LINE__);
    }
    QVDHCP_SESSION_Update(
        QVDHCP_Table::Active, pucMac,
        [](QVDHCP_ClientEntry &stIt) { stIt.uiState = QVDHCP_STATE_BOUND; }, &stEntry);
    BuildReply(pstPara, QVDHCP_MSG_ACK, pstPara->uiRequestedIP, &g_stDHCPCfg.uiLeaseTime,
               stEntry.uiMask, stEntry.uiRouter, QVDHCP_BROADCAST, pstReply);
    RaiseEvent(QVDHCP_EVENT_ACK, pstPara, pstPara->uiRequestedIP, stEntry.uiMask, stEntry.uiRouter);
    QVDHCP_Log(QVDHCP_DBG,
               "Recv DHCP Offer Request from " QVDHCP_MAC_SHORT_FMT ", response DHCP ACK",
               QVDHCP_MAC_ARGS(pucMac));
    return 0;
}

int QVDHCP_RFC_ProcRebootReq(QVDHCP_RfcPara *pstPara, QVDHCP_Reply *pstReply)
{
    const uint8_t *pucMac = pstPara->Mac();
    uint32_t uiWanted = pstPara->uiRequestedIP;
    int64_t llNow = QVDHCP_SESSION_Now();
    QVDHCP_ClientEntry stEntry;
    if (QVDHCP_SESSION_Find(QVDHCP_Table::Active, pucMac, &stEntry)) {
        if (stEntry.uiAddress != uiWanted) {
            return NakKnownClient(pstPara, pstReply, __func__, __LINE__);
        }
        QVDHCP_SESSION_Update(
            QVDHCP_Table::Active, pucMac,
            [&](QVDHCP_ClientEntry &stIt) {
                stIt.uiState = QVDHCP_STATE_OFFERED;
                stIt.llTime = llNow;
            },
            &stEntry);
    } else {
        QVDHCP_AllocResult stAlloc;
        if (!QVDHCP_CFG_IsIPFree(pucMac, uiWanted) ||
            QVDHCP_CFG_AllocFixedIP(pucMac, uiWanted, &stAlloc) != 0) {
            QVDHCP_Log(QVDHCP_DIG, "Client request for IP " QVDHCP_IP_FMT " but it's not free now",
                       QVDHCP_IP_ARGS(uiWanted));
            QVDHCP_RFC_NakReply(pstPara, pstReply);
            return 0;
        }
        stEntry = {uiWanted, stAlloc.uiMask,          stAlloc.uiRouter,
                   llNow,    g_stDHCPCfg.uiLeaseTime, QVDHCP_STATE_OFFERED};
        QVDHCP_SESSION_Insert(QVDHCP_Table::Active, pucMac, stEntry);
        RaiseEvent(QVDHCP_EVENT_OFFER, pstPara, uiWanted, stEntry.uiMask, stEntry.uiRouter);
        RaiseEvent(QVDHCP_EVENT_ACK, pstPara, uiWanted, stEntry.uiMask, stEntry.uiRouter);
    }
    BuildReply(pstPara, QVDHCP_MSG_ACK, uiWanted, &g_stDHCPCfg.uiLeaseTime, stEntry.uiMask,
               stEntry.uiRouter, QVDHCP_BROADCAST, pstReply);
    QVDHCP_Log(QVDHCP_DBG,
               "Recv DHCP Reboot Request from " QVDHCP_MAC_SHORT_FMT " ReqIP " QVDHCP_IP_FMT
               ", response DHCP ACK",
               QVDHCP_MAC_ARGS(pucMac), QVDHCP_IP_ARGS(uiWanted));
    return 0;
}

int QVDHCP_RFC_ProcT1T2Req(QVDHCP_RfcPara *pstPara, QVDHCP_Reply *pstReply)
{
    const uint8_t *pucMac = pstPara->Mac();
    int64_t llNow = QVDHCP_SESSION_Now();
    QVDHCP_ClientEntry stEntry;
    if (!QVDHCP_SESSION_Update(
            QVDHCP_Table::Active, pucMac, [&](QVDHCP_ClientEntry &stIt) { stIt.llTime = llNow; },
            &stEntry)) {
        QVDHCP_Log(QVDHCP_DIG, "Client IP " QVDHCP_IP_FMT " not found.",
                   QVDHCP_IP_ARGS(Ciaddr(pstPara)));
        QVDHCP_RFC_NakReply(pstPara, pstReply);
        return 0;
    }
    uint16_t usFlags = uint16_t((pstPara->pstRecvHdr[QVDHCP_OFF_FLAGS] << 8) |
                                pstPara->pstRecvHdr[QVDHCP_OFF_FLAGS + 1]);
    BuildReply(pstPara, QVDHCP_MSG_ACK, stEntry.uiAddress, &g_stDHCPCfg.uiLeaseTime, stEntry.uiMask,
               stEntry.uiRouter,
               usFlags == 0x8000 ? QVDHCP_BROADCAST : UnicastOrBroadcast(Ciaddr(pstPara)),
               pstReply);
    QVDHCP_Log(QVDHCP_DBG,
               "Recv DHCP T1T2 Request from " QVDHCP_MAC_SHORT_FMT ", response DHCP ACK",
               QVDHCP_MAC_ARGS(pucMac));
    return 0;
}

int QVDHCP_RFC_ProcInform(QVDHCP_RfcPara *pstPara, QVDHCP_Reply *pstReply)
{
    const uint8_t *pucMac = pstPara->Mac();
    QVDHCP_ClientEntry stEntry;
    if (!QVDHCP_SESSION_Find(QVDHCP_Table::Active, pucMac, &stEntry)) {
        return 0;
    }
    if (pstPara->uiRequestedIP != stEntry.uiAddress) {
        return NakKnownClient(pstPara, pstReply, __func__, __LINE__);
    }
    BuildReply(pstPara, QVDHCP_MSG_ACK, 0, nullptr, stEntry.uiMask, stEntry.uiRouter,
               UnicastOrBroadcast(Ciaddr(pstPara)), pstReply);
    QVDHCP_Log(QVDHCP_DBG,
               "Recv DHCP Information from " QVDHCP_MAC_SHORT_FMT " ReqIP " QVDHCP_IP_FMT
               ", response DHCP ACK",
               QVDHCP_MAC_ARGS(pucMac), QVDHCP_IP_ARGS(Ciaddr(pstPara)));
    return 0;
}

int QVDHCP_RFC_ProcDecline(QVDHCP_RfcPara *pstPara)
{
    const uint8_t *pucMac = pstPara->Mac();
    QVDHCP_ClientEntry stEntry;
    QVDHCP_SESSION_Remove(QVDHCP_Table::Active, pucMac, &stEntry);
    RaiseEvent(QVDHCP_EVENT_RELEASE, pstPara, stEntry.uiAddress, stEntry.uiMask, stEntry.uiRouter);
    QVDHCP_CFG_SetIPBad(stEntry.uiAddress);
    QVDHCP_Log(QVDHCP_DBG,
               "Recv DHCP Declined(Duplicate) from client " QVDHCP_MAC_SHORT_FMT
               " ip " QVDHCP_IP_FMT "/" QVDHCP_IP_FMT,
               QVDHCP_MAC_ARGS(pucMac), QVDHCP_IP_ARGS(stEntry.uiAddress),
               QVDHCP_IP_ARGS(stEntry.uiMask));
    return 0;
}

int QVDHCP_RFC_ProcRelease(QVDHCP_RfcPara *pstPara)
{
    const uint8_t *pucMac = pstPara->Mac();
    QVDHCP_ClientEntry stEntry;
    if (QVDHCP_SESSION_Remove(QVDHCP_Table::Active, pucMac, &stEntry)) {
        QVDHCP_SESSION_Insert(QVDHCP_Table::Released, pucMac, stEntry);
    }
    RaiseEvent(QVDHCP_EVENT_RELEASE, pstPara, stEntry.uiAddress, stEntry.uiMask, stEntry.uiRouter);
    QVDHCP_Log(QVDHCP_DBG,
               "Recv DHCP Release from client " QVDHCP_MAC_SHORT_FMT " ip " QVDHCP_IP_FMT
               "/" QVDHCP_IP_FMT,
               QVDHCP_MAC_ARGS(pucMac), QVDHCP_IP_ARGS(stEntry.uiAddress),
               QVDHCP_IP_ARGS(stEntry.uiMask));
    return 0;
}

namespace {

// The boot offer or ACK of a proxy: no address, the class identifier and, to PXE, the vendor
// options that tell the client to take the boot file as given (discovery control bit 3) rather
// than look for boot servers. HTTP boot has no boot servers to discover.
void ProxyReply(const QVDHCP_RfcPara *pstPara, uint8_t ucType, uint32_t uiDstIp,
                QVDHCP_Reply *pstReply)
{
    QVDHCP_RFC_InitReply(pstPara, ucType, pstReply);
    pstReply->uiDstIp = uiDstIp;
    QVDHCP_RFC_AddIntOpt(pstReply, 54, g_stDHCPCfg.uiServerIP);
    AddClassId(pstPara, pstReply);
    if (!pstPara->uiVendorHttp) {
        static const uint8_t aucVendor[] = {6, 1, 8, 255};
        QVDHCP_RFC_AddOpt(pstReply, 43, aucVendor, sizeof(aucVendor));
    }
}

// Remembers a client given a boot offer; false (logged) when the table is full even after old
// entries are dropped.
bool ProxyRemember(const uint8_t *pucMac, uint32_t uiAddress, int64_t llNow)
{
    if (QVDHCP_SESSION_Count(QVDHCP_Table::Proxy) >= QVDHCP_PROXY_TABLE_MAX &&
        !QVDHCP_SESSION_Find(QVDHCP_Table::Proxy, pucMac, nullptr) &&
        (QVDHCP_SESSION_Prune(QVDHCP_Table::Proxy, llNow - 60) == 0)) {
        QVDHCP_Log(QVDHCP_DIG, "Proxy table full, no offer to " QVDHCP_MAC_SHORT_FMT,
                   QVDHCP_MAC_ARGS(pucMac));
        return false;
    }
    QVDHCP_ClientEntry stEntry;
    QVDHCP_SESSION_Find(QVDHCP_Table::Proxy, pucMac, &stEntry);
    stEntry.uiAddress = uiAddress != 0 ? uiAddress : stEntry.uiAddress;
    stEntry.llTime = llNow;
    stEntry.uiState = QVDHCP_STATE_OFFERED;
    QVDHCP_SESSION_Insert(QVDHCP_Table::Proxy, pucMac, stEntry);
    return true;
}

}  // namespace

int QVDHCP_RFC_ProcProxy(QVDHCP_RfcPara *pstPara, QVDHCP_Reply *pstReply)
{
    const uint8_t *pucMac = pstPara->Mac();
    int64_t llNow = QVDHCP_SESSION_Now();
    bool bOnProxyPort = pstPara->usLocalPort == QVDHCP_PROXY_PORT;
    if (pstPara->ucMsgType == QVDHCP_MSG_DISCOVER && !bOnProxyPort) {
        if (!pstPara->uiVendorPxe && !pstPara->uiVendorHttp) {
            QVDHCP_Log(QVDHCP_DIG,
                       "Proxy: DISCOVER from " QVDHCP_MAC_SHORT_FMT " without PXEClient, ignored",
                       QVDHCP_MAC_ARGS(pucMac));
            return 0;
        }
        if (!ProxyRemember(pucMac, pstPara->uiRequestedIP, llNow)) {
            return QV_ERR_FAILED;
        }
        RaiseEvent(QVDHCP_EVENT_OFFER, pstPara, pstPara->uiRequestedIP, 0, 0);
        ProxyReply(pstPara, QVDHCP_MSG_OFFER, QVDHCP_BROADCAST, pstReply);
        QVDHCP_Log(QVDHCP_DBG, "Proxy: boot offer to " QVDHCP_MAC_SHORT_FMT,
                   QVDHCP_MAC_ARGS(pucMac));
        return 0;
    }
    if (pstPara->ucMsgType != QVDHCP_MSG_REQUEST) {
        return 0;
    }
    // The REQUEST to the site's server names the address the client takes; the one to port 4011
    // comes from it.
    uint32_t uiAddress = bOnProxyPort ? Ciaddr(pstPara) : pstPara->uiRequestedIP;
    QVDHCP_ClientEntry stEntry;
    bool bKnown = QVDHCP_SESSION_Update(
        QVDHCP_Table::Proxy, pucMac,
        [&](QVDHCP_ClientEntry &stIt) {
            stIt.uiAddress = uiAddress != 0 ? uiAddress : stIt.uiAddress;
            stIt.llTime = llNow;
            stIt.uiState = QVDHCP_STATE_BOUND;
        },
        &stEntry);
    if (!bKnown) {
        if (bOnProxyPort) {
            QVDHCP_Log(QVDHCP_DIG,
                       "Proxy: REQUEST on port 4011 from " QVDHCP_MAC_SHORT_FMT
                       " without an offer, ignored",
                       QVDHCP_MAC_ARGS(pucMac));
        }
        return 0;
    }
    if (uiAddress != 0) {
        RaiseEvent(QVDHCP_EVENT_ACK, pstPara, uiAddress, 0, 0);
    }
    if (bOnProxyPort) {
        ProxyReply(pstPara, QVDHCP_MSG_ACK, UnicastOrBroadcast(Ciaddr(pstPara)), pstReply);
        pstReply->usDstPort = pstPara->usPeerPort;
        QVDHCP_Log(QVDHCP_DBG, "Proxy: boot ACK to " QVDHCP_MAC_SHORT_FMT " at " QVDHCP_IP_FMT,
                   QVDHCP_MAC_ARGS(pucMac), QVDHCP_IP_ARGS(Ciaddr(pstPara)));
    }
    return 0;
}

void QVDHCP_RFC_NakReply(const QVDHCP_RfcPara *pstPara, QVDHCP_Reply *pstReply)
{
    QVDHCP_RFC_InitReply(pstPara, QVDHCP_MSG_NAK, pstReply);
    pstReply->uiCiaddr = 0;
    pstReply->uiSiaddr = 0;
    QVDHCP_RFC_AddIntOpt(pstReply, 54, g_stDHCPCfg.uiServerIP);
}
