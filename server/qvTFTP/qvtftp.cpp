#include "qvtftp.h"

#include <arpa/inet.h>
#include <event2/event.h>
#include <event2/thread.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>

#include "qv_handoff.h"
#include "qvtftp_session.h"
#include "qvtftp_util.h"

namespace {

// The multi-port listener reads requests only; anything above 512 bytes is too long anyway, so
// the buffer just has to show that a datagram was longer.
constexpr size_t REQUEST_BUF = 1024;
constexpr size_t SINGLE_PORT_MAX = 65536;

struct Service {
    std::atomic<bool> bRunning{false};
    std::atomic<bool> bStopping{false};
    int iSock = -1;
    // Single-port mode.
    event_base *pstBase = nullptr;
    event *pstReadEv = nullptr;
    event *pstWriteEv = nullptr;
    GAsyncQueue *pstOutQueue = nullptr;
    GThreadPool *pstPool = nullptr;
    std::mutex mtxWrite;    // guards switching the writable event off and on
    bool bWriteOn = false;  // on only while packets wait to go out
    uint8_t aucRecv[SINGLE_PORT_MAX];
};

Service g_stSvc;

uint16_t Opcode(const uint8_t *pucPkt, size_t uiLen)
{
    return uiLen >= 2 ? static_cast<uint16_t>((pucPkt[0] << 8) | pucPkt[1]) : 0;
}

bool IsRequest(uint16_t usOpcode)
{
    return usOpcode == QVTFTP_RFC_OPCODE_RRQ || usOpcode == QVTFTP_RFC_OPCODE_WRQ;
}

bool PoolHasRoom(GThreadPool *pstPool)
{
    return g_thread_pool_get_num_threads(pstPool) + g_thread_pool_unprocessed(pstPool) <
           QVTFTP_CFG_GetConf().usMaxConn;
}

GThreadPool *NewPool(GFunc pfnWorker, GDestroyNotify pfnFreeJob)
{
    GError *pstErr = nullptr;
    GThreadPool *pstPool = g_thread_pool_new_full(pfnWorker, nullptr, pfnFreeJob,
                                                  QVTFTP_CFG_GetConf().usMaxConn, FALSE, &pstErr);
    if (pstPool == nullptr) {
        QVTFTP_UTIL_Log(QVTFTP_DIG, "Failed to create thread pool.");
        g_clear_error(&pstErr);
    }
    return pstPool;
}

void FreeSession(gpointer pvSession)
{
    auto *pstSession = static_cast<QVTFTP_Session *>(pvSession);
    QVTFTP_SESSION_TableRemove(pstSession);
    delete pstSession;
}

// One multi-port transfer on a pool thread.
void MultiPortProc(gpointer pvJob, gpointer /*pvUnused*/)
{
    QV_TakeOver(pvJob);
    std::unique_ptr<QVTFTP_PktSlot, decltype(&QVTFTP_SESSION_FreeSlot)> pstJob(
        static_cast<QVTFTP_PktSlot *>(pvJob), &QVTFTP_SESSION_FreeSlot);
    if (g_stSvc.bStopping) {
        return;
    }
    auto pstSession = std::make_unique<QVTFTP_Session>();
    QVTFTP_SESSION_InitPeer(pstSession.get(), pstJob->uiIp, pstJob->usPort);
    pstSession->pstBase = event_base_new();
    if (pstSession->pstBase == nullptr) {
        QVTFTP_UTIL_Log(QVTFTP_DIG, "Failed to create event base.");
        return;
    }
    if (!QVTFTP_SESSION_TableAdd(pstSession.get())) {
        QVTFTP_UTIL_Log(QVTFTP_LOG, "Client %08x:%u already exist.", pstJob->uiIp, pstJob->usPort);
        return;
    }
    uint16_t usPort = 0;
    if (QVTFTP_SESSION_OpenSocket(pstSession.get(), &usPort)) {
        QVTFTP_RFC_Pkt stPkt;
        const uint32_t uiRet = QVTFTP_RFC_ParsePkt(pstJob->aucData, pstJob->uiLen, &stPkt);
        if (uiRet != 0) {
            QVTFTP_SESSION_SendErr(*pstSession, uiRet == QVTFTP_ERR_MODE
                                                    ? QVTFTP_RFC_ERR_OPTION
                                                    : QVTFTP_RFC_ERR_ILLEGAL_OP);
        } else if (stPkt.usOpcode == QVTFTP_RFC_OPCODE_WRQ) {
            QVTFTP_SESSION_SendErr(*pstSession, QVTFTP_RFC_ERR_ACCESS);
        } else if (QVTFTP_SESSION_ProcRRQPkt(stPkt.stRQ, pstSession.get()) == 0) {
            event *pstEv = event_new(pstSession->pstBase, pstSession->iSock, EV_READ | EV_PERSIST,
                                     QVTFTP_SESSION_ProcReadPkt, pstSession.get());
            pstSession->pstReadEv = pstEv;
            const timeval stWait{pstSession->usTimeout, 0};
            if (pstEv != nullptr && event_add(pstEv, &stWait) == 0 && !g_stSvc.bStopping) {
                event_base_dispatch(pstSession->pstBase);
            }
            if (pstEv != nullptr) {
                event_free(pstEv);
            }
        }
        close(pstSession->iSock);
        QVTFTP_CFG_FreeTID(usPort);
    }
    QVTFTP_SESSION_TableRemove(pstSession.get());
}

void MultiPortLoop()
{
    GThreadPool *pstPool = NewPool(MultiPortProc, QVTFTP_SESSION_FreeSlot);
    if (pstPool == nullptr) {
        close(g_stSvc.iSock);
        return;
    }
    QVTFTP_UTIL_Log(QVTFTP_LOG, "QVTFTP Server %s multi port mode start ...", QVTFTP_VERSION);
    uint8_t aucBuf[REQUEST_BUF];
    for (;;) {
        sockaddr_in stFrom{};
        socklen_t uiFromLen = sizeof(stFrom);
        const ssize_t lLen = recvfrom(g_stSvc.iSock, aucBuf, sizeof(aucBuf), MSG_TRUNC,
                                      reinterpret_cast<sockaddr *>(&stFrom), &uiFromLen);
        if (g_stSvc.bStopping || (lLen < 0 && errno != EINTR)) {
            break;
        }
        if (lLen <= 0) {
            continue;
        }
        const uint32_t uiLen = static_cast<uint32_t>(std::min<size_t>(lLen, sizeof(aucBuf)));
        const uint16_t usOpcode = Opcode(aucBuf, uiLen);
        if (!IsRequest(usOpcode)) {
            QVTFTP_UTIL_Log(QVTFTP_DBG, "Invalid initial tftp opcode %u.", usOpcode);
            continue;
        }
        if (!PoolHasRoom(pstPool)) {
            QVTFTP_UTIL_Log(QVTFTP_DIG, "Current connections exceed max limit.");
            continue;
        }
        QVTFTP_PktSlot *pstSlot = QVTFTP_SESSION_NewSlot(ntohl(stFrom.sin_addr.s_addr),
                                                         ntohs(stFrom.sin_port), aucBuf, uiLen);
        QV_HandOff(pstSlot);
        g_thread_pool_push(pstPool, pstSlot, nullptr);
    }
    close(g_stSvc.iSock);
    QVTFTP_SESSION_TableStopAll();
    g_thread_pool_free(pstPool, TRUE, TRUE);
}

void SinglePortReadProc(evutil_socket_t iSock, short /*sWhat*/, void * /*pvArg*/)
{
    sockaddr_in stFrom{};
    socklen_t uiFromLen = sizeof(stFrom);
    const ssize_t lLen = recvfrom(iSock, g_stSvc.aucRecv, sizeof(g_stSvc.aucRecv), 0,
                                  reinterpret_cast<sockaddr *>(&stFrom), &uiFromLen);
    if (lLen <= 0) {
        return;
    }
    QVTFTP_PktSlot *pstSlot =
        QVTFTP_SESSION_NewSlot(ntohl(stFrom.sin_addr.s_addr), ntohs(stFrom.sin_port),
                               g_stSvc.aucRecv, static_cast<uint32_t>(lLen));
    if (!IsRequest(Opcode(pstSlot->aucData, pstSlot->uiLen))) {
        if (!QVTFTP_SESSION_TablePush(pstSlot)) {
            QVTFTP_SESSION_FreeSlot(pstSlot);
        }
        return;
    }
    if (QVTFTP_SESSION_TableHas(pstSlot->uiIp, pstSlot->usPort) || !PoolHasRoom(g_stSvc.pstPool)) {
        QVTFTP_SESSION_FreeSlot(pstSlot);
        return;
    }
    auto *pstSession = new QVTFTP_Session();
    QVTFTP_SESSION_InitPeer(pstSession, pstSlot->uiIp, pstSlot->usPort);
    pstSession->iSock = iSock;
    pstSession->pstQueue = g_async_queue_new_full(QVTFTP_SESSION_FreeSlot);
    g_async_queue_push(pstSession->pstQueue, pstSlot);
    if (!QVTFTP_SESSION_TableAdd(pstSession)) {
        delete pstSession;
        return;
    }
    g_thread_pool_push(g_stSvc.pstPool, pstSession, nullptr);
}

void SinglePortWriteProc(evutil_socket_t iSock, short /*sWhat*/, void * /*pvArg*/)
{
    auto *pstSlot = static_cast<QVTFTP_PktSlot *>(g_async_queue_try_pop(g_stSvc.pstOutQueue));
    if (pstSlot == nullptr) {
        // Nothing to send: stop watching for writability until the next packet is queued.
        // The queue is checked again under the lock that QVTFTP_SinglePortQueue takes.
        std::lock_guard<std::mutex> lock(g_stSvc.mtxWrite);
        if (g_async_queue_length(g_stSvc.pstOutQueue) <= 0) {
            g_stSvc.bWriteOn = false;
            event_del(g_stSvc.pstWriteEv);
        }
        return;
    }
    sockaddr_in stTo{};
    stTo.sin_family = AF_INET;
    stTo.sin_addr.s_addr = htonl(pstSlot->uiIp);
    stTo.sin_port = htons(pstSlot->usPort);
    if (sendto(iSock, pstSlot->aucData, pstSlot->uiLen, 0, reinterpret_cast<sockaddr *>(&stTo),
               sizeof(stTo)) < 0) {
        QVTFTP_UTIL_Log(QVTFTP_DBG, "Failed to send %u bytes, errno %d.", pstSlot->uiLen, errno);
    }
    QVTFTP_SESSION_FreeSlot(pstSlot);
}

void SinglePortLoop()
{
    g_stSvc.pstPool = NewPool(QVTFTP_SESSION_SinglePortProc, FreeSession);
    if (g_stSvc.pstPool == nullptr) {
        close(g_stSvc.iSock);
        return;
    }
    QVTFTP_UTIL_Log(QVTFTP_LOG, "QVTFTP Server %s single port mode start ...", QVTFTP_VERSION);
    g_stSvc.pstReadEv = event_new(g_stSvc.pstBase, g_stSvc.iSock, EV_READ | EV_PERSIST,
                                  SinglePortReadProc, nullptr);
    g_stSvc.pstWriteEv = event_new(g_stSvc.pstBase, g_stSvc.iSock, EV_WRITE | EV_PERSIST,
                                   SinglePortWriteProc, nullptr);
    if (g_stSvc.pstReadEv == nullptr || g_stSvc.pstWriteEv == nullptr) {
        QVTFTP_UTIL_Log(QVTFTP_DIG, "Failed to create event.");
    } else {
        {
            std::lock_guard<std::mutex> lock(g_stSvc.mtxWrite);
            g_stSvc.bWriteOn = true;
            event_add(g_stSvc.pstWriteEv, nullptr);
        }
        event_add(g_stSvc.pstReadEv, nullptr);
        if (!g_stSvc.bStopping) {
            event_base_dispatch(g_stSvc.pstBase);
        }
    }
    close(g_stSvc.iSock);
    // Running sessions get a stop slot; queued ones start, find it and end at once.
    QVTFTP_SESSION_TableStopAll();
    g_thread_pool_free(g_stSvc.pstPool, FALSE, TRUE);
    g_stSvc.pstPool = nullptr;
    for (event **ppstEv : {&g_stSvc.pstReadEv, &g_stSvc.pstWriteEv}) {
        if (*ppstEv != nullptr) {
            event_free(*ppstEv);
            *ppstEv = nullptr;
        }
    }
}

// The single-port loop and outgoing queue, once no thread uses them.
void FreeSinglePortState()
{
    if (g_stSvc.pstBase != nullptr) {
        event_base_free(g_stSvc.pstBase);
        g_stSvc.pstBase = nullptr;
    }
    if (g_stSvc.pstOutQueue != nullptr) {
        g_async_queue_unref(g_stSvc.pstOutQueue);
        g_stSvc.pstOutQueue = nullptr;
    }
}

gpointer ListenerThread(gpointer /*pvArg*/)
{
    if (QVTFTP_CFG_GetConf().uiSinglePort != 0) {
        SinglePortLoop();
    } else {
        MultiPortLoop();
    }
    return nullptr;
}

}  // namespace

uint32_t QVTFTP_Init()
{
    evthread_use_pthreads();
    QVTFTP_CFG_Init();
    return 0;
}

void QVTFTP_Deinit()
{
    QVTFTP_CFG_Deinit();
}

void QVTFTP_SetLogFunc(const QV_LogSinks &stSinks)
{
    QVTFTP_UTIL_SetSinks(stSinks);
}

void QVTFTP_SinglePortQueue(QVTFTP_PktSlot *pstSlot)
{
    g_async_queue_push(g_stSvc.pstOutQueue, pstSlot);
    std::lock_guard<std::mutex> lock(g_stSvc.mtxWrite);
    if (!g_stSvc.bWriteOn && g_stSvc.pstWriteEv != nullptr) {
        g_stSvc.bWriteOn = true;
        event_add(g_stSvc.pstWriteEv, nullptr);
    }
}

uint32_t QVTFTP_Start(GThread **ppstThread)
{
    QVTFTP_ASSERT(0 != ppstThread);
    if (g_stSvc.bRunning) {
        return QVTFTP_ERR_EXIST;
    }
    const QVTFTP_CFG_Conf &stConf = QVTFTP_CFG_GetConf();
    // The service socket is bound here, so a port in use is reported to the caller.
    const int iSock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (iSock < 0) {
        QVTFTP_UTIL_Log(QVTFTP_DIG, "create socket error");
        return QVTFTP_ERR_FAILED;
    }
    sockaddr_in stAddr{};
    stAddr.sin_family = AF_INET;
    stAddr.sin_addr.s_addr = htonl(stConf.uiServerIp);
    stAddr.sin_port = htons(stConf.usPort);
    if (bind(iSock, reinterpret_cast<sockaddr *>(&stAddr), sizeof(stAddr)) != 0) {
        QVTFTP_UTIL_Log(QVTFTP_DIG, "TFTP port in use, please stop that process.");
        close(iSock);
        return QVTFTP_ERR_PORT_IN_USE;
    }
    QVTFTP_SESSION_TableCreate();
    g_stSvc.bStopping = false;
    g_stSvc.iSock = iSock;
    if (stConf.uiSinglePort != 0) {
        g_stSvc.pstOutQueue = g_async_queue_new_full(QVTFTP_SESSION_FreeSlot);
        g_stSvc.pstBase = event_base_new();
    }
    GError *pstErr = nullptr;
    GThread *pstThread = nullptr;
    if (stConf.uiSinglePort == 0 || g_stSvc.pstBase != nullptr) {
        pstThread = g_thread_try_new("QVTFTP", ListenerThread, nullptr, &pstErr);
    }
    if (pstThread == nullptr) {
        g_clear_error(&pstErr);
        close(iSock);
        g_stSvc.iSock = -1;
        FreeSinglePortState();
        return QVTFTP_ERR_FAILED;
    }
    g_stSvc.bRunning = true;
    *ppstThread = pstThread;
    return 0;
}

uint32_t QVTFTP_Stop(GThread *pstThread)
{
    if (pstThread == nullptr) {
        return QVTFTP_ERR_FAILED;
    }
    QVTFTP_UTIL_Log(QVTFTP_LOG, "QVTFTP service stop start ...");
    g_stSvc.bStopping = true;
    // Shutting the socket down wakes the blocked receive; the listener closes it.
    shutdown(g_stSvc.iSock, SHUT_RDWR);
    if (g_stSvc.pstBase != nullptr) {
        event_base_loopbreak(g_stSvc.pstBase);
    }
    g_thread_join(pstThread);
    g_stSvc.iSock = -1;
    FreeSinglePortState();
    QVTFTP_SESSION_TableDestroy();
    QVTFTP_UTIL_Log(QVTFTP_LOG, "QVTFTP service stop finished ...");
    g_stSvc.bRunning = false;
    return 0;
}
