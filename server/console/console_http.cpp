#include "console_http.h"

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <glib.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "console_assets.h"
#include "console_bridge.h"
#include "console_files.h"
#include "console_host.h"
#include "console_token.h"
#include "log.h"
#include "msg_table.h"

namespace {

constexpr size_t MAX_BODY = 256 * 1024;
constexpr size_t MAX_HEADERS = 16 * 1024;
constexpr int SSE_PING_SECONDS = 15;
// A subscriber that does not read (a stalled tab) is dropped before its backlog grows past this.
constexpr size_t SSE_MAX_BACKLOG = 4 * 1024 * 1024;

// What the main thread hands back: a reply to a pending request, or an event for subscribers.
struct Outgoing {
    uint64_t ullId = 0;  // pending request; 0 for an event
    ConsoleReply stReply;
    std::string strEvent;
    std::string strData;
};

struct Pending {
    evhttp_request *pstReq = nullptr;
    evhttp_connection *pstConn = nullptr;
};

struct ConsoleServer {
    event_base *pstBase = nullptr;
    evhttp *pstHttp = nullptr;
    evhttp *pstMetricsHttp = nullptr;  // --metrics: /metrics alone, without the token
    event *pstWake = nullptr;
    event *pstPing = nullptr;
    int iWakeFd = -1;
    GThread *pstThread = nullptr;
    GMainContext *pstOwnContext = nullptr;
    std::string strToken;
    std::string strBind;  // the address listened on
    uint16_t usPort = 0;
    // Console thread only.
    uint64_t ullNextId = 1;
    std::map<uint64_t, Pending> mapPending;
    std::vector<Pending> vecSubscribers;
    // Shared, under mtxOutbox.
    std::mutex mtxOutbox;
    std::vector<Outgoing> vecOutbox;
    std::map<std::string, std::string> mapLastEvent;
    std::map<std::string, std::string> mapDocuments;
    bool bQuit = false;
};

ConsoleServer g_stServer;

// Under mtxOutbox, so that the descriptor cannot be closed meanwhile.
void WakeLocked()
{
    uint64_t ullOne = 1;
    if (g_stServer.iWakeFd >= 0 && write(g_stServer.iWakeFd, &ullOne, sizeof(ullOne)) < 0) {
        // The counter cannot overflow in practice; a failed write only delays the outbox.
    }
}

// Replies and events after the console stopped are dropped.
void Post(Outgoing stOut)
{
    std::lock_guard<std::mutex> stLock(g_stServer.mtxOutbox);
    if (g_stServer.iWakeFd >= 0) {
        g_stServer.vecOutbox.push_back(std::move(stOut));
        WakeLocked();
    }
}

std::string HeaderValue(evhttp_request *pstReq, const char *pcName)
{
    const char *pcValue = evhttp_find_header(evhttp_request_get_input_headers(pstReq), pcName);
    return pcValue != nullptr ? pcValue : "";
}

std::string QueryValue(evhttp_request *pstReq, const char *pcKey)
{
    const char *pcQuery = evhttp_uri_get_query(evhttp_request_get_evhttp_uri(pstReq));
    if (pcQuery == nullptr) {
        return "";
    }
    evkeyvalq stPairs;
    std::string strValue;
    if (evhttp_parse_query_str(pcQuery, &stPairs) == 0) {
        const char *pcValue = evhttp_find_header(&stPairs, pcKey);
        strValue = pcValue != nullptr ? pcValue : "";
    }
    evhttp_clear_headers(&stPairs);
    return strValue;
}

std::string CookieToken(evhttp_request *pstReq)
{
    std::string strCookies = HeaderValue(pstReq, "Cookie");
    const std::string strKey = "kiv_token=";
    for (size_t uiPos = 0; uiPos < strCookies.size();) {
        size_t uiEnd = strCookies.find(';', uiPos);
        std::string strPair = strCookies.substr(
            uiPos, uiEnd == std::string::npos ? std::string::npos : uiEnd - uiPos);
        size_t uiStart = strPair.find_first_not_of(' ');
        if (uiStart != std::string::npos && strPair.compare(uiStart, strKey.size(), strKey) == 0) {
            return strPair.substr(uiStart + strKey.size());
        }
        if (uiEnd == std::string::npos) {
            break;
        }
        uiPos = uiEnd + 1;
    }
    return "";
}

// A request that changes something must carry the token in a header: a browser never adds one to
// a request another site makes it send. Reading may also use the cookie the page was given, or
// the query (the first page load and the event stream).
bool Authorised(evhttp_request *pstReq, bool bChanging, bool *pbFromQuery)
{
    *pbFromQuery = false;
    std::string strAuth = HeaderValue(pstReq, "Authorization");
    if (strAuth.rfind("Bearer ", 0) == 0 &&
        CONSOLE_TokenEquals(strAuth.substr(7), g_stServer.strToken)) {
        return true;
    }
    if (CONSOLE_TokenEquals(HeaderValue(pstReq, "X-KIV-Token"), g_stServer.strToken)) {
        return true;
    }
    if (bChanging) {
        return false;
    }
    if (CONSOLE_TokenEquals(CookieToken(pstReq), g_stServer.strToken)) {
        return true;
    }
    *pbFromQuery = CONSOLE_TokenEquals(QueryValue(pstReq, "token"), g_stServer.strToken);
    return *pbFromQuery;
}

void AddCommonHeaders(evhttp_request *pstReq, const std::string &strType)
{
    evkeyvalq *pstHeaders = evhttp_request_get_output_headers(pstReq);
    evhttp_add_header(pstHeaders, "Content-Type", strType.c_str());
    evhttp_add_header(pstHeaders, "Cache-Control", "no-store");
    evhttp_add_header(pstHeaders, "X-Content-Type-Options", "nosniff");
    evhttp_add_header(pstHeaders, "Content-Security-Policy",
                      "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
}

void SendReply(evhttp_request *pstReq, const ConsoleReply &stReply)
{
    AddCommonHeaders(pstReq, stReply.strType);
    evbuffer *pstBody = evbuffer_new();
    evbuffer_add(pstBody, stReply.strBody.data(), stReply.strBody.size());
    evhttp_send_reply(pstReq, stReply.iCode, stReply.iCode == 200 ? "OK" : "Error", pstBody);
    evbuffer_free(pstBody);
}

void SendError(evhttp_request *pstReq, int iCode, const char *pcText)
{
    Json::Value stError;
    stError["ok"] = false;
    stError["error"] = pcText;
    SendReply(pstReq, ConsoleJson(stError, iCode));
}

std::string RequestBody(evhttp_request *pstReq)
{
    evbuffer *pstIn = evhttp_request_get_input_buffer(pstReq);
    size_t uiLength = evbuffer_get_length(pstIn);
    std::string strBody(uiLength, '\0');
    if (uiLength > 0) {
        evbuffer_copyout(pstIn, strBody.data(), uiLength);
    }
    return strBody;
}

bool ParseJson(const std::string &strText, Json::Value *pstValue)
{
    if (strText.empty()) {
        *pstValue = Json::Value(Json::objectValue);
        return true;
    }
    Json::CharReaderBuilder stBuilder;
    std::unique_ptr<Json::CharReader> pstReader(stBuilder.newCharReader());
    std::string strErrors;
    return pstReader->parse(strText.data(), strText.data() + strText.size(), pstValue,
                            &strErrors) &&
           pstValue->isObject();
}

// A command queued to the main loop; it owns its arguments until it runs there.
struct MainJob {
    uint64_t ullId;
    std::string strName;
    Json::Value stArgs;
};

gboolean RunMainJob(gpointer pvJob)
{
    MainJob *pstJob = static_cast<MainJob *>(pvJob);
    Outgoing stOut;
    stOut.ullId = pstJob->ullId;
    stOut.stReply = CONSOLE_RunCommand(pstJob->strName, pstJob->stArgs);
    Post(std::move(stOut));
    return G_SOURCE_REMOVE;
}

void FreeMainJob(gpointer pvJob)
{
    std::unique_ptr<MainJob> pstOwner(static_cast<MainJob *>(pvJob));
}

void OnConnectionClosed(evhttp_connection *pstConn, void *)
{
    for (auto it = g_stServer.mapPending.begin(); it != g_stServer.mapPending.end();) {
        it = it->second.pstConn == pstConn ? g_stServer.mapPending.erase(it) : std::next(it);
    }
    std::erase_if(g_stServer.vecSubscribers,
                  [pstConn](const Pending &stSub) { return stSub.pstConn == pstConn; });
}

void QueueCommand(evhttp_request *pstReq, const std::string &strName)
{
    Json::Value stArgs;
    if (!ParseJson(RequestBody(pstReq), &stArgs)) {
        SendError(pstReq, 400, "the body is not a JSON object");
        return;
    }
    uint64_t ullId = g_stServer.ullNextId++;
    evhttp_connection *pstConn = evhttp_request_get_connection(pstReq);
    evhttp_connection_set_closecb(pstConn, OnConnectionClosed, nullptr);
    g_stServer.mapPending[ullId] = {pstReq, pstConn};
    auto pstJob = std::make_unique<MainJob>(MainJob{ullId, strName, std::move(stArgs)});
    g_main_context_invoke_full(nullptr, G_PRIORITY_DEFAULT, RunMainJob, pstJob.release(),
                               FreeMainJob);
}

// False when the subscriber's backlog is too long; it is then to be dropped.
bool SendEvent(evhttp_request *pstReq, const std::string &strEvent, const std::string &strData)
{
    bufferevent *pstBuffer =
        evhttp_connection_get_bufferevent(evhttp_request_get_connection(pstReq));
    if (pstBuffer != nullptr &&
        evbuffer_get_length(bufferevent_get_output(pstBuffer)) > SSE_MAX_BACKLOG) {
        return false;
    }
    evbuffer *pstChunk = evbuffer_new();
    if (strEvent.empty()) {
        evbuffer_add_printf(pstChunk, ": ping\n\n");
    } else {
        evbuffer_add_printf(pstChunk, "event: %s\ndata: %s\n\n", strEvent.c_str(), strData.c_str());
    }
    evhttp_send_reply_chunk(pstReq, pstChunk);
    evbuffer_free(pstChunk);
    return true;
}

// Sends to every subscriber; the ones that fell too far behind are closed.
void SendToSubscribers(const std::string &strEvent, const std::string &strData)
{
    std::vector<evhttp_connection *> vecStalled;
    for (const Pending &stSub : g_stServer.vecSubscribers) {
        if (!SendEvent(stSub.pstReq, strEvent, strData)) {
            vecStalled.push_back(stSub.pstConn);
        }
    }
    for (evhttp_connection *pstConn : vecStalled) {
        LOG_Print(1, "CONSOLE", "Dropping an event subscriber that does not read");
        // Freeing the connection runs its close callback, which forgets the subscriber.
        evhttp_connection_free(pstConn);
    }
}

void Subscribe(evhttp_request *pstReq)
{
    AddCommonHeaders(pstReq, "text/event-stream");
    evhttp_send_reply_start(pstReq, 200, "OK");
    evhttp_connection *pstConn = evhttp_request_get_connection(pstReq);
    evhttp_connection_set_closecb(pstConn, OnConnectionClosed, nullptr);
    g_stServer.vecSubscribers.push_back({pstReq, pstConn});
    std::map<std::string, std::string> mapLast;
    {
        std::lock_guard<std::mutex> stLock(g_stServer.mtxOutbox);
        mapLast = g_stServer.mapLastEvent;
    }
    for (const auto &[strEvent, strData] : mapLast) {
        SendEvent(pstReq, strEvent, strData);
    }
}

void DrainOutbox(evutil_socket_t iFd, short, void *)
{
    uint64_t ullCount = 0;
    if (read(iFd, &ullCount, sizeof(ullCount)) < 0) {
        // Nothing to read: another wake-up already emptied the counter.
    }
    std::vector<Outgoing> vecOut;
    bool bQuit = false;
    {
        std::lock_guard<std::mutex> stLock(g_stServer.mtxOutbox);
        vecOut.swap(g_stServer.vecOutbox);
        bQuit = g_stServer.bQuit;
    }
    for (const Outgoing &stOut : vecOut) {
        if (stOut.ullId == 0) {
            SendToSubscribers(stOut.strEvent, stOut.strData);
            continue;
        }
        auto it = g_stServer.mapPending.find(stOut.ullId);
        if (it != g_stServer.mapPending.end()) {
            evhttp_request *pstReq = it->second.pstReq;
            g_stServer.mapPending.erase(it);
            SendReply(pstReq, stOut.stReply);
        }
    }
    if (bQuit) {
        event_base_loopbreak(g_stServer.pstBase);
    }
}

void Ping(evutil_socket_t, short, void *)
{
    SendToSubscribers("", "");
}

void ServeAsset(evhttp_request *pstReq, const std::string &strName, bool bSetCookie)
{
    const ConsoleAsset *pstAsset = CONSOLE_FindAsset(strName);
    if (pstAsset == nullptr) {
        SendError(pstReq, 404, "not found");
        return;
    }
    if (bSetCookie) {
        std::string strCookie =
            "kiv_token=" + g_stServer.strToken + "; Path=/; HttpOnly; SameSite=Strict";
        evhttp_add_header(evhttp_request_get_output_headers(pstReq), "Set-Cookie",
                          strCookie.c_str());
    }
    ConsoleReply stReply;
    stReply.strType = pstAsset->pcType;
    stReply.strBody.assign(reinterpret_cast<const char *>(pstAsset->pucData), pstAsset->uiSize);
    SendReply(pstReq, stReply);
}

Json::Value Messages()
{
    Json::Value stAll;
    for (int i = 0; i < MSG_COUNT; ++i) {
        stAll["en"].append(MSG_TextIn(i, false));
        stAll["zh"].append(MSG_TextIn(i, true));
    }
    return stAll;
}

void ServeCached(evhttp_request *pstReq, const char *pcEvent)
{
    std::string strData = CONSOLE_LastEvent(pcEvent);
    if (strData.empty()) {
        SendError(pstReq, 503, "the console is starting");
        return;
    }
    SendReply(pstReq, ConsoleReply{200, "application/json", strData});
}

void ServeMetrics(evhttp_request *pstReq)
{
    std::string strText;
    {
        std::lock_guard<std::mutex> stLock(g_stServer.mtxOutbox);
        strText = g_stServer.mapDocuments["metrics"];
    }
    if (strText.empty()) {
        SendError(pstReq, 503, "the console is starting");
        return;
    }
    SendReply(pstReq, ConsoleReply{200, "text/plain; version=0.0.4; charset=utf-8", strText});
}

// The separate metrics listener: a scraper there needs no token, and nothing else is served.
void OnMetricsRequest(evhttp_request *pstReq, void *)
{
    const char *pcPath = evhttp_uri_get_path(evhttp_request_get_evhttp_uri(pstReq));
    if (evhttp_request_get_command(pstReq) != EVHTTP_REQ_GET ||
        g_strcmp0(pcPath, "/metrics") != 0) {
        SendError(pstReq, 404, "not found");
        return;
    }
    ServeMetrics(pstReq);
}

void OnRequest(evhttp_request *pstReq, void *)
{
    evhttp_cmd_type eCmd = evhttp_request_get_command(pstReq);
    if (eCmd != EVHTTP_REQ_GET && eCmd != EVHTTP_REQ_POST) {
        SendError(pstReq, 405, "method not allowed");
        return;
    }
    // DNS rebinding: a name other than the console's own is another site's page.
    if (!CONSOLE_HostAllowed(HeaderValue(pstReq, "Host"), CONSOLE_HostNames(g_stServer.strBind),
                             g_stServer.usPort)) {
        SendError(pstReq, 421, "the Host header does not name this console");
        return;
    }
    bool bPost = eCmd == EVHTTP_REQ_POST;
    bool bFromQuery = false;
    if (!Authorised(pstReq, bPost, &bFromQuery)) {
        SendError(pstReq, 401, "a valid access token is needed");
        return;
    }
    const char *pcPath = evhttp_uri_get_path(evhttp_request_get_evhttp_uri(pstReq));
    std::string strPath = pcPath != nullptr ? pcPath : "/";
    if (bPost && strPath.rfind("/api/cmd/", 0) == 0) {
        QueueCommand(pstReq, strPath.substr(9));
    } else if (bPost && strPath.rfind("/api/prompt/", 0) == 0) {
        Json::Value stAnswer;
        guint64 ullId = 0;
        if (!g_ascii_string_to_unsigned(strPath.c_str() + 12, 10, 1, G_MAXUINT64, &ullId,
                                        nullptr) ||
            !ParseJson(RequestBody(pstReq), &stAnswer)) {
            SendError(pstReq, 400, "bad prompt answer");
        } else if (!CONSOLE_AnswerPrompt(ullId, stAnswer)) {
            SendError(pstReq, 409, "no such prompt is open");
        } else {
            Json::Value stOk;
            stOk["ok"] = true;
            SendReply(pstReq, ConsoleJson(stOk));
        }
    } else if (bPost) {
        SendError(pstReq, 404, "not found");
    } else if (strPath == "/" || strPath == "/index.html") {
        ServeAsset(pstReq, "index.html", bFromQuery);
    } else if (strPath.rfind("/assets/", 0) == 0) {
        ServeAsset(pstReq, strPath.substr(8), false);
    } else if (strPath == "/api/events") {
        Subscribe(pstReq);
    } else if (strPath == "/api/status") {
        ServeCached(pstReq, "state");
    } else if (strPath == "/api/clients") {
        ServeCached(pstReq, "rows");
    } else if (strPath == "/api/overview") {
        ServeCached(pstReq, "overview");
    } else if (strPath == "/metrics") {
        ServeMetrics(pstReq);
    } else if (strPath == "/api/messages") {
        SendReply(pstReq, ConsoleJson(Messages()));
    } else if (strPath == "/api/fs") {
        SendReply(pstReq, ConsoleJson(CONSOLE_ListDirectory(QueryValue(pstReq, "path"),
                                                            QueryValue(pstReq, "dirs") == "1",
                                                            QueryValue(pstReq, "suffix"))));
    } else if (strPath == "/api/osimage") {
        ConsoleReply stReply;
        if (!CONSOLE_ReadOsPicture(QueryValue(pstReq, "type"), &stReply.strBody)) {
            SendError(pstReq, 404, "no picture");
            return;
        }
        stReply.strType = "image/png";
        SendReply(pstReq, stReply);
    } else {
        SendError(pstReq, 404, "not found");
    }
}

gpointer ConsoleThread(gpointer)
{
    // The console thread's own default context: g_main_context_invoke from here then always
    // queues to the main loop instead of running the command on this thread.
    g_main_context_push_thread_default(g_stServer.pstOwnContext);
    event_base_dispatch(g_stServer.pstBase);
    for (const Pending &stSub : g_stServer.vecSubscribers) {
        evhttp_send_reply_end(stSub.pstReq);
    }
    g_stServer.vecSubscribers.clear();
    g_main_context_pop_thread_default(g_stServer.pstOwnContext);
    return nullptr;
}

void FreeServer()
{
    if (g_stServer.pstPing != nullptr) {
        event_free(g_stServer.pstPing);
    }
    if (g_stServer.pstWake != nullptr) {
        event_free(g_stServer.pstWake);
    }
    if (g_stServer.pstMetricsHttp != nullptr) {
        evhttp_free(g_stServer.pstMetricsHttp);
    }
    if (g_stServer.pstHttp != nullptr) {
        evhttp_free(g_stServer.pstHttp);
    }
    if (g_stServer.pstBase != nullptr) {
        event_base_free(g_stServer.pstBase);
    }
    if (g_stServer.iWakeFd >= 0) {
        close(g_stServer.iWakeFd);
    }
    if (g_stServer.pstOwnContext != nullptr) {
        g_main_context_unref(g_stServer.pstOwnContext);
    }
    g_stServer.pstPing = nullptr;
    g_stServer.pstWake = nullptr;
    g_stServer.pstHttp = nullptr;
    g_stServer.pstMetricsHttp = nullptr;
    g_stServer.pstBase = nullptr;
    g_stServer.iWakeFd = -1;
    g_stServer.pstOwnContext = nullptr;
    g_stServer.mapPending.clear();
    g_stServer.vecOutbox.clear();
    g_stServer.mapLastEvent.clear();
    g_stServer.mapDocuments.clear();
}

}  // namespace

ConsoleReply ConsoleJson(const Json::Value &stValue, int iCode)
{
    Json::StreamWriterBuilder stBuilder;
    stBuilder["indentation"] = "";
    return ConsoleReply{iCode, "application/json", Json::writeString(stBuilder, stValue)};
}

void CONSOLE_Broadcast(const std::string &strEvent, const std::string &strData)
{
    {
        std::lock_guard<std::mutex> stLock(g_stServer.mtxOutbox);
        if (g_stServer.iWakeFd < 0) {
            return;
        }
        g_stServer.mapLastEvent[strEvent] = strData;
    }
    Outgoing stOut;
    stOut.strEvent = strEvent;
    stOut.strData = strData;
    Post(std::move(stOut));
}

void CONSOLE_BroadcastChanges(const std::string &strSnapshotEvent, const std::string &strSnapshot,
                              const std::vector<std::pair<std::string, std::string>> &vecEvents)
{
    std::lock_guard<std::mutex> stLock(g_stServer.mtxOutbox);
    if (g_stServer.iWakeFd < 0) {
        return;
    }
    // The snapshot changes together with the queued events, so that a tab subscribing in
    // between gets either the old snapshot and the events, or the new snapshot.
    g_stServer.mapLastEvent[strSnapshotEvent] = strSnapshot;
    for (const auto &[strEvent, strData] : vecEvents) {
        Outgoing stOut;
        stOut.strEvent = strEvent;
        stOut.strData = strData;
        g_stServer.vecOutbox.push_back(std::move(stOut));
    }
    WakeLocked();
}

void CONSOLE_SetDocument(const std::string &strName, const std::string &strText)
{
    std::lock_guard<std::mutex> stLock(g_stServer.mtxOutbox);
    g_stServer.mapDocuments[strName] = strText;
}

std::string CONSOLE_LastEvent(const std::string &strEvent)
{
    std::lock_guard<std::mutex> stLock(g_stServer.mtxOutbox);
    auto it = g_stServer.mapLastEvent.find(strEvent);
    return it != g_stServer.mapLastEvent.end() ? it->second : "";
}

namespace {

bool BindMetrics(const std::string &strAddrPort, std::string *pstrError)
{
    size_t uiColon = strAddrPort.rfind(':');
    std::string strAddress = strAddrPort.substr(0, uiColon);
    auto usPort = uint16_t(g_ascii_strtoull(strAddrPort.c_str() + uiColon + 1, nullptr, 10));
    g_stServer.pstMetricsHttp = evhttp_new(g_stServer.pstBase);
    evhttp_set_max_body_size(g_stServer.pstMetricsHttp, 0);
    evhttp_set_max_headers_size(g_stServer.pstMetricsHttp, MAX_HEADERS);
    evhttp_set_allowed_methods(g_stServer.pstMetricsHttp, EVHTTP_REQ_GET);
    evhttp_set_gencb(g_stServer.pstMetricsHttp, OnMetricsRequest, nullptr);
    if (evhttp_bind_socket(g_stServer.pstMetricsHttp, strAddress.c_str(), usPort) != 0) {
        *pstrError = "cannot listen for metrics on " + strAddrPort + ": " + strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

bool HTTPC_Start(const std::string &strAddress, uint16_t usPort, const std::string &strToken,
                 const std::string &strMetrics, std::string *pstrError)
{
    g_stServer.strToken = strToken;
    g_stServer.strBind = strAddress;
    g_stServer.usPort = usPort;
    g_stServer.bQuit = false;
    g_stServer.pstBase = event_base_new();
    g_stServer.iWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (g_stServer.pstBase == nullptr || g_stServer.iWakeFd < 0) {
        *pstrError = "cannot create the console's event loop";
        FreeServer();
        return false;
    }
    g_stServer.pstHttp = evhttp_new(g_stServer.pstBase);
    evhttp_set_max_body_size(g_stServer.pstHttp, MAX_BODY);
    evhttp_set_max_headers_size(g_stServer.pstHttp, MAX_HEADERS);
    evhttp_set_allowed_methods(g_stServer.pstHttp, EVHTTP_REQ_GET | EVHTTP_REQ_POST);
    evhttp_set_gencb(g_stServer.pstHttp, OnRequest, nullptr);
    if (evhttp_bind_socket(g_stServer.pstHttp, strAddress.c_str(), usPort) != 0) {
        *pstrError = "cannot listen on " + strAddress + ":" + std::to_string(usPort) + ": " +
                     strerror(errno);
        FreeServer();
        return false;
    }
    if (!strMetrics.empty() && !BindMetrics(strMetrics, pstrError)) {
        FreeServer();
        return false;
    }
    g_stServer.pstWake = event_new(g_stServer.pstBase, g_stServer.iWakeFd, EV_READ | EV_PERSIST,
                                   DrainOutbox, nullptr);
    event_add(g_stServer.pstWake, nullptr);
    g_stServer.pstPing = event_new(g_stServer.pstBase, -1, EV_PERSIST, Ping, nullptr);
    timeval stPing{SSE_PING_SECONDS, 0};
    event_add(g_stServer.pstPing, &stPing);
    g_stServer.pstOwnContext = g_main_context_new();
    g_stServer.pstThread = g_thread_new("CONSOLE", ConsoleThread, nullptr);
    return true;
}

void HTTPC_Stop()
{
    if (g_stServer.pstThread == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> stLock(g_stServer.mtxOutbox);
        g_stServer.bQuit = true;
        WakeLocked();
    }
    g_thread_join(g_stServer.pstThread);
    g_stServer.pstThread = nullptr;
    std::lock_guard<std::mutex> stLock(g_stServer.mtxOutbox);
    FreeServer();
}
