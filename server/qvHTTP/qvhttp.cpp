#include "qvhttp.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <mutex>
#include <map>
#include <string>

#include <event2/event.h>
#include <event2/thread.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "qv_handoff.h"
#include "qvhttp_doc.h"

namespace {

constexpr size_t HEAD_BUF_SIZE = 4096;  // a head may use 4095 bytes
// A head must be complete this long after its first byte, however slowly it trickles in.
constexpr gint64 HEAD_DEADLINE_US = 10 * G_USEC_PER_SEC;

struct QVHTTP_Job {
    int iSock;
    uint32_t uiClientIp;
    uint16_t usClientPort;
};

struct QVHTTP_ConnPara {
    int iSock = -1;
    uint32_t uiClientIp = 0;
    uint16_t usClientPort = 0;
    uint32_t uiKeepAlive = 1;
    event_base *pstBase = nullptr;
    event *pstRead = nullptr;
    event *pstTimer = nullptr;
    gint64 llDeadline = 0;  // monotonic time the connection ends unless a head completes
    size_t uiHeadLen = 0;
    char acHead[HEAD_BUF_SIZE] = {};
};

// What the listener knows of each open connection, to pick one to close at the limit.
struct ConnState {
    gint64 llIdleSince = 0;  // accepted, or its last reply finished; head bytes do not count
    bool bBusy = false;      // a request is being answered
    bool bEvicted = false;   // shut down to admit a newer connection
};

int g_iListenSock = -1;
bool g_bRunning = false;

// Open connection sockets, from accept until their thread closes them. The stop shuts every
// one down, and a connection that starts after the stop closes at once.
std::mutex g_mtxConns;
std::map<int, ConnState> g_mapConns;
uint32_t g_uiLiveConns = 0;  // entries not evicted
bool g_bStopping = false;

void EndConnection(QVHTTP_ConnPara &stConn)
{
    event_base_loopbreak(stConn.pstBase);
}

void ArmTimer(QVHTTP_ConnPara &stConn, gint64 llDeadline)
{
    stConn.llDeadline = llDeadline;
    gint64 llLeft = std::max<gint64>(llDeadline - g_get_monotonic_time(), 0);
    timeval stWait = {static_cast<time_t>(llLeft / G_USEC_PER_SEC),
                      static_cast<suseconds_t>(llLeft % G_USEC_PER_SEC)};
    evtimer_add(stConn.pstTimer, &stWait);
}

void ArmIdleTimer(QVHTTP_ConnPara &stConn)
{
    ArmTimer(stConn, g_get_monotonic_time() + gint64(g_stQvHttpCfg.uiIdleSec) * G_USEC_PER_SEC);
}

// The first byte of a head shortens the wait to the head deadline; later bytes change nothing.
void StartHead(QVHTTP_ConnPara &stConn)
{
    gint64 llHeadEnd = g_get_monotonic_time() + HEAD_DEADLINE_US;
    if (llHeadEnd < stConn.llDeadline) {
        ArmTimer(stConn, llHeadEnd);
    }
}

// Marks the connection busy (true) or idle again; false when it was already evicted.
bool SetBusy(int iSock, bool bBusy)
{
    std::lock_guard<std::mutex> lock(g_mtxConns);
    auto it = g_mapConns.find(iSock);
    if (it == g_mapConns.end() || it->second.bEvicted) {
        return false;
    }
    it->second.bBusy = bBusy;
    if (!bBusy) {
        it->second.llIdleSince = g_get_monotonic_time();
    }
    return true;
}

void SendError(int iSock, uint32_t uiStatus, uint32_t uiKeepAlive)
{
    QVHTTP_ReplyHdr stHdr;
    stHdr.uiStatus = uiStatus;
    stHdr.uiKeepAlive = uiKeepAlive;
    g_strlcpy(stHdr.szReason, uiStatus == 405 ? "Method Not Allowed" : "DOCUMENT NOT FOUND",
              sizeof(stHdr.szReason));
    QVHTTP_UTIL_SendReplyErr(iSock, stHdr);
}

void QVHTTP_ProcRequest(QVHTTP_ConnPara &stConn, const QVHTTP_Request &stReq)
{
    const char *pcURI = stReq.strPath.c_str();
    QVHTTP_RequestEvent stEvent = {};
    stEvent.uiClientIp = stConn.uiClientIp;
    stEvent.uiClientPort = stConn.usClientPort;
    g_strlcpy(stEvent.szURI, pcURI, sizeof(stEvent.szURI));
    g_strlcpy(stEvent.szRequest, stReq.strLine.c_str(), sizeof(stEvent.szRequest));

    QVHTTP_OpenResult stResult;
    uint32_t uiRet = QVHTTP_CFG_OpenReqURI(stReq, stResult);
    if (uiRet == 0 &&
        !QVHTTP_AccessAllowed(stConn.uiClientIp, stResult.szPath, stResult.uiIsDir != 0)) {
        uiRet = QVHTTP_ERR_NOT_FOUND;
    }
    if (uiRet != 0) {
        uint32_t uiStatus = uiRet == QVHTTP_ERR_NOT_FOUND ? 404 : 405;
        QVHTTP_Log(QVHTTP_DIG, "%u %s <<", uiStatus, pcURI);
        SendError(stConn.iSock, uiStatus, stConn.uiKeepAlive);
        stEvent.uiCode = QVHTTP_EVT_END;
        stEvent.uiStatus = uiStatus;
        QVHTTP_RaiseEvent(stEvent);
        return;
    }
    QVHTTP_Log(QVHTTP_DBG, "HTTP request url: %s", pcURI);
    bool bReport = QVHTTP_IsReportURI(pcURI) != 0;
    if (!bReport) {
        stEvent.uiCode = QVHTTP_EVT_START;
        QVHTTP_RaiseEvent(stEvent);
    }
    if (stResult.uiIsDir) {
        uiRet = QVHTTP_DOC_ListDir(pcURI, stConn.uiKeepAlive, stResult, stConn.iSock);
    } else if (stReq.bHead) {
        QVHTTP_Log(QVHTTP_DBG, "200 HEAD %s size %llu", pcURI,
                   static_cast<unsigned long long>(stResult.ullSize));
        uiRet = QVHTTP_DOC_SendFileHead(stConn.uiKeepAlive, stResult, stConn.iSock);
    } else {
        // A virtual ISO has already taken its range; other files read it against their size.
        if (stResult.llRangeStart == QVHTTP_RANGE_ABSENT) {
            QVHTTP_UTIL_RangeFor(stReq, stResult.ullSize, &stResult.llRangeStart,
                                 &stResult.llRangeEnd);
        }
        bool bRange = stResult.llRangeStart != QVHTTP_RANGE_ABSENT;
        if (bRange) {
            g_snprintf(stEvent.szURI, sizeof(stEvent.szURI), "%s [%lld-%lld]", pcURI,
                       static_cast<long long>(stResult.llRangeStart),
                       static_cast<long long>(stResult.llRangeEnd));
        }
        uiRet = QVHTTP_DOC_SendFile(stConn.uiKeepAlive, stResult, stConn.iSock,
                                    bReport ? nullptr : &stEvent);
        if (bRange) {
            QVHTTP_Log(QVHTTP_DBG, "200 %d %s Range: [%lld-%lld]", stConn.iSock, pcURI,
                       static_cast<long long>(stResult.llRangeStart),
                       static_cast<long long>(stResult.llRangeEnd));
        } else {
            QVHTTP_Log(QVHTTP_DBG, "200 %d %s", stConn.iSock, pcURI);
        }
    }
    if (uiRet != 0) {
        SendError(stConn.iSock, 404, stConn.uiKeepAlive);
    }
    stEvent.uiCode = QVHTTP_EVT_END;
    stEvent.uiStatus = uiRet != 0 ? 404 : 200;
    QVHTTP_RaiseEvent(stEvent);
}

// Answers one complete head; its request line is its first line.
void ProcHead(QVHTTP_ConnPara &stConn, const char *pcHead)
{
    QVHTTP_Request stReq;
    uint32_t uiRet = QVHTTP_UTIL_ParseHead(pcHead, &stReq);
    stConn.uiKeepAlive = stReq.uiKeepAlive;
    if (uiRet != 0) {
        QVHTTP_Log(QVHTTP_DIG, "Request err %d:\n%s\n", stConn.iSock, pcHead);
        SendError(stConn.iSock, 404, stConn.uiKeepAlive);
        return;
    }
    QVHTTP_ProcRequest(stConn, stReq);
}

// Answers every complete head in the buffer, in the order received; false when the
// connection is to end.
bool ProcHeads(QVHTTP_ConnPara &stConn)
{
    for (;;) {
        char *pcEnd = strstr(stConn.acHead, "\r\n\r\n");
        if (pcEnd == nullptr) {
            return true;
        }
        size_t uiHead = static_cast<size_t>(pcEnd - stConn.acHead) + 4;
        std::string strHead(stConn.acHead, uiHead);
        stConn.uiHeadLen -= uiHead;
        memmove(stConn.acHead, stConn.acHead + uiHead, stConn.uiHeadLen + 1);
        evtimer_del(stConn.pstTimer);
        if (!SetBusy(stConn.iSock, true)) {
            return false;
        }
        ProcHead(stConn, strHead.c_str());
        if (!SetBusy(stConn.iSock, false) || !stConn.uiKeepAlive) {
            return false;
        }
        ArmIdleTimer(stConn);
        if (stConn.uiHeadLen > 0) {
            StartHead(stConn);
        }
    }
}

void QVHTTP_ClientReadable(evutil_socket_t iSock, short sWhat, void *pvConn)
{
    QVHTTP_ConnPara &stConn = *static_cast<QVHTTP_ConnPara *>(pvConn);
    if (sWhat & EV_TIMEOUT) {
        QVHTTP_Log(QVHTTP_DIG, "Time Out, Now close socket %d", stConn.iSock);
        EndConnection(stConn);
        return;
    }
    size_t uiRoom = HEAD_BUF_SIZE - 1 - stConn.uiHeadLen;
    ssize_t iRead = uiRoom > 0 ? recv(iSock, stConn.acHead + stConn.uiHeadLen, uiRoom, 0) : -1;
    if (iRead < 0 && (errno == EAGAIN || errno == EINTR) && uiRoom > 0) {
        return;
    }
    if (iRead <= 0) {
        int iError = uiRoom == 0 ? EMSGSIZE : (iRead < 0 ? errno : 0);
        if (iError != 0 && iError != ECONNRESET) {
            QVHTTP_Log(QVHTTP_DBG, "Socket %d err %d %s iReadLen=%d", stConn.iSock, iError,
                       g_strerror(iError), static_cast<int>(stConn.uiHeadLen));
        } else if (iError != EBADF) {
            QVHTTP_Log(QVHTTP_DBG, "Client socket %d closed iError %d iReadLen %d", stConn.iSock,
                       iError, static_cast<int>(stConn.uiHeadLen));
        }
        EndConnection(stConn);
        return;
    }
    // A NUL byte cannot be part of a head; the text functions would stop short at it.
    if (memchr(stConn.acHead + stConn.uiHeadLen, '\0', static_cast<size_t>(iRead)) != nullptr) {
        QVHTTP_Log(QVHTTP_DBG, "Socket %d sent a NUL byte, closed", stConn.iSock);
        EndConnection(stConn);
        return;
    }
    if (stConn.uiHeadLen == 0) {
        StartHead(stConn);
    }
    stConn.uiHeadLen += static_cast<size_t>(iRead);
    stConn.acHead[stConn.uiHeadLen] = '\0';
    // A head that has not ended when the buffer is full ends the connection above.
    if (!ProcHeads(stConn)) {
        EndConnection(stConn);
    }
}

// Admits a new connection: at the limit the connection idle the longest (no request in
// progress) is shut down to make room; false when every connection is busy.
bool RegisterConnection(int iSock)
{
    std::lock_guard<std::mutex> lock(g_mtxConns);
    if (g_bStopping) {
        return false;
    }
    if (g_uiLiveConns >= g_stQvHttpCfg.uiMaxConn) {
        auto itOldest = g_mapConns.end();
        for (auto it = g_mapConns.begin(); it != g_mapConns.end(); ++it) {
            if (!it->second.bBusy && !it->second.bEvicted &&
                (itOldest == g_mapConns.end() ||
                 it->second.llIdleSince < itOldest->second.llIdleSince)) {
                itOldest = it;
            }
        }
        if (itOldest == g_mapConns.end()) {
            return false;
        }
        QVHTTP_Log(QVHTTP_DBG, "Connection limit: close idle socket %d", itOldest->first);
        itOldest->second.bEvicted = true;
        --g_uiLiveConns;
        shutdown(itOldest->first, SHUT_RDWR);
    }
    g_mapConns[iSock] = ConnState{g_get_monotonic_time(), false, false};
    ++g_uiLiveConns;
    return true;
}

// Before the socket is closed, so its number cannot be reused while still listed.
void UnregisterConnection(int iSock)
{
    std::lock_guard<std::mutex> lock(g_mtxConns);
    auto it = g_mapConns.find(iSock);
    if (it != g_mapConns.end()) {
        if (!it->second.bEvicted) {
            --g_uiLiveConns;
        }
        g_mapConns.erase(it);
    }
}

bool IsEvicted(int iSock)
{
    std::lock_guard<std::mutex> lock(g_mtxConns);
    auto it = g_mapConns.find(iSock);
    return it == g_mapConns.end() || it->second.bEvicted || g_bStopping;
}

void QVHTTP_ThreadProc(gpointer pvJob, gpointer)
{
    QV_TakeOver(pvJob);
    std::unique_ptr<QVHTTP_Job> pstJob(static_cast<QVHTTP_Job *>(pvJob));
    QVHTTP_ConnPara stConn;
    stConn.iSock = pstJob->iSock;
    stConn.uiClientIp = pstJob->uiClientIp;
    stConn.usClientPort = pstJob->usClientPort;
    if (!IsEvicted(stConn.iSock)) {
        evutil_make_socket_nonblocking(stConn.iSock);
        stConn.pstBase = event_base_new();
        if (stConn.pstBase != nullptr) {
            stConn.pstRead = event_new(stConn.pstBase, stConn.iSock, EV_READ | EV_PERSIST,
                                       QVHTTP_ClientReadable, &stConn);
            stConn.pstTimer = evtimer_new(stConn.pstBase, QVHTTP_ClientReadable, &stConn);
        }
        if (stConn.pstRead != nullptr && stConn.pstTimer != nullptr &&
            event_add(stConn.pstRead, nullptr) == 0) {
            ArmIdleTimer(stConn);
            event_base_dispatch(stConn.pstBase);
        }
        if (stConn.pstRead != nullptr) {
            event_free(stConn.pstRead);
        }
        if (stConn.pstTimer != nullptr) {
            event_free(stConn.pstTimer);
        }
        if (stConn.pstBase != nullptr) {
            event_base_free(stConn.pstBase);
        }
    }
    UnregisterConnection(stConn.iSock);
    close(stConn.iSock);
}

gpointer QVHTTP_ServiceThreadProc(gpointer pvListen)
{
    int iListen = GPOINTER_TO_INT(pvListen);
    GThreadPool *pstPool = g_thread_pool_new(
        QVHTTP_ThreadProc, nullptr, static_cast<gint>(g_stQvHttpCfg.uiMaxConn), FALSE, nullptr);
    if (pstPool == nullptr) {
        QVHTTP_Log(QVHTTP_DIG, "Failed to create thread pool");
        return nullptr;
    }
    for (;;) {
        sockaddr_in stPeer = {};
        socklen_t uiPeerLen = sizeof(stPeer);
        int iSock =
            accept4(iListen, reinterpret_cast<sockaddr *>(&stPeer), &uiPeerLen, SOCK_CLOEXEC);
        if (iSock < 0) {
            std::lock_guard<std::mutex> lock(g_mtxConns);
            if (g_bStopping || !QVHTTP_UTIL_IsTransientAcceptError(errno)) {
                break;
            }
            if (errno == EMFILE || errno == ENFILE) {
                g_usleep(10000);  // let connections end before trying again
            }
            continue;
        }
        if (!RegisterConnection(iSock)) {
            close(iSock);
            continue;
        }
        auto pstJob = std::make_unique<QVHTTP_Job>(
            QVHTTP_Job{iSock, ntohl(stPeer.sin_addr.s_addr), ntohs(stPeer.sin_port)});
        // The pool thread takes the job over.
        QV_HandOff(pstJob.get());
        if (g_thread_pool_push(pstPool, pstJob.get(), nullptr)) {
            pstJob.release();
        } else {
            UnregisterConnection(iSock);
            close(iSock);
        }
    }
    {
        std::lock_guard<std::mutex> lock(g_mtxConns);
        g_bStopping = true;
        for (const auto &[iSock, stState] : g_mapConns) {
            shutdown(iSock, SHUT_RDWR);
        }
    }
    // Jobs still queued run and close at once; running ones end on their shut-down sockets.
    g_thread_pool_free(pstPool, FALSE, TRUE);
    return nullptr;
}

std::string AddrText()
{
    char szAddr[32];
    uint32_t uiAddr = g_stQvHttpCfg.uiAddr;
    g_snprintf(szAddr, sizeof(szAddr), "%u.%u.%u.%u:%u", uiAddr >> 24, (uiAddr >> 16) & 255,
               (uiAddr >> 8) & 255, uiAddr & 255, g_stQvHttpCfg.usPort);
    return szAddr;
}

}  // namespace

uint32_t QVHTTP_Init()
{
    evthread_use_pthreads();
    // A client that goes away mid-reply must end that reply, not the process.
    signal(SIGPIPE, SIG_IGN);
    QVHTTP_UTIL_Init();
    QVHTTP_CFG_Init();
    return 0;
}

void QVHTTP_Deinit()
{
    QVHTTP_CFG_ClearRoots();
    QVHTTP_VIRTISO_Clear();
}

void QVHTTP_SetLogFunc(const QV_LogSinks &stSinks)
{
    g_stQvHttpLogSinks = stSinks;
}

uint32_t QVHTTP_Start(GThread **ppThread)
{
    g_assert(ppThread != nullptr);
    if (g_bRunning) {
        return QVHTTP_ERR_EXIST;
    }
    int iListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (iListen < 0) {
        return QVHTTP_ERR_FAILED;
    }
    int iOn = 1;
    setsockopt(iListen, SOL_SOCKET, SO_REUSEADDR, &iOn, sizeof(iOn));
    sockaddr_in stAddr = {};
    stAddr.sin_family = AF_INET;
    stAddr.sin_addr.s_addr = htonl(g_stQvHttpCfg.uiAddr);
    stAddr.sin_port = htons(g_stQvHttpCfg.usPort);
    // Bursts of clients wait in the kernel's queue instead of being refused.
    if (bind(iListen, reinterpret_cast<sockaddr *>(&stAddr), sizeof(stAddr)) != 0 ||
        listen(iListen, SOMAXCONN) != 0) {
        QVHTTP_Log(QVHTTP_DIG, "Failed to bind socket %d", iListen);
        close(iListen);
        return QVHTTP_ERR_PORT_IN_USE;
    }
    {
        std::lock_guard<std::mutex> lock(g_mtxConns);
        g_bStopping = false;
    }
    GThread *pstThread =
        g_thread_try_new("QVHTTP", QVHTTP_ServiceThreadProc, GINT_TO_POINTER(iListen), nullptr);
    if (pstThread == nullptr) {
        QVHTTP_Log(QVHTTP_DIG, "Failed to create main thread.");
        close(iListen);
        return QVHTTP_ERR_FAILED;
    }
    g_iListenSock = iListen;
    g_bRunning = true;
    QVHTTP_Log(QVHTTP_LOG, "QVHTTP Server %s start ...", QVHTTP_VERSION);
    QVHTTP_Log(QVHTTP_DBG, "QVHTTP listening on %s", AddrText().c_str());
    *ppThread = pstThread;
    return 0;
}

uint32_t QVHTTP_Stop(GThread *pThread)
{
    if (pThread == nullptr) {
        return QVHTTP_ERR_FAILED;
    }
    QVHTTP_Log(QVHTTP_LOG, "QVHTTP Server %s is stopping ...", QVHTTP_VERSION);
    {
        std::lock_guard<std::mutex> lock(g_mtxConns);
        g_bStopping = true;
    }
    // Shutting the socket down wakes the blocked accept; closing alone would not.
    shutdown(g_iListenSock, SHUT_RDWR);
    g_thread_join(pThread);
    close(g_iListenSock);
    g_iListenSock = -1;
    g_bRunning = false;
    QVHTTP_Log(QVHTTP_LOG, "QVHTTP Server %s is stopped ...", QVHTTP_VERSION);
    return 0;
}
