// Text layer of the HTTP service: request-line and header parsing, content types, reply heads,
// and the module's log function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "qv_log_sink.h"

enum : uint32_t {
    QVHTTP_ERR_FAILED = 0x2001,
    QVHTTP_ERR_NOT_FOUND = 0x2005,
    QVHTTP_ERR_EXIST = 0x2007,
    QVHTTP_ERR_NO_SLOT = 0x2009,
    QVHTTP_ERR_PORT_IN_USE = 0x200A,
};

// Log levels of the module's log function.
enum : unsigned { QVHTTP_DBG = 0, QVHTTP_DIG = 1, QVHTTP_LOG = 2 };

// "No range" marker of the range fields: the smallest 64-bit value.
constexpr int64_t QVHTTP_RANGE_ABSENT = INT64_MIN;

// Size of the service's URI buffers.
constexpr size_t QVHTTP_URI_SIZE = 1024;

struct QVHTTP_ReplyHdr {
    uint32_t uiStatus = 200;
    int64_t llContentLen = 0;
    uint32_t uiKeepAlive = 1;
    int64_t llRangeStart = QVHTTP_RANGE_ABSENT;
    int64_t llRangeEnd = 0;
    int64_t llTotalSize = 0;
    char szReason[128] = "OK";
    char szContentType[64] = "text/html";
};

// The sinks the module logs through (installed by QVHTTP_SetLogFunc).
extern QV_LogSinks g_stQvHttpLogSinks;
void QVHTTP_Log(unsigned uiLevel, const char *pcFormat, ...) __attribute__((format(printf, 2, 3)));

enum : uint32_t {
    QVHTTP_EVT_START = 1,     // a plain download was accepted
    QVHTTP_EVT_PROGRESS = 2,  // one piece of a download above 5 MiB was sent
    QVHTTP_EVT_END = 3,       // the request was answered (status 200, 404 or 405)
};

struct QVHTTP_RequestEvent {
    uint32_t uiCode;
    uint32_t uiClientIp;  // host order
    uint32_t uiClientPort;
    uint64_t ullTotalLen;
    uint64_t ullRemainLen;
    uint32_t uiStatus;
    char szURI[512];      // decoded URI, "%s [%lld-%lld]" once a range was read
    char szRequest[512];  // request line before " HTTP/", decoded
};

// Runs on connection threads: it must copy the event and return quickly.
using QVHTTP_EventFunc = void (*)(const QVHTTP_RequestEvent *pstEvent);

void QVHTTP_SetEventFunc(QVHTTP_EventFunc pfnEvent);

// accept() errors after which a listener goes on (after a pause for the resource ones): a
// descriptor or buffer shortage ends when connections end.
bool QVHTTP_UTIL_IsTransientAcceptError(int iError);

// Asked before a file is sent or a folder listed, with the host path the request resolved to:
// false refuses it (404). Set by the deployment layer, which knows whose files are whose; runs
// on connection threads.
using QVHTTP_AccessFunc = bool (*)(uint32_t uiClientIp, const char *pcHostPath, bool bIsDir);
void QVHTTP_SetAccessFunc(QVHTTP_AccessFunc pfnAccess);
// True when no function is set or the set one allows the request.
bool QVHTTP_AccessAllowed(uint32_t uiClientIp, const char *pcHostPath, bool bIsDir);
// Raises an event through the installed callback, if any.
void QVHTTP_RaiseEvent(const QVHTTP_RequestEvent &stEvent);

// Compiles the module's regular expressions; called once from QVHTTP_Init.
void QVHTTP_UTIL_Init();

// One request, parsed once from its head; everything after the parse reads this record.
struct QVHTTP_Request {
    bool bHead = false;    // HEAD, else GET
    std::string strPath;   // decoded path without the query
    std::string strQuery;  // the text after "?", as sent
    std::string strLine;   // request line before " HTTP/", decoded (for events)
    int64_t llRangeStart = QVHTTP_RANGE_ABSENT;  // first byte of the "Range" header
    int64_t llRangeEnd = QVHTTP_RANGE_ABSENT;    // its last byte; absent for an open end
    uint32_t uiKeepAlive = 1;
};

// Parses a head (request line, header lines, the blank line). The request line must be the
// head's first line; QVHTTP_ERR_FAILED when it is not a GET or HEAD request line, yet the
// keep-alive flag is still set from the head.
uint32_t QVHTTP_UTIL_ParseHead(const char *pcHead, QVHTTP_Request *pstReq);

// The request's range against a body of ullSize bytes (an open end becomes size - 1);
// QVHTTP_ERR_FAILED, both QVHTTP_RANGE_ABSENT, without a range.
uint32_t QVHTTP_UTIL_RangeFor(const QVHTTP_Request &stReq, uint64_t ullSize, int64_t *pllStart,
                              int64_t *pllEnd);

// Path of a GET or HEAD request line (the text's first line) without its query, percent-decoded
// ("+" stays). Fails for a missing request line, a malformed escape or an escape that decodes
// to a NUL byte.
uint32_t QVHTTP_UTIL_GetReqURI(const char *pcRequest, char *pcURI, size_t uiSize);

// Cuts the request line at " HTTP/" and percent-decodes the rest in place (text of size uiSize).
void QVHTTP_UTIL_DecodeReqLine(char *pcText, size_t uiSize);

// HTTP/1.1 stays open unless a "Connection: close" header says otherwise; HTTP/1.0 (or a head
// without a version) closes unless it says "Connection: keep-alive".
uint32_t QVHTTP_UTIL_IsKeepAlive(const char *pcHead);

// First byte range of a "Range" header line among pcHeaders: start, and end (size - 1 when
// open). Both are QVHTTP_RANGE_ABSENT and the result QVHTTP_ERR_FAILED without one.
uint32_t QVHTTP_UTIL_GetFileRangeValue(const char *pcRequest, uint64_t ullSize, int64_t *pllStart,
                                       int64_t *pllEnd);

// Media type for a path: the first table extension found anywhere in it, else "application/efi"
// for a UEFI executable by its name (ending "efi", or with "efi." in it), else
// "application/misc".
void QVHTTP_UTIL_GetContentType(const char *pcPath, size_t uiSize, char *pcType);

// Formats the reply head into pcText (cut to uiSize) and returns its length.
int QVHTTP_UTIL_FmtReplyHead(const QVHTTP_ReplyHdr &stHdr, size_t uiSize, char *pcText);

// Sends the whole buffer on a socket, waiting while it is full; false when the peer is gone.
bool QVHTTP_UTIL_SendAll(int iSock, const void *pData, size_t uiLen);

// Formats the error form of stHdr and sends it.
void QVHTTP_UTIL_SendReplyErr(int iSock, const QVHTTP_ReplyHdr &stHdr);

// Reads the "mac=" parameter of a query (six two-digit hex numbers joined by any separator).
// False, with nothing written, when it is absent or malformed.
bool QVHTTP_UTIL_GetMacParam(const char *pcText, uint8_t aucMac[6]);

// Removes one trailing "/".
void QVHTTP_UTIL_StripSlash(char *pcPath);
