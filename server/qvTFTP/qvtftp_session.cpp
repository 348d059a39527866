#include "qvtftp_session.h"

#include <arpa/inet.h>
#include <event2/event.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "qvtftp_config.h"
#include "qvtftp_util.h"

namespace {

using ClientKey = std::pair<uint32_t, uint16_t>;

std::mutex g_mtxTable;
std::map<ClientKey, QVTFTP_Session *> g_mapClients;
QVTFTP_EventFunc g_pfnEvent = nullptr;

// Bind attempts per transfer: ports of the range taken by other programs are skipped.
constexpr unsigned BIND_TRIES = 64;

sockaddr_in MakeAddr(uint32_t uiIp, uint16_t usPort)
{
    sockaddr_in stAddr{};
    stAddr.sin_family = AF_INET;
    stAddr.sin_addr.s_addr = htonl(uiIp);
    stAddr.sin_port = htons(usPort);
    return stAddr;
}

uint32_t SendRaw(int iSock, uint32_t uiIp, uint16_t usPort, const uint8_t *pucPkt, uint32_t uiLen)
{
    if (QVTFTP_CFG_GetConf().uiSinglePort != 0) {
        QVTFTP_SinglePortQueue(QVTFTP_SESSION_NewSlot(uiIp, usPort, pucPkt, uiLen));
        return 0;
    }
    // The per-transfer socket is connected to the client.
    if (send(iSock, pucPkt, uiLen, 0) != static_cast<ssize_t>(uiLen)) {
        QVTFTP_UTIL_Log(QVTFTP_DBG, "Failed to send %u bytes, errno %d.", uiLen, errno);
        return QVTFTP_ERR_FAILED;
    }
    return 0;
}

// Reads block ullBlk (counted from 1) to offset 4 of the buffer, never past the file's end.
bool ReadBlock(QVTFTP_Session *pstSession, uint64_t ullBlk, uint32_t *puiCount)
{
    const uint64_t ullOffset = (ullBlk - 1) * pstSession->usBlkSize;
    const uint32_t uiCount = static_cast<uint32_t>(
        std::min<uint64_t>(pstSession->usBlkSize, pstSession->ullFileSize - ullOffset));
    const uint64_t ullPos = pstSession->ullFileBase + ullOffset;
    uint32_t uiDone = 0;
    while (uiDone < uiCount) {
        const ssize_t lRead = pread(pstSession->iFileFd, pstSession->vecBuf.data() + 4 + uiDone,
                                    uiCount - uiDone, static_cast<off_t>(ullPos + uiDone));
        if (lRead < 0 && errno == EINTR) {
            continue;
        }
        if (lRead <= 0) {
            QVTFTP_UTIL_Log(QVTFTP_DIG, "Failed to read file %s at %llu.",
                            pstSession->stRQ.szFileName,
                            static_cast<unsigned long long>(ullPos + uiDone));
            return false;
        }
        uiDone += static_cast<uint32_t>(lRead);
    }
    *puiCount = uiCount;
    return true;
}

// The wait for an ACK starts again with each send.
void ArmWait(QVTFTP_Session *pstSession)
{
    pstSession->llDeadline =
        g_get_monotonic_time() + static_cast<gint64>(pstSession->usTimeout) * G_USEC_PER_SEC;
}

// Sends blocks ullFirst..ullLast; a block that cannot be read ends the transfer with an error
// packet.
bool SendBlocks(QVTFTP_Session *pstSession, uint64_t ullFirst, uint64_t ullLast)
{
    for (uint64_t ullBlk = ullFirst; ullBlk <= ullLast; ++ullBlk) {
        uint32_t uiCount = 0;
        if (!ReadBlock(pstSession, ullBlk, &uiCount)) {
            QVTFTP_SESSION_SendErr(*pstSession, QVTFTP_RFC_ERR_UNDEF);
            return false;
        }
        if (ullBlk > pstSession->ullSentBlk) {
            pstSession->ullSentBlk = ullBlk;
            pstSession->ullRemaining -= uiCount;
        }
        QVTFTP_SESSION_SendDataPkt(pstSession->iSock, pstSession->uiClientIp,
                                   pstSession->usClientPort, static_cast<uint16_t>(ullBlk), uiCount,
                                   pstSession->vecBuf.data());
    }
    return true;
}

// Sends the window that follows the last acknowledged block.
bool SendWindow(QVTFTP_Session *pstSession)
{
    pstSession->usSends = 1;
    pstSession->bOackPending = false;
    ArmWait(pstSession);
    const uint64_t ullLast = pstSession->ullAcked + pstSession->usWindow;
    return SendBlocks(pstSession, pstSession->ullAcked + 1,
                      std::min(ullLast, pstSession->ullLastBlk));
}

bool Resend(QVTFTP_Session *pstSession)
{
    ArmWait(pstSession);
    if (!pstSession->bOackPending) {
        QVTFTP_UTIL_Log(QVTFTP_LOG, "Retransmit pkt blk %u to %s",
                        static_cast<uint16_t>(pstSession->ullAcked + 1), pstSession->szPeer);
        return SendBlocks(pstSession, pstSession->ullAcked + 1, pstSession->ullSentBlk);
    }
    if (!pstSession->vecOack.empty()) {
        QVTFTP_UTIL_Log(QVTFTP_LOG, "Retransmit oack pkt to %s", pstSession->szPeer);
        SendRaw(pstSession->iSock, pstSession->uiClientIp, pstSession->usClientPort,
                pstSession->vecOack.data(), static_cast<uint32_t>(pstSession->vecOack.size()));
    } else {
        QVTFTP_UTIL_Log(QVTFTP_LOG, "NO oack pkt %s", pstSession->szPeer);
    }
    return true;
}

void EndLoop(QVTFTP_Session *pstSession)
{
    if (pstSession->pstBase != nullptr) {
        event_base_loopbreak(pstSession->pstBase);
    }
}

// The client refuses the negotiated options (code 8), or declines after asking only for the
// size as PXE firmware does (code 0).
bool IsOptionRefusal(const QVTFTP_RFC_Pkt &stPkt)
{
    return stPkt.usOpcode == QVTFTP_RFC_OPCODE_ERROR &&
           (stPkt.stErr.usCode == QVTFTP_RFC_ERR_OPTION ||
            stPkt.stErr.usCode == QVTFTP_RFC_ERR_UNDEF);
}

// PXE firmware asks for the size with options and then declines them: not a failed transfer.
// The end still comes (every start has one) with its own result, so consumers tell it apart.
void RaiseRefusalEnd(QVTFTP_Session *pstSession)
{
    QVTFTP_SESSION_RaiseEvent(pstSession, QVTFTP_EVENT_END, QVTFTP_ERR_UNSUPPORTED_OPT);
}

}  // namespace

QVTFTP_Session::~QVTFTP_Session()
{
    // Whatever way the transfer ended (refusal, error, stop), a started one reports its end.
    if (bStarted && !bEnded) {
        QVTFTP_SESSION_RaiseEvent(this, QVTFTP_EVENT_END, QVTFTP_ERR_FAILED);
    }
    if (iFileFd >= 0) {
        close(iFileFd);
    }
    if (pstQueue != nullptr) {
        g_async_queue_unref(pstQueue);
    }
    if (pstBase != nullptr) {
        event_base_free(pstBase);
    }
}

QVTFTP_PktSlot *QVTFTP_SESSION_NewSlot(uint32_t uiIp, uint16_t usPort, const uint8_t *pucData,
                                       uint32_t uiLen)
{
    auto *pstSlot = static_cast<QVTFTP_PktSlot *>(g_malloc(sizeof(QVTFTP_PktSlot) + uiLen));
    pstSlot->uiIp = uiIp;
    pstSlot->usPort = usPort;
    pstSlot->uiLen = uiLen;
    if (uiLen != 0) {
        memcpy(pstSlot->aucData, pucData, uiLen);
    }
    return pstSlot;
}

void QVTFTP_SESSION_FreeSlot(gpointer pvSlot)
{
    g_free(pvSlot);
}

void QVTFTP_SetEventFunc(QVTFTP_EventFunc pfnEvent)
{
    g_pfnEvent = pfnEvent;
}

void QVTFTP_SESSION_InitPeer(QVTFTP_Session *pstSession, uint32_t uiIp, uint16_t usPort)
{
    pstSession->uiClientIp = uiIp;
    pstSession->usClientPort = usPort;
    g_snprintf(pstSession->szPeer, sizeof(pstSession->szPeer), "%u.%u.%u.%u:%u", uiIp >> 24,
               (uiIp >> 16) & 0xFF, (uiIp >> 8) & 0xFF, uiIp & 0xFF, usPort);
}

void QVTFTP_SESSION_TableCreate()
{
    std::lock_guard<std::mutex> lock(g_mtxTable);
    g_mapClients.clear();
}

void QVTFTP_SESSION_TableDestroy()
{
    std::lock_guard<std::mutex> lock(g_mtxTable);
    g_mapClients.clear();
}

bool QVTFTP_SESSION_TableAdd(QVTFTP_Session *pstSession)
{
    std::lock_guard<std::mutex> lock(g_mtxTable);
    return g_mapClients
        .emplace(ClientKey{pstSession->uiClientIp, pstSession->usClientPort}, pstSession)
        .second;
}

void QVTFTP_SESSION_TableRemove(const QVTFTP_Session *pstSession)
{
    std::lock_guard<std::mutex> lock(g_mtxTable);
    const auto it = g_mapClients.find(ClientKey{pstSession->uiClientIp, pstSession->usClientPort});
    if (it != g_mapClients.end() && it->second == pstSession) {
        g_mapClients.erase(it);
    }
}

bool QVTFTP_SESSION_TableHas(uint32_t uiIp, uint16_t usPort)
{
    std::lock_guard<std::mutex> lock(g_mtxTable);
    return g_mapClients.count(ClientKey{uiIp, usPort}) != 0;
}

bool QVTFTP_SESSION_TablePush(QVTFTP_PktSlot *pstSlot)
{
    std::lock_guard<std::mutex> lock(g_mtxTable);
    const auto it = g_mapClients.find(ClientKey{pstSlot->uiIp, pstSlot->usPort});
    if (it == g_mapClients.end() || it->second->pstQueue == nullptr) {
        return false;
    }
    g_async_queue_push(it->second->pstQueue, pstSlot);
    return true;
}

void QVTFTP_SESSION_TableStopAll()
{
    std::lock_guard<std::mutex> lock(g_mtxTable);
    for (auto &[stKey, pstSession] : g_mapClients) {
        EndLoop(pstSession);
        if (pstSession->pstQueue != nullptr) {
            g_async_queue_push(pstSession->pstQueue,
                               QVTFTP_SESSION_NewSlot(stKey.first, stKey.second, nullptr, 0));
        }
    }
}

uint32_t QVTFTP_SESSION_SendCtrlPkt(int iSock, uint32_t uiIp, uint16_t usPort, uint16_t usOpcode,
                                    const QVTFTP_RFC_Pkt &stPkt)
{
    uint8_t aucPkt[QVTFTP_RFC_MAX_RQ_LEN + 4];
    uint32_t uiLen = 0;
    QVTFTP_RFC_FillPkt(usOpcode, stPkt, aucPkt, sizeof(aucPkt), &uiLen);
    return SendRaw(iSock, uiIp, usPort, aucPkt, uiLen);
}

uint32_t QVTFTP_SESSION_SendDataPkt(int iSock, uint32_t uiIp, uint16_t usPort, uint16_t usBlock,
                                    uint32_t uiLen, uint8_t *pucBuf)
{
    QVTFTP_RFC_DataInfo stData;
    stData.usBlock = usBlock;
    stData.uiDataLen = uiLen;
    stData.pucData = pucBuf + 4;
    uint32_t uiPktLen = 0;
    QVTFTP_RFC_FillDataPkt(stData, pucBuf, uiLen + 4, &uiPktLen);
    return SendRaw(iSock, uiIp, usPort, pucBuf, uiPktLen);
}

void QVTFTP_SESSION_SendErr(const QVTFTP_Session &stSession, uint16_t usCode)
{
    QVTFTP_RFC_Pkt stPkt;
    stPkt.stErr.usCode = usCode;
    g_strlcpy(stPkt.stErr.szMsg, QVTFTP_RFC_GetErrMsg(usCode), sizeof(stPkt.stErr.szMsg));
    QVTFTP_SESSION_SendCtrlPkt(stSession.iSock, stSession.uiClientIp, stSession.usClientPort,
                               QVTFTP_RFC_OPCODE_ERROR, stPkt);
}

void QVTFTP_SESSION_RaiseEvent(QVTFTP_Session *pstSession, uint32_t uiEvent, uint32_t uiResult)
{
    if (uiEvent == QVTFTP_EVENT_END) {
        if (pstSession->bEnded) {
            return;
        }
        pstSession->bEnded = true;
    }
    pstSession->bStarted = pstSession->bStarted || uiEvent == QVTFTP_EVENT_START;
    const QVTFTP_EventFunc pfnEvent = g_pfnEvent;
    if (pfnEvent == nullptr) {
        return;
    }
    QVTFTP_TransferEvent stEvent{};
    stEvent.uiClientIp = pstSession->uiClientIp;
    stEvent.usClientPort = pstSession->usClientPort;
    g_strlcpy(stEvent.szFileName, pstSession->stRQ.szFileName, sizeof(stEvent.szFileName));
    stEvent.ullFileSize = pstSession->ullFileSize;
    stEvent.ullSent = pstSession->ullFileSize - pstSession->ullRemaining;
    stEvent.uiResult = uiResult;
    stEvent.uiDirection = pstSession->uiDirection;
    memcpy(stEvent.aucConsumer, pstSession->aucConsumer, sizeof(stEvent.aucConsumer));
    pfnEvent(uiEvent, &stEvent);
    memcpy(pstSession->aucConsumer, stEvent.aucConsumer, sizeof(stEvent.aucConsumer));
}

uint32_t QVTFTP_SESSION_ProcRRQPkt(const QVTFTP_RFC_RQInfo &stRQ, QVTFTP_Session *pstSession)
{
    pstSession->stRQ = stRQ;
    uint16_t usCode = 0;
    if (QVTFTP_CFG_OpenReqFile(stRQ.szFileName, pstSession, &usCode) != 0) {
        QVTFTP_SESSION_SendErr(*pstSession, usCode);
        QVTFTP_SESSION_RaiseEvent(pstSession, QVTFTP_EVENT_REQ_FAILED, QVTFTP_ERR_OPEN);
        return QVTFTP_ERR_FAILED;
    }
    const QVTFTP_CFG_Conf &stConf = QVTFTP_CFG_GetConf();
    pstSession->ullRemaining = pstSession->ullFileSize;
    pstSession->uiDirection = 1;
    pstSession->usTimeout = stConf.usTimeout;
    pstSession->usBlkSize = stConf.usBlkSize;
    const bool bOack = QVTFTP_RFC_HasOption(stRQ.stOpt);
    QVTFTP_RFC_Pkt stOack;
    if (bOack) {
        if (stRQ.stOpt.usTimeout != 0) {
            pstSession->usTimeout = stRQ.stOpt.usTimeout;
        }
        if (stRQ.stOpt.usBlkSize != 0) {
            pstSession->usBlkSize = stRQ.stOpt.usBlkSize;
        }
        if (stRQ.stOpt.usWindowSize != 0) {
            pstSession->usWindow = stRQ.stOpt.usWindowSize;
        }
        stOack.stOack.usTimeout = stRQ.stOpt.usTimeout;
        stOack.stOack.usBlkSize = stRQ.stOpt.usBlkSize;
        stOack.stOack.usWindowSize = stRQ.stOpt.usWindowSize;
        stOack.stOack.llTsize =
            stRQ.stOpt.llTsize >= 0 ? static_cast<int64_t>(pstSession->ullFileSize) : -1;
    }
    pstSession->ullLastBlk = pstSession->ullFileSize / pstSession->usBlkSize + 1;
    pstSession->vecBuf.assign(std::max<size_t>(pstSession->usBlkSize + 10u, 1024u), 0);
    QVTFTP_SESSION_RaiseEvent(pstSession, QVTFTP_EVENT_START, 0);
    QVTFTP_UTIL_Log(QVTFTP_LOG,
                    "Start send file %s to %s with blksize %u, windowsize %u, has oack %u",
                    stRQ.szFileName, pstSession->szPeer, pstSession->usBlkSize,
                    pstSession->usWindow, bOack ? 1u : 0u);
    if (!bOack) {
        if (!SendWindow(pstSession)) {
            QVTFTP_SESSION_RaiseEvent(pstSession, QVTFTP_EVENT_END, QVTFTP_ERR_FAILED);
            return QVTFTP_ERR_FAILED;
        }
        return 0;
    }
    pstSession->usSends = 1;
    pstSession->bOackPending = true;
    ArmWait(pstSession);
    uint8_t aucPkt[QVTFTP_RFC_MAX_RQ_LEN + 4];
    uint32_t uiLen = 0;
    QVTFTP_RFC_FillOackPkt(stOack.stOack, aucPkt, sizeof(aucPkt), &uiLen);
    pstSession->vecOack.assign(aucPkt, aucPkt + uiLen);
    SendRaw(pstSession->iSock, pstSession->uiClientIp, pstSession->usClientPort, aucPkt, uiLen);
    return 0;
}

QVTFTP_Step QVTFTP_SESSION_Ack(QVTFTP_Session *pstSession, uint16_t usBlock)
{
    if (pstSession->bOackPending) {
        if (usBlock != 0) {
            return QVTFTP_Step::CONTINUE;
        }
    } else {
        // Distance from the last acknowledged block on the wire; the window is far smaller than
        // the block-number space, so a wrapped number is still told apart.
        const uint16_t usAhead = static_cast<uint16_t>(usBlock - pstSession->ullAcked);
        if (usAhead == 0 || usAhead > pstSession->ullSentBlk - pstSession->ullAcked) {
            return QVTFTP_Step::CONTINUE;
        }
        pstSession->ullAcked += usAhead;
    }
    if (pstSession->ullAcked == pstSession->ullLastBlk) {
        QVTFTP_UTIL_Log(QVTFTP_LOG, "Finised send file to %s with blksize %u blks %u",
                        pstSession->szPeer, pstSession->usBlkSize,
                        static_cast<uint16_t>(pstSession->ullAcked));
        QVTFTP_SESSION_RaiseEvent(pstSession, QVTFTP_EVENT_END, 0);
        return QVTFTP_Step::DONE;
    }
    if (!SendWindow(pstSession)) {
        QVTFTP_SESSION_RaiseEvent(pstSession, QVTFTP_EVENT_END, QVTFTP_ERR_FAILED);
        return QVTFTP_Step::DONE;
    }
    QVTFTP_SESSION_RaiseEvent(pstSession, QVTFTP_EVENT_PROGRESS, 0);
    return QVTFTP_Step::CONTINUE;
}

QVTFTP_Step QVTFTP_SESSION_Timeout(QVTFTP_Session *pstSession)
{
    if (pstSession->usSends < QVTFTP_CFG_GetConf().usMaxSends) {
        pstSession->usSends++;
        if (Resend(pstSession)) {
            return QVTFTP_Step::CONTINUE;
        }
        QVTFTP_SESSION_RaiseEvent(pstSession, QVTFTP_EVENT_END, QVTFTP_ERR_FAILED);
        return QVTFTP_Step::DONE;
    }
    QVTFTP_UTIL_Log(QVTFTP_DIG, "Wait for ack of blk %u timeout from %s",
                    static_cast<uint16_t>(pstSession->ullAcked + 1), pstSession->szPeer);
    QVTFTP_SESSION_RaiseEvent(pstSession, QVTFTP_EVENT_END, QVTFTP_ERR_TIMEOUT);
    return QVTFTP_Step::DONE;
}

bool QVTFTP_SESSION_OpenSocket(QVTFTP_Session *pstSession, uint16_t *pusPort)
{
    const QVTFTP_CFG_Conf &stConf = QVTFTP_CFG_GetConf();
    *pusPort = 0;
    const int iSock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (iSock < 0) {
        QVTFTP_UTIL_Log(QVTFTP_DIG, "create socket error");
        QVTFTP_UTIL_Log(QVTFTP_DIG, "Failed to open socket.");
        return false;
    }
    // Ports of the range that another program holds are kept marked until this transfer has its
    // own, so the next try gets a different one; then they are released for later transfers.
    std::vector<uint16_t> vecBusy;
    uint16_t usPort = 0;
    for (unsigned uiTry = 0; uiTry < BIND_TRIES && usPort == 0; ++uiTry) {
        const uint16_t usTry = QVTFTP_CFG_AllocTID();
        if (usTry == 0) {
            QVTFTP_UTIL_Log(QVTFTP_DIG, "No free udp port.");
            break;
        }
        const sockaddr_in stLocal = MakeAddr(stConf.uiServerIp, usTry);
        if (bind(iSock, reinterpret_cast<const sockaddr *>(&stLocal), sizeof(stLocal)) == 0) {
            usPort = usTry;
        } else {
            QVTFTP_UTIL_Log(QVTFTP_DIG, "Failed to bind socket on port %u.", usTry);
            vecBusy.push_back(usTry);
        }
    }
    for (const uint16_t usBusy : vecBusy) {
        QVTFTP_CFG_FreeTID(usBusy);
    }
    const sockaddr_in stPeer = MakeAddr(pstSession->uiClientIp, pstSession->usClientPort);
    if (usPort != 0 &&
        connect(iSock, reinterpret_cast<const sockaddr *>(&stPeer), sizeof(stPeer)) != 0) {
        QVTFTP_UTIL_Log(QVTFTP_DIG, "Failed to connect to client.");
        QVTFTP_CFG_FreeTID(usPort);
        usPort = 0;
    }
    if (usPort == 0) {
        close(iSock);
        QVTFTP_UTIL_Log(QVTFTP_DIG, "Failed to open socket.");
        return false;
    }
    pstSession->iSock = iSock;
    *pusPort = usPort;
    return true;
}

gint64 QVTFTP_SESSION_WaitLeft(const QVTFTP_Session *pstSession)
{
    return std::max<gint64>(0, pstSession->llDeadline - g_get_monotonic_time());
}

QVTFTP_Step QVTFTP_SESSION_OnPacket(QVTFTP_Session *pstSession, const uint8_t *pucData,
                                    ssize_t lLen)
{
    QVTFTP_RFC_Pkt stPkt;
    const uint32_t uiRet = lLen >= 0
                               ? QVTFTP_RFC_ParsePkt(pucData, static_cast<uint32_t>(lLen), &stPkt)
                               : QVTFTP_ERR_FAILED;
    if (lLen >= 2 && stPkt.usOpcode == QVTFTP_RFC_OPCODE_ACK) {
        if (uiRet == 0) {
            return QVTFTP_SESSION_Ack(pstSession, stPkt.stAck.usBlock);
        }
        QVTFTP_UTIL_Log(QVTFTP_DIG, "Failed to parse pkt");
    } else if (lLen >= 2 && uiRet == 0 && IsOptionRefusal(stPkt)) {
        QVTFTP_UTIL_Log(QVTFTP_DIG, "client send error for option negoation.");
        RaiseRefusalEnd(pstSession);
        return QVTFTP_Step::DONE;
    } else {
        QVTFTP_UTIL_Log(QVTFTP_DIG, "Failed to recv ACK pkt, sock %d, %d %u.", pstSession->iSock,
                        static_cast<int>(lLen), lLen >= 2 ? stPkt.usOpcode : 0u);
    }
    QVTFTP_SESSION_SendErr(*pstSession, QVTFTP_RFC_ERR_ILLEGAL_OP);
    QVTFTP_SESSION_RaiseEvent(pstSession, QVTFTP_EVENT_END, QVTFTP_ERR_FAILED);
    return QVTFTP_Step::DONE;
}

void QVTFTP_SESSION_ProcReadPkt(int iSock, short sWhat, void *pvSession)
{
    auto *pstSession = static_cast<QVTFTP_Session *>(pvSession);
    QVTFTP_Step eStep = QVTFTP_Step::CONTINUE;
    if ((sWhat & EV_TIMEOUT) != 0) {
        if (QVTFTP_SESSION_WaitLeft(pstSession) == 0) {
            eStep = QVTFTP_SESSION_Timeout(pstSession);
        }
    } else {
        // A separate buffer: blocks are built in the session buffer.
        uint8_t aucPkt[1024];
        const ssize_t lLen = recv(iSock, aucPkt, sizeof(aucPkt), 0);
        eStep = QVTFTP_SESSION_OnPacket(pstSession, aucPkt, lLen);
    }
    if (eStep == QVTFTP_Step::DONE) {
        EndLoop(pstSession);
        return;
    }
    // The loop would start the whole time-out again after every packet: wait only what is left.
    const gint64 llLeft = QVTFTP_SESSION_WaitLeft(pstSession);
    const timeval stLeft{static_cast<time_t>(llLeft / G_USEC_PER_SEC),
                         static_cast<suseconds_t>(llLeft % G_USEC_PER_SEC)};
    event_add(pstSession->pstReadEv, &stLeft);
}

void QVTFTP_SESSION_SPortReadLoop(QVTFTP_Session *pstSession)
{
    for (QVTFTP_Step eStep = QVTFTP_Step::CONTINUE; eStep == QVTFTP_Step::CONTINUE;) {
        const auto ullWait = static_cast<guint64>(QVTFTP_SESSION_WaitLeft(pstSession));
        std::unique_ptr<QVTFTP_PktSlot, decltype(&QVTFTP_SESSION_FreeSlot)> pstSlot(
            static_cast<QVTFTP_PktSlot *>(g_async_queue_timeout_pop(pstSession->pstQueue, ullWait)),
            &QVTFTP_SESSION_FreeSlot);
        if (!pstSlot) {
            eStep = QVTFTP_SESSION_Timeout(pstSession);
        } else if (pstSlot->uiLen == 0) {  // the service stops
            QVTFTP_SESSION_RaiseEvent(pstSession, QVTFTP_EVENT_END, QVTFTP_ERR_FAILED);
            eStep = QVTFTP_Step::DONE;
        } else {
            eStep = QVTFTP_SESSION_OnPacket(pstSession, pstSlot->aucData, pstSlot->uiLen);
        }
    }
}

void QVTFTP_SESSION_SinglePortProc(gpointer pvSession, gpointer /*pvUnused*/)
{
    std::unique_ptr<QVTFTP_Session> pstSession(static_cast<QVTFTP_Session *>(pvSession));
    std::unique_ptr<QVTFTP_PktSlot, decltype(&QVTFTP_SESSION_FreeSlot)> pstSlot(
        static_cast<QVTFTP_PktSlot *>(g_async_queue_pop(pstSession->pstQueue)),
        &QVTFTP_SESSION_FreeSlot);
    QVTFTP_RFC_Pkt stPkt;
    const uint32_t uiRet = pstSlot->uiLen == 0
                               ? QVTFTP_ERR_FAILED
                               : QVTFTP_RFC_ParsePkt(pstSlot->aucData, pstSlot->uiLen, &stPkt);
    if (pstSlot->uiLen == 0) {
        // The service stopped before this session began.
    } else if (uiRet != 0) {
        QVTFTP_SESSION_SendErr(*pstSession, uiRet == QVTFTP_ERR_MODE ? QVTFTP_RFC_ERR_OPTION
                                                                     : QVTFTP_RFC_ERR_ILLEGAL_OP);
    } else if (stPkt.usOpcode == QVTFTP_RFC_OPCODE_RRQ) {
        if (QVTFTP_SESSION_ProcRRQPkt(stPkt.stRQ, pstSession.get()) == 0) {
            QVTFTP_SESSION_SPortReadLoop(pstSession.get());
        }
    } else {
        QVTFTP_SESSION_SendErr(*pstSession, QVTFTP_RFC_ERR_ACCESS);
    }
    QVTFTP_SESSION_TableRemove(pstSession.get());
}
