// DHCP/BOOTP messages: the request summary, the dispatcher, the handlers that decide the OFFER,
// ACK and NAK replies as records, and the one place that encodes and sends them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Offsets of the fixed BOOTP header.
constexpr size_t QVDHCP_OFF_OP = 0;
constexpr size_t QVDHCP_OFF_HLEN = 2;
constexpr size_t QVDHCP_OFF_XID = 4;
constexpr size_t QVDHCP_OFF_FLAGS = 10;
constexpr size_t QVDHCP_OFF_CIADDR = 12;
constexpr size_t QVDHCP_OFF_YIADDR = 16;
constexpr size_t QVDHCP_OFF_SIADDR = 20;
constexpr size_t QVDHCP_OFF_GIADDR = 24;
constexpr size_t QVDHCP_OFF_CHADDR = 28;
constexpr size_t QVDHCP_OFF_SNAME = 44;
constexpr size_t QVDHCP_OFF_FILE = 108;
constexpr size_t QVDHCP_FILE_SIZE = 128;
constexpr size_t QVDHCP_OFF_COOKIE = 236;
constexpr size_t QVDHCP_OFF_OPTIONS = 240;

constexpr uint16_t QVDHCP_SERVER_PORT = 67;
constexpr uint16_t QVDHCP_CLIENT_PORT = 68;
// More relay hops than this is a loop.
constexpr uint8_t QVDHCP_MAX_HOPS = 16;
// Where PXE clients send the REQUEST that follows a proxyDHCP offer.
constexpr uint16_t QVDHCP_PROXY_PORT = 4011;
// The most clients a proxy remembers at once; a flood of invented MACs cannot grow it further.
constexpr size_t QVDHCP_PROXY_TABLE_MAX = 4096;
constexpr uint32_t QVDHCP_BROADCAST = 0xFFFFFFFFu;
constexpr size_t QVDHCP_BUF_SIZE = 65536;
// The largest reply: every client must accept a 576-byte datagram, less its IP and UDP headers.
constexpr size_t QVDHCP_REPLY_MAX = 576 - 20 - 8;

enum : uint8_t {
    QVDHCP_MSG_DISCOVER = 1,
    QVDHCP_MSG_OFFER = 2,
    QVDHCP_MSG_REQUEST = 3,
    QVDHCP_MSG_DECLINE = 4,
    QVDHCP_MSG_ACK = 5,
    QVDHCP_MSG_NAK = 6,
    QVDHCP_MSG_RELEASE = 7,
    QVDHCP_MSG_INFORM = 8,
};

struct QVDHCP_RfcPara {
    const uint8_t *pstRecvHdr = nullptr;
    size_t uiRecvLen = 0;
    int iSocket = -1;
    uint16_t usLocalPort = QVDHCP_SERVER_PORT;  // the port the datagram came in on
    uint16_t usPeerPort = QVDHCP_CLIENT_PORT;   // the port it came from
    uint8_t ucMsgType = 0;
    uint32_t uiRequestedIP = 0;
    uint32_t uiServerId = 0;
    uint32_t uiIsPXE = 0;
    uint32_t uiIsIPXE = 0;
    uint32_t uiHasEtherboot = 0;
    uint32_t uiIsKivIPXE = 0;
    uint32_t uiVendorPxe = 0;   // option 60 starts "PXEClient"
    uint32_t uiVendorHttp = 0;  // option 60 starts "HTTPClient": UEFI HTTP boot
    uint16_t usArch = 0;
    uint8_t aucGuid[16] = {};

    const uint8_t *Mac() const { return pstRecvHdr + QVDHCP_OFF_CHADDR; }
};

struct QVDHCP_Option {
    uint8_t ucCode = 0;
    std::vector<uint8_t> vecValue;

    bool operator==(const QVDHCP_Option &) const = default;
};

// One reply as a handler decides it. ucType 0 means no reply.
struct QVDHCP_Reply {
    uint8_t ucType = 0;
    uint32_t uiCiaddr = 0;
    uint32_t uiYiaddr = 0;
    uint32_t uiSiaddr = 0;
    std::string strFile;
    std::vector<QVDHCP_Option> vecOptions;
    uint32_t uiDstIp = QVDHCP_BROADCAST;
    uint16_t usDstPort = QVDHCP_CLIENT_PORT;
};

// How a finished reply leaves: the service sends it on its socket; tests capture it.
using QVDHCP_SendFunc = void (*)(int iSocket, const uint8_t *pucData, size_t uiLen,
                                 uint32_t uiDstIp, uint16_t usPort);
// nullptr restores sending on the socket.
void QVDHCP_RFC_SetSendFunc(QVDHCP_SendFunc pfnSend);

// The architecture name of an option 93 value, nullptr from 25 on.
const char *QVDHCP_RFC_ArchName(uint16_t usArch);
uint32_t QVDHCP_RFC_IsEFI(uint16_t usArch);
// A UEFI client: an EFI architecture, or UEFI firmware booting over HTTP.
uint32_t QVDHCP_RFC_IsEfiClient(const QVDHCP_RfcPara *pstPara);
// False (logged) for an HTTP boot client we cannot serve: an architecture we have no loader for
// (only x64 UEFI over IPv4 has one), a loader tree other than iPXE's (GRUB booted over HTTP
// cannot find its server), or a loader URL that does not fit the file field. Unanswered, the
// firmware goes on to its next boot option (PXE).
bool QVDHCP_RFC_HttpBootServable(const QVDHCP_RfcPara *pstPara);

// Fills the summary of one datagram. Every length is checked first: a datagram shorter than the
// header, an hlen above 16, an option running past the end, an option too short for its value or
// a missing message type is logged (DIG) and gives QV_ERR_FAILED.
int QVDHCP_RFC_PreParse(const uint8_t *pstHdr, size_t uiLen, QVDHCP_RfcPara *pstPara);

// Dispatches by message type; the handler fills the reply record, and this sends it.
int QVDHCP_RFC_ProcMsg(QVDHCP_RfcPara *pstPara);
int QVDHCP_RFC_ProcDiscover(QVDHCP_RfcPara *pstPara, QVDHCP_Reply *pstReply);
int QVDHCP_RFC_ProcRequest(QVDHCP_RfcPara *pstPara, QVDHCP_Reply *pstReply);
int QVDHCP_RFC_ProcOfferReq(QVDHCP_RfcPara *pstPara, QVDHCP_Reply *pstReply);
int QVDHCP_RFC_ProcRebootReq(QVDHCP_RfcPara *pstPara, QVDHCP_Reply *pstReply);
int QVDHCP_RFC_ProcT1T2Req(QVDHCP_RfcPara *pstPara, QVDHCP_Reply *pstReply);
// proxyDHCP mode: a boot offer without an address to a PXE DISCOVER, the matching ACK to the
// REQUEST on port 4011, and the address a client takes from the site's server learned from its
// REQUEST there.
int QVDHCP_RFC_ProcProxy(QVDHCP_RfcPara *pstPara, QVDHCP_Reply *pstReply);
// Neither answers: the client expects no reply.
int QVDHCP_RFC_ProcDecline(QVDHCP_RfcPara *pstPara);
int QVDHCP_RFC_ProcRelease(QVDHCP_RfcPara *pstPara);
int QVDHCP_RFC_ProcInform(QVDHCP_RfcPara *pstPara, QVDHCP_Reply *pstReply);
void QVDHCP_RFC_NakReply(const QVDHCP_RfcPara *pstPara, QVDHCP_Reply *pstReply);

// A reply of the given type to the request: copied header fields, next server and boot file.
void QVDHCP_RFC_InitReply(const QVDHCP_RfcPara *pstPara, uint8_t ucType, QVDHCP_Reply *pstReply);
void QVDHCP_RFC_AddByteOpt(QVDHCP_Reply *pstReply, uint8_t ucCode, uint8_t ucValue);
void QVDHCP_RFC_AddIntOpt(QVDHCP_Reply *pstReply, uint8_t ucCode, uint32_t uiValue);
// A value longer than 255 bytes cannot be one option: it is cut and logged.
void QVDHCP_RFC_AddOpt(QVDHCP_Reply *pstReply, uint8_t ucCode, const void *pValue, size_t uiLen);

// Writes the reply to the request into pucOut[0, uiCap): header, cookie, options, END. Returns
// its length, or 0 when it does not fit; nothing is ever written at or past uiCap.
size_t QVDHCP_RFC_Encode(const QVDHCP_RfcPara *pstPara, const QVDHCP_Reply &stReply,
                         uint8_t *pucOut, size_t uiCap);
// Encodes into a reply-sized buffer and sends; a reply that does not fit is logged, not sent.
// With a commit callback an ACK is held until QVDHCP_RFC_SendHeldAcks. Returns 0 when sent or
// held.
int QVDHCP_RFC_SendReply(const QVDHCP_RfcPara *pstPara, const QVDHCP_Reply &stReply);
// The commit callback once, then every ACK held since the last call (service thread only).
void QVDHCP_RFC_SendHeldAcks();
