#include "kiv_restful.h"

#include <arpa/inet.h>
#include <glib.h>
#include <json/json.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include "qvhttp_util.h"

namespace {

// A client that sends nothing, or reads nothing, never holds a worker longer than this.
constexpr int REST_IO_TIMEOUT_SEC = 5;

std::mutex g_mtxInfo;
KIV_REST_SysInfo g_stInfo;
std::atomic<KIV_REST_NotifyFunc> g_pfnNotify{nullptr};

GRegex *g_pstUrlRegex = nullptr;
GRegex *g_pstPairRegex = nullptr;
GThread *g_pstListener = nullptr;
GThreadPool *g_pstPool = nullptr;
int g_iListenSocket = -1;
std::atomic<bool> g_bStopping{false};

void CompileRegexes()
{
    if (g_pstUrlRegex == nullptr) {
        // Requests are bytes off the network, not UTF-8: match them as raw bytes.
        g_pstUrlRegex = g_regex_new("(GET|HEAD|DELETE|POST) /rest/v([1-9])/([^?\\s]+)",
                                    GRegexCompileFlags(G_REGEX_RAW | G_REGEX_OPTIMIZE),
                                    GRegexMatchFlags(0), nullptr);
        g_pstPairRegex =
            g_regex_new("([^=&]+)=([^=&]+)", GRegexCompileFlags(G_REGEX_RAW | G_REGEX_OPTIMIZE),
                        GRegexMatchFlags(0), nullptr);
    }
}

std::string Group(GMatchInfo *pstMatch, int iGroup)
{
    gchar *pcText = g_match_info_fetch(pstMatch, iGroup);
    std::string strText = pcText != nullptr ? pcText : "";
    g_free(pcText);
    return strText;
}

// "a=1&b=2": each piece that holds a name and a value; white space around a value is dropped.
void ParseParams(const std::string &strQuery, std::map<std::string, std::string> &mapParams)
{
    gchar **ppcPieces = g_strsplit((strQuery + "&").c_str(), "&", -1);
    for (gchar **ppc = ppcPieces; *ppc != nullptr; ++ppc) {
        GMatchInfo *pstMatch = nullptr;
        if (g_regex_match(g_pstPairRegex, *ppc, GRegexMatchFlags(0), &pstMatch)) {
            gchar *pcValue = g_strstrip(g_match_info_fetch(pstMatch, 2));
            mapParams[Group(pstMatch, 1)] = pcValue;
            g_free(pcValue);
        }
        g_match_info_free(pstMatch);
    }
    g_strfreev(ppcPieces);
}

uint32_t ParseAddress(const std::string &strText)
{
    unsigned auiPart[4];
    char cExtra;
    if (sscanf(strText.c_str(), "%u.%u.%u.%u%c", &auiPart[0], &auiPart[1], &auiPart[2], &auiPart[3],
               &cExtra) != 4) {
        return 0;
    }
    uint32_t uiAddress = 0;
    for (unsigned uiPart : auiPart) {
        if (uiPart > 255) {
            return 0;
        }
        uiAddress = (uiAddress << 8) | uiPart;
    }
    return uiAddress;
}

std::string Param(const KIV_REST_Request &stRequest, const char *pcName)
{
    auto it = stRequest.mapParams.find(pcName);
    return it != stRequest.mapParams.end() ? it->second : "";
}

std::string StyledJson(const Json::Value &jsValue)
{
    return Json::StyledWriter().write(jsValue);
}

std::string SysInfoJson(const KIV_REST_Request &stRequest)
{
    KIV_REST_SysInfo stInfo;
    {
        std::lock_guard<std::mutex> lock(g_mtxInfo);
        stInfo = g_stInfo;
    }
    Json::Value jsInfo(Json::objectValue);
    jsInfo["orv_version"] = stInfo.strVersion;
    jsInfo["orv_running"] = stInfo.bRunning;
    if (stInfo.bRunning) {
        jsInfo["orv_http_port"] = stInfo.usHttpPort;
        jsInfo["orv_img_path"] = "ISO1";
        jsInfo["orv_os_name"] = stInfo.strOsName;
        bool bUefi = Param(stRequest, "bios") == "UEFI";
        jsInfo["orv_iscsi_deploy_support"] =
            bUefi ? (stInfo.bSupportUefi && stInfo.bIscsiUefi) : stInfo.bIscsiBios;
    }
    return StyledJson(jsInfo);
}

std::string NotifyJson(const KIV_REST_Request &stRequest)
{
    KIV_REST_KsNotify stNotify;
    stNotify.uiAddress = ParseAddress(Param(stRequest, "ip"));
    stNotify.uiMask = ParseAddress(Param(stRequest, "mask"));
    stNotify.uiGateway = ParseAddress(Param(stRequest, "gw"));
    unsigned auiMac[6];
    char cExtra;
    if (sscanf(Param(stRequest, "mac").c_str(), "%02x-%02x-%02x-%02x-%02x-%02x%c", &auiMac[0],
               &auiMac[1], &auiMac[2], &auiMac[3], &auiMac[4], &auiMac[5], &cExtra) == 6) {
        for (int i = 0; i < 6; ++i) {
            stNotify.aucMac[i] = uint8_t(auiMac[i]);
        }
    }
    stNotify.uiUefi = Param(stRequest, "bios") == "UEFI" ? 1 : 0;
    // Queued for the main thread and never awaited: the reply goes out at once.
    if (KIV_REST_NotifyFunc pfnNotify = g_pfnNotify.load()) {
        pfnNotify(&stNotify);
    }
    Json::Value jsReply(Json::objectValue);
    jsReply["result"] = "success";
    return StyledJson(jsReply);
}

void SetTimeouts(int iSocket)
{
    timeval stTimeout{REST_IO_TIMEOUT_SEC, 0};
    setsockopt(iSocket, SOL_SOCKET, SO_RCVTIMEO, &stTimeout, sizeof(stTimeout));
    setsockopt(iSocket, SOL_SOCKET, SO_SNDTIMEO, &stTimeout, sizeof(stTimeout));
}

// Reads until the request line has ended, the peer stops sending or the buffer is full. False
// when nothing usable came: an error, a close before any byte, a request line longer than the
// buffer, or a request not complete within the time-out. The time-out covers the whole request,
// so a client dribbling a byte at a time cannot hold one of the few workers for longer; it starts
// at accept, so time spent waiting for a worker counts too.
bool ReceiveRequest(int iSocket, char *pcBuf, gint64 llDeadline)
{
    size_t uiLen = 0;
    while (uiLen < KIV_REST_MAX_REQUEST) {
        pollfd stPoll{iSocket, POLLIN, 0};
        const gint64 llLeftMs = (llDeadline - g_get_monotonic_time()) / 1000;
        if (llLeftMs <= 0 || poll(&stPoll, 1, int(llLeftMs)) == 0) {
            QVHTTP_Log(QVHTTP_DIG, "Request on socket %d not complete within %d s, closed", iSocket,
                       REST_IO_TIMEOUT_SEC);
            return false;
        }
        ssize_t iRead = recv(iSocket, pcBuf + uiLen, KIV_REST_MAX_REQUEST - uiLen, 0);
        if (iRead < 0 && errno == EINTR) {
            continue;
        }
        if (iRead < 0) {
            int iError = errno;
            QVHTTP_Log(QVHTTP_DIG, "Socket %d err %d %s iReadLen=%d", iSocket, iError,
                       strerror(iError), int(uiLen));
            return false;
        }
        if (iRead == 0) {
            if (uiLen == 0) {
                QVHTTP_Log(QVHTTP_DIG, "Client socket %d closed iError %d iReadLen %d", iSocket, 0,
                           int(uiLen));
                return false;
            }
            break;
        }
        uiLen += size_t(iRead);
        pcBuf[uiLen] = '\0';
        if (memchr(pcBuf, '\n', uiLen) != nullptr) {
            return true;
        }
    }
    pcBuf[uiLen] = '\0';
    if (uiLen == KIV_REST_MAX_REQUEST) {
        QVHTTP_Log(QVHTTP_DIG, "Request on socket %d longer than %u bytes, closed", iSocket,
                   unsigned(KIV_REST_MAX_REQUEST));
        return false;
    }
    return true;
}

// One accepted connection on its way to a worker.
struct RestJob {
    int iSocket;
    gint64 llDeadline;  // monotonic microseconds
};

void Worker(gpointer pvJob, gpointer)
{
    std::unique_ptr<RestJob> pstJob(static_cast<RestJob *>(pvJob));
    int iSocket = pstJob->iSocket;
    SetTimeouts(iSocket);
    char szBuf[KIV_REST_MAX_REQUEST + 1];
    KIV_REST_Request stRequest;
    if (ReceiveRequest(iSocket, szBuf, pstJob->llDeadline)) {
        if (!KIV_REST_ParseRequest(szBuf, &stRequest)) {
            QVHTTP_Log(QVHTTP_DIG, "Invalid restful URL %s", stRequest.strText.c_str());
        } else {
            std::string strJson = KIV_REST_Answer(stRequest);
            if (!strJson.empty()) {
                KIV_HTTP_SendReplyOKJson(iSocket, strJson.data(), strJson.size());
            }
        }
    }
    close(iSocket);
}

gpointer Listener(gpointer)
{
    while (true) {
        int iClient = accept4(g_iListenSocket, nullptr, nullptr, SOCK_CLOEXEC);
        if (iClient < 0) {
            int iError = errno;
            if (g_bStopping.load()) {
                break;
            }
            if (!QVHTTP_UTIL_IsTransientAcceptError(iError)) {
                QVHTTP_Log(QVHTTP_DIG, "Accept invalid socket %d (%s)", iClient, strerror(iError));
                break;
            }
            if (iError != EINTR && iError != ECONNABORTED) {
                g_usleep(10000);  // let connections end before trying again
            }
            continue;
        }
        // The pool queues what its workers cannot take at once, up to a bound: idle connections
        // beyond it would only hold descriptors until their deadline.
        if (g_thread_pool_unprocessed(g_pstPool) >= KIV_REST_MAX_WAITING) {
            close(iClient);
            continue;
        }
        auto pstJob = std::make_unique<RestJob>(RestJob{
            iClient, g_get_monotonic_time() + gint64(REST_IO_TIMEOUT_SEC) * G_USEC_PER_SEC});
        g_thread_pool_push(g_pstPool, pstJob.release(), nullptr);
    }
    return nullptr;
}

}  // namespace

void KIV_REST_Publish(const KIV_REST_SysInfo &stInfo)
{
    std::lock_guard<std::mutex> lock(g_mtxInfo);
    g_stInfo = stInfo;
}

void KIV_REST_SetNotifyFunc(KIV_REST_NotifyFunc pfnNotify)
{
    g_pfnNotify.store(pfnNotify);
}

bool KIV_REST_ParseRequest(const char *pcText, KIV_REST_Request *pstRequest)
{
    CompileRegexes();
    std::string strText = pcText;
    size_t uiHttp = strText.find("HTTP/1");
    if (uiHttp != std::string::npos) {
        strText.resize(uiHttp);
    }
    pstRequest->strText = strText;
    GMatchInfo *pstMatch = nullptr;
    bool bMatched = g_regex_match(g_pstUrlRegex, strText.c_str(), GRegexMatchFlags(0), &pstMatch);
    if (bMatched) {
        pstRequest->iVersion = std::stoi(Group(pstMatch, 2));
        pstRequest->strCommand = Group(pstMatch, 3);
        size_t uiQuery = strText.find('?');
        if (uiQuery != std::string::npos) {
            ParseParams(strText.substr(uiQuery + 1), pstRequest->mapParams);
        }
    }
    g_match_info_free(pstMatch);
    return bMatched;
}

std::string KIV_REST_Answer(const KIV_REST_Request &stRequest)
{
    if (stRequest.strCommand == "pim_get_sysinfo") {
        return SysInfoJson(stRequest);
    }
    if (stRequest.strCommand == "notify_pim_ks") {
        return NotifyJson(stRequest);
    }
    return "";
}

std::string KIV_HTTP_ReplyOKJson(const std::string &strJson)
{
    time_t tNow = time(nullptr);
    tm stTm;
    gmtime_r(&tNow, &stTm);
    char szDate[64];
    strftime(szDate, sizeof(szDate), "%a, %d %b %Y %H:%M:%S GMT", &stTm);
    gchar *pcReply = g_strdup_printf("HTTP/1.1 200 OK \r\nContent-Type: application/json\r\n"
                                     "Date: %s\r\nConnection: Close\r\nContent-Length: %u\r\n\r\n",
                                     szDate, unsigned(strJson.size()));
    std::string strReply = std::string(pcReply) + strJson;
    g_free(pcReply);
    return strReply;
}

int KIV_HTTP_SendReplyOKJson(int iSocket, const char *pcJson, size_t uiLen)
{
    std::string strReply = KIV_HTTP_ReplyOKJson(std::string(pcJson, uiLen));
    size_t uiSent = 0;
    while (uiSent < strReply.size()) {
        ssize_t iSent =
            send(iSocket, strReply.data() + uiSent, strReply.size() - uiSent, MSG_NOSIGNAL);
        if (iSent < 0 && errno == EINTR) {
            continue;
        }
        if (iSent <= 0) {
            return -1;
        }
        uiSent += size_t(iSent);
    }
    return 0;
}

int KIV_REST_Start(uint16_t usPort)
{
    CompileRegexes();
    if (usPort == 0) {
        usPort = KIV_REST_DEFAULT_PORT;
    }
    int iSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (iSocket < 0) {
        QVHTTP_Log(QVHTTP_DIG, "Failed to create socket");
        return QVHTTP_ERR_FAILED;
    }
    int iOn = 1;
    setsockopt(iSocket, SOL_SOCKET, SO_REUSEADDR, &iOn, sizeof(iOn));
    sockaddr_in stAddr{};
    stAddr.sin_family = AF_INET;
    stAddr.sin_port = htons(usPort);
    stAddr.sin_addr.s_addr = htonl(INADDR_ANY);
    // A short queue of waiting connections, so that a burst beyond the workers is not refused.
    if (bind(iSocket, reinterpret_cast<sockaddr *>(&stAddr), sizeof(stAddr)) != 0 ||
        listen(iSocket, 16) != 0) {
        int iError = errno;
        QVHTTP_Log(QVHTTP_DIG, "Failed to bind socket");
        QVHTTP_Log(QVHTTP_DIG, "REST port %u: %s", unsigned(usPort), g_strerror(iError));
        close(iSocket);
        return iError == EADDRINUSE ? QVHTTP_ERR_PORT_IN_USE : QVHTTP_ERR_FAILED;
    }
    g_pstPool = g_thread_pool_new(Worker, nullptr, KIV_REST_WORKERS, FALSE, nullptr);
    if (g_pstPool == nullptr) {
        QVHTTP_Log(QVHTTP_DIG, "Failed to create thread pool");
        close(iSocket);
        return QVHTTP_ERR_FAILED;
    }
    g_iListenSocket = iSocket;
    g_bStopping.store(false);
    g_pstListener = g_thread_new("REST", Listener, nullptr);
    QVHTTP_Log(QVHTTP_DIG, "REST interface listening on port %u", unsigned(usPort));
    return 0;
}

void KIV_REST_Stop()
{
    if (g_pstListener == nullptr) {
        return;
    }
    g_bStopping.store(true);
    shutdown(g_iListenSocket, SHUT_RDWR);
    g_thread_join(g_pstListener);
    g_pstListener = nullptr;
    close(g_iListenSocket);
    g_iListenSocket = -1;
    // Finishes the queued connections; each is bounded by the socket time-outs.
    g_thread_pool_free(g_pstPool, FALSE, TRUE);
    g_pstPool = nullptr;
}
