// DHCP/BOOTP messages: the request summary, the dispatcher and the handlers that build and send
// the OFFER, ACK and NAK replies.
#pragma once

#include <cstddef>
#include <cstdint>

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
constexpr uint32_t QVDHCP_BROADCAST = 0xFFFFFFFFu;
constexpr size_t QVDHCP_BUF_SIZE = 65536;

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
    uint8_t ucMsgType = 0;
    uint32_t uiRequestedIP = 0;
    uint32_t uiServerId = 0;
    uint32_t uiIsPXE = 0;
    uint32_t uiIsIPXE = 0;
    uint32_t uiHasEtherboot = 0;
    uint32_t uiIsKivIPXE = 0;
    uint16_t usArch = 0;
    uint8_t aucGuid[16] = {};

    const uint8_t *Mac() const { return pstRecvHdr + QVDHCP_OFF_CHADDR; }
};

// How a finished reply leaves: the service sends it on its socket; tests capture it.
using QVDHCP_SendFunc = void (*)(int iSocket, const uint8_t *pucData, size_t uiLen,
                                 uint32_t uiDstIp, uint16_t usPort);
// nullptr restores sending on the socket.
void QVDHCP_RFC_SetSendFunc(QVDHCP_SendFunc pfnSend);

// The reply buffer; QVDHCP_Init allocates it.
extern uint8_t *g_pucDHCPSendBuf;

// The architecture name of an option 93 value, nullptr from 25 on.
const char *QVDHCP_RFC_ArchName(uint16_t usArch);
uint32_t QVDHCP_RFC_IsEFI(uint16_t usArch);

// Fills the summary of one datagram. Every length is checked first: a datagram shorter than the
// header, an hlen above 16, an option running past the end, an option too short for its value or
// a missing message type is logged (DIG) and gives QV_ERR_FAILED.
int QVDHCP_RFC_PreParse(const uint8_t *pstHdr, size_t uiLen, QVDHCP_RfcPara *pstPara);

int QVDHCP_RFC_ProcMsg(QVDHCP_RfcPara *pstPara);
int QVDHCP_RFC_ProcDiscover(QVDHCP_RfcPara *pstPara);
int QVDHCP_RFC_ProcRequest(QVDHCP_RfcPara *pstPara);
int QVDHCP_RFC_ProcOfferReq(QVDHCP_RfcPara *pstPara);
int QVDHCP_RFC_ProcRebootReq(QVDHCP_RfcPara *pstPara);
int QVDHCP_RFC_ProcT1T2Req(QVDHCP_RfcPara *pstPara);
int QVDHCP_RFC_ProcDecline(QVDHCP_RfcPara *pstPara);
int QVDHCP_RFC_ProcRelease(QVDHCP_RfcPara *pstPara);
int QVDHCP_RFC_ProcInform(QVDHCP_RfcPara *pstPara);
void QVDHCP_RFC_SendNAK(QVDHCP_RfcPara *pstPara);

// Writes the reply header and cookie into the send buffer; returns the options' offset.
size_t QVDHCP_RFC_InitSendHdr(const QVDHCP_RfcPara *pstPara);
size_t QVDHCP_RFC_AddByteOpt(uint8_t ucCode, uint8_t ucValue, size_t uiPos);
size_t QVDHCP_RFC_AddIntOpt(uint8_t ucCode, uint32_t uiValue, size_t uiPos);
