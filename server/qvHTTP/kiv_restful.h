// The REST status interface: a listener thread "REST" on TCP port 18000 (for the whole life of
// the program) and a pool of eight workers, each answering one request per connection. The
// boot-menu tools on the clients ask whether a deployment runs and what it serves, and notify the
// server of a client's network settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

constexpr uint16_t KIV_REST_DEFAULT_PORT = 18000;
constexpr unsigned KIV_REST_WORKERS = 8;
// Accepted connections waiting for a worker; more are closed at once.
constexpr unsigned KIV_REST_MAX_WAITING = 64;
// The longest request read; a request line that does not end within it is refused.
constexpr size_t KIV_REST_MAX_REQUEST = 2047;

// What "pim_get_sysinfo" reports, as the controller last published it.
struct KIV_REST_SysInfo {
    std::string strVersion;
    bool bRunning = false;
    uint16_t usHttpPort = 0;
    std::string strOsName;
    bool bSupportUefi = false;
    bool bIscsiBios = false;
    bool bIscsiUefi = false;
};

// Built by "notify_pim_ks" and handed to the controller's notification queue (code 1072).
struct KIV_REST_KsNotify {
    uint32_t uiAddress = 0;
    uint32_t uiMask = 0;
    uint32_t uiGateway = 0;
    uint8_t aucMac[6] = {};
    uint32_t uiUefi = 0;
};

// One request: the text before "HTTP/1", the version 1-9, the command and its parameters.
struct KIV_REST_Request {
    std::string strText;
    int iVersion = 0;
    std::string strCommand;
    std::map<std::string, std::string> mapParams;
};

// Runs on a worker thread; copies the record and returns at once (never waits for the main
// thread).
using KIV_REST_NotifyFunc = void (*)(const KIV_REST_KsNotify *pstNotify);

// Replaces the published system information; safe from any thread.
void KIV_REST_Publish(const KIV_REST_SysInfo &stInfo);
void KIV_REST_SetNotifyFunc(KIV_REST_NotifyFunc pfnNotify);

// Parses a received request: false when it does not carry the URL form
// "(GET|HEAD|DELETE|POST) /rest/v[1-9]/<command>".
bool KIV_REST_ParseRequest(const char *pcText, KIV_REST_Request *pstRequest);
// The JSON reply of a request, empty for an unknown command (no reply).
std::string KIV_REST_Answer(const KIV_REST_Request &stRequest);
// The whole HTTP reply carrying a JSON text: status 200, connection close.
std::string KIV_HTTP_ReplyOKJson(const std::string &strJson);
// Sends that reply on a socket; 0 or -1.
int KIV_HTTP_SendReplyOKJson(int iSocket, const char *pcJson, size_t uiLen);

// Starts the listener on usPort (0: KIV_REST_DEFAULT_PORT); returns 0. A socket that cannot be
// opened or bound is logged and leaves the interface off: QVHTTP_ERR_PORT_IN_USE when another
// program holds the port, QVHTTP_ERR_FAILED otherwise. Needs the HTTP log sinks to be heard.
int KIV_REST_Start(uint16_t usPort);
// Ends the listener and waits for the workers; for the program's exit.
void KIV_REST_Stop();
