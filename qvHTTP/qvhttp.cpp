#include "qvhttp.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include <event2/event.h>
#include <event2/thread.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "qvhttp_doc.h"

namespace {

constexpr size_t HEAD_BUF_SIZE = 4096; // a head may use 4095 bytes

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
    size_t uiHeadLen = 0;
    char acHead[HEAD_BUF_SIZE] = {};
};

QVHTTP_EventFunc g_pfnEvent = nullptr;
int g_iListenSock = -1;
bool g_bRunning = false;

// Open connection sockets. The stop shuts every one down (their threads close them), and a
// connection that starts after the stop closes at once.
std::mutex g_mtxConns;
std::set<int> g_setConns;
bool g_bStopping = false;

// Connections handed to the pool and not yet finished.
std::atomic<uint32_t> g_uiActiveConns{0};

void EndConnection(QVHTTP_ConnPara &stConn)
{
    event_base_loopbreak(stConn.pstBase);
}

void ArmIdleTimer(QVHTTP_ConnPara &stConn)
{
    timeval stIdle = {static_cast<time_t>(g_stQvHttpCfg.uiIdleSec), 0};
    evtimer_add(stConn.pstTimer, &stIdle);
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

void QVHTTP_ProcRequest(QVHTTP_ConnPara &stConn, const char *pcRequest, const char *pcURI)
{
    QVHTTP_RequestEvent stEvent = {};
    stEvent.uiClientIp = stConn.uiClientIp;
    stEvent.uiClientPort = stConn.usClientPort;
    g_strlcpy(stEvent.szURI, pcURI, sizeof(stEvent.szURI));
    g_strlcpy(stEvent.szRequest, pcRequest, sizeof(stEvent.szRequest));
    QVHTTP_UTIL_DecodeReqLine(stEvent.szRequest, sizeof(stEvent.szRequest));

    QVHTTP_OpenResult stResult;
    uint32_t uiRet = QVHTTP_CFG_OpenReqURI(pcRequest, pcURI, stResult);
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
    } else if (g_str_has_prefix(pcRequest, "HEAD")) {
        QVHTTP_Log(QVHTTP_DBG, "200 HEAD %s size %llu", pcURI,
                   static_cast<unsigned long long>(stResult.ullSize));
        uiRet = QVHTTP_DOC_SendFileHead(stConn.uiKeepAlive, stResult, stConn.iSock);
    } else {
        bool bRange = QVHTTP_UTIL_GetFileRange(pcRequest, stResult) == 0;
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

// Answers every request of a complete head: the GETs in order, then the HEADs.
void ProcHead(QVHTTP_ConnPara &stConn)
{
    const char *pcHead = stConn.acHead;
    char szURI[QVHTTP_URI_SIZE];
    if (QVHTTP_UTIL_GetReqURI(pcHead, szURI, sizeof(szURI)) != 0) {
        QVHTTP_Log(QVHTTP_DIG, "Request err %d:\n%s\n", stConn.iSock, pcHead);
        SendError(stConn.iSock, 404, stConn.uiKeepAlive);
        return;
    }
    for (const char *pcMethod : {"GET ", "HEAD "}) {
        for (const char *pcAt = strstr(pcHead, pcMethod); pcAt != nullptr;
             pcAt = strstr(pcAt + 1, pcMethod)) {
            const char *pcEnd = strstr(pcAt, "\r\n\r\n");
            std::string strRequest(pcAt, pcEnd != nullptr ? size_t(pcEnd - pcAt) : strlen(pcAt));
            if (QVHTTP_UTIL_GetReqURI(strRequest.c_str(), szURI, sizeof(szURI)) == 0) {
                QVHTTP_ProcRequest(stConn, strRequest.c_str(), szURI);
            }
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
    stConn.uiHeadLen += static_cast<size_t>(iRead);
    stConn.acHead[stConn.uiHeadLen] = '\0';
    if (!g_str_has_suffix(stConn.acHead, "\r\n\r\n")) {
        return; // more of the head to come; a full buffer ends the connection above
    }
    evtimer_del(stConn.pstTimer);
    stConn.uiKeepAlive = QVHTTP_UTIL_IsKeepAlive(stConn.acHead);
    ProcHead(stConn);
    stConn.uiHeadLen = 0;
    stConn.acHead[0] = '\0';
    if (stConn.uiKeepAlive) {
        ArmIdleTimer(stConn);
    } else {
        EndConnection(stConn);
    }
}

bool RegisterConnection(int iSock)
{
    std::lock_guard<std::mutex> lock(g_mtxConns);
    if (g_bStopping) {
        return false;
    }
    g_setConns.insert(iSock);
    return true;
}

void UnregisterConnection(int iSock)
{
    std::lock_guard<std::mutex> lock(g_mtxConns);
    g_setConns.erase(iSock);
}

void QVHTTP_ThreadProc(gpointer pvJob, gpointer)
{
    std::unique_ptr<QVHTTP_Job> pstJob(static_cast<QVHTTP_Job *>(pvJob));
    QVHTTP_ConnPara stConn;
    stConn.iSock = pstJob->iSock;
    stConn.uiClientIp = pstJob->uiClientIp;
    stConn.usClientPort = pstJob->usClientPort;
    if (RegisterConnection(stConn.iSock)) {
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
        UnregisterConnection(stConn.iSock);
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
    close(stConn.iSock);
    g_uiActiveConns.fetch_sub(1);
}

bool IsTransientAcceptError(int iError)
{
    return iError == EINTR || iError == ECONNABORTED || iError == EMFILE || iError == ENFILE ||
           iError == ENOBUFS || iError == ENOMEM || iError == EPROTO;
}

gpointer QVHTTP_ServiceThreadProc(gpointer pvListen)
{
    int iListen = GPOINTER_TO_INT(pvListen);
    GThreadPool *pstPool = g_thread_pool_new(QVHTTP_ThreadProc, nullptr,
                                             static_cast<gint>(g_stQvHttpCfg.uiMaxConn), FALSE,
                                             nullptr);
    if (pstPool == nullptr) {
        QVHTTP_Log(QVHTTP_DIG, "Failed to create thread pool");
        return nullptr;
    }
    for (;;) {
        sockaddr_in stPeer = {};
        socklen_t uiPeerLen = sizeof(stPeer);
        int iSock = accept4(iListen, reinterpret_cast<sockaddr *>(&stPeer), &uiPeerLen,
                            SOCK_CLOEXEC);
        if (iSock < 0) {
            std::lock_guard<std::mutex> lock(g_mtxConns);
            if (g_bStopping || !IsTransientAcceptError(errno)) {
                break;
            }
            if (errno == EMFILE || errno == ENFILE) {
                g_usleep(10000); // let connections end before trying again
            }
            continue;
        }
        if (g_uiActiveConns.load() >= g_stQvHttpCfg.uiMaxConn) {
            close(iSock);
            continue;
        }
        g_uiActiveConns.fetch_add(1);
        auto pstJob = std::make_unique<QVHTTP_Job>(
            QVHTTP_Job{iSock, ntohl(stPeer.sin_addr.s_addr), ntohs(stPeer.sin_port)});
        // The pool thread takes the job over.
        if (g_thread_pool_push(pstPool, pstJob.get(), nullptr)) {
            pstJob.release();
        } else {
            close(iSock);
            g_uiActiveConns.fetch_sub(1);
        }
    }
    {
        std::lock_guard<std::mutex> lock(g_mtxConns);
        g_bStopping = true;
        for (int iSock : g_setConns) {
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

} // namespace

uint32_t QVHTTP_Init()
{
    evthread_use_pthreads();
    // A client that goes away mid-reply must end that reply, not the process.
    signal(SIGPIPE, SIG_IGN);
    QVHTTP_UTIL_Init();
    QVHTTP_CFG_Init();
    return 0;
}

void QVHTTP_SetLogFunc(const QV_LogSinks &stSinks)
{
    g_stQvHttpLogSinks = stSinks;
}

void QVHTTP_SetEventFunc(QVHTTP_EventFunc pfnEvent)
{
    g_pfnEvent = pfnEvent;
}

void QVHTTP_RaiseEvent(const QVHTTP_RequestEvent &stEvent)
{
    if (g_pfnEvent != nullptr) {
        g_pfnEvent(&stEvent);
    }
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
    GThread *pstThread = g_thread_try_new("QVHTTP", QVHTTP_ServiceThreadProc,
                                          GINT_TO_POINTER(iListen), nullptr);
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
