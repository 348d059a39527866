#include "qvhttp_util.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <event2/http.h>
#include <glib.h>
#include <poll.h>
#include <sys/socket.h>

QV_LogSinks g_stQvHttpLogSinks;

namespace {

std::atomic<QVHTTP_EventFunc> g_pfnEvent{nullptr};
std::atomic<QVHTTP_AccessFunc> g_pfnAccess{nullptr};
GRegex *g_pstReqLineRegex = nullptr;
GRegex *g_pstRangeRegex = nullptr;
GRegex *g_pstKeepRegex = nullptr;

// How long a send may wait for a full socket to drain before the peer is given up.
constexpr int SEND_WAIT_MS = 60000;

struct ContentTypeEntry {
    const char *pcExt;
    const char *pcType;
};

// Searched in order; the first extension found anywhere in the path decides.
constexpr ContentTypeEntry g_astContentTypes[] = {
    {".css", "text/css"},        {".gif", "image/gif"},
    {".html", "text/html"},      {".ico", "image/x-icon"},
    {".jpeg", "image/jpeg"},     {".jpg", "image/jpeg"},
    {".js", "text/javascript"},  {".json", "application/json"},
    {".pdf", "application/pdf"}, {".png", "image/png"},
    {".svg", "image/svg+xml"},   {".tiff", "image/tiff"},
    {".txt", "text/plain"},      {".wav", "audio/x-wav"},
    {".wma", "audio/x-ms-wma"},  {".wmv", "video/x-ms-wmv"},
    {".xml", "text/xml"},        {".mht", "text/html"},
    {".mp4", "video/mpeg4"},     {".swf", "application/x-shockwave-flash"},
};

// True when every "%" starts two hex digits that do not encode a NUL byte.
bool IsValidEscapes(const char *pcText)
{
    for (const char *p = pcText; *p != '\0'; ++p) {
        if (*p != '%') {
            continue;
        }
        if (!g_ascii_isxdigit(p[1]) || !g_ascii_isxdigit(p[2])) {
            return false;
        }
        if (p[1] == '0' && p[2] == '0') {
            return false;
        }
        p += 2;
    }
    return true;
}

// Percent-decodes pcText in place ("+" stays); the result is never longer than the input.
void DecodeInPlace(char *pcText, size_t uiSize)
{
    char *pcDecoded = evhttp_uridecode(pcText, 0, nullptr);
    if (pcDecoded != nullptr) {
        g_strlcpy(pcText, pcDecoded, uiSize);
        free(pcDecoded);
    }
}

// "Thu, 10 Dec 2026 00:49:19 GMT" in English whatever the process locale.
void FormatDate(char *pcText, size_t uiSize)
{
    static const char *const apcDay[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const apcMonth[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    time_t tNow = time(nullptr);
    struct tm stTm;
    gmtime_r(&tNow, &stTm);
    snprintf(pcText, uiSize, "%s, %02d %s %04d %02d:%02d:%02d GMT", apcDay[stTm.tm_wday],
             stTm.tm_mday, apcMonth[stTm.tm_mon], stTm.tm_year + 1900, stTm.tm_hour, stTm.tm_min,
             stTm.tm_sec);
}

}  // namespace

void QVHTTP_Log(unsigned uiLevel, const char *pcFormat, ...)
{
    va_list args;
    va_start(args, pcFormat);
    QV_LogSinksEmitV(g_stQvHttpLogSinks, uiLevel, pcFormat, args);
    va_end(args);
}

void QVHTTP_SetEventFunc(QVHTTP_EventFunc pfnEvent)
{
    g_pfnEvent = pfnEvent;
}

bool QVHTTP_UTIL_IsTransientAcceptError(int iError)
{
    return iError == EINTR || iError == ECONNABORTED || iError == EMFILE || iError == ENFILE ||
           iError == ENOBUFS || iError == ENOMEM || iError == EPROTO;
}

void QVHTTP_SetAccessFunc(QVHTTP_AccessFunc pfnAccess)
{
    g_pfnAccess = pfnAccess;
}

bool QVHTTP_AccessAllowed(uint32_t uiClientIp, const char *pcHostPath, bool bIsDir)
{
    QVHTTP_AccessFunc pfnAccess = g_pfnAccess;
    return pfnAccess == nullptr || pfnAccess(uiClientIp, pcHostPath, bIsDir);
}

void QVHTTP_RaiseEvent(const QVHTTP_RequestEvent &stEvent)
{
    QVHTTP_EventFunc pfnEvent = g_pfnEvent;
    if (pfnEvent != nullptr) {
        pfnEvent(&stEvent);
    }
}

void QVHTTP_UTIL_Init()
{
    if (g_pstReqLineRegex == nullptr) {
        // Heads are bytes off the network, not UTF-8: every regex here matches raw bytes.
        // Anchored: the request line is the first line of a head and nothing else. The query
        // may hold spaces (agents report SMBIOS strings unescaped): the last " HTTP/1.x" ends it.
        g_pstReqLineRegex =
            g_regex_new("^(GET|HEAD) ([^? \\r\\n]*)(\\?[^\\r\\n]*)? HTTP/1\\.([01])(\\r|\\n|$)",
                        GRegexCompileFlags(G_REGEX_RAW | G_REGEX_OPTIMIZE | G_REGEX_ANCHORED),
                        GRegexMatchFlags(0), nullptr);
        // Header names match whole lines and regardless of case.
        g_pstRangeRegex = g_regex_new("^Range: *bytes=(\\d+)-(\\d*)",
                                      GRegexCompileFlags(G_REGEX_RAW | G_REGEX_OPTIMIZE |
                                                         G_REGEX_MULTILINE | G_REGEX_CASELESS),
                                      GRegexMatchFlags(0), nullptr);
        g_pstKeepRegex = g_regex_new("^Connection: *(close|keep-alive)\\b",
                                     GRegexCompileFlags(G_REGEX_RAW | G_REGEX_OPTIMIZE |
                                                        G_REGEX_MULTILINE | G_REGEX_CASELESS),
                                     GRegexMatchFlags(0), nullptr);
    }
}

uint32_t QVHTTP_UTIL_GetReqURI(const char *pcRequest, char *pcURI, size_t uiSize)
{
    g_assert(pcRequest != nullptr && pcURI != nullptr && uiSize > 0);
    QVHTTP_UTIL_Init();
    GMatchInfo *pstMatch = nullptr;
    uint32_t uiRet = QVHTTP_ERR_FAILED;
    if (g_regex_match(g_pstReqLineRegex, pcRequest, GRegexMatchFlags(0), &pstMatch)) {
        gchar *pcPath = g_match_info_fetch(pstMatch, 2);
        g_strlcpy(pcURI, pcPath, uiSize);
        g_free(pcPath);
        if (IsValidEscapes(pcURI)) {
            DecodeInPlace(pcURI, uiSize);
            uiRet = 0;
        }
    }
    g_match_info_free(pstMatch);
    if (uiRet != 0) {
        pcURI[0] = '\0';
    }
    return uiRet;
}

void QVHTTP_UTIL_DecodeReqLine(char *pcText, size_t uiSize)
{
    char *pcEnd = g_strrstr(pcText, " HTTP/");
    if (pcEnd != nullptr) {
        *pcEnd = '\0';
    }
    DecodeInPlace(pcText, uiSize);
}

uint32_t QVHTTP_UTIL_IsKeepAlive(const char *pcHead)
{
    QVHTTP_UTIL_Init();
    const char *pcLineEnd = strpbrk(pcHead, "\r\n");
    std::string strLine(pcHead, pcLineEnd != nullptr ? size_t(pcLineEnd - pcHead) : strlen(pcHead));
    uint32_t uiKeep = g_str_has_suffix(strLine.c_str(), " HTTP/1.1") ? 1 : 0;
    GMatchInfo *pstMatch = nullptr;
    if (pcLineEnd != nullptr &&
        g_regex_match(g_pstKeepRegex, pcLineEnd, GRegexMatchFlags(0), &pstMatch)) {
        gchar *pcValue = g_match_info_fetch(pstMatch, 1);
        uiKeep = g_ascii_strcasecmp(pcValue, "close") == 0 ? 0 : 1;
        g_free(pcValue);
    }
    g_match_info_free(pstMatch);
    return uiKeep;
}

uint32_t QVHTTP_UTIL_ParseHead(const char *pcHead, QVHTTP_Request *pstReq)
{
    QVHTTP_UTIL_Init();
    *pstReq = QVHTTP_Request();
    pstReq->uiKeepAlive = QVHTTP_UTIL_IsKeepAlive(pcHead);
    char szPath[QVHTTP_URI_SIZE];
    if (QVHTTP_UTIL_GetReqURI(pcHead, szPath, sizeof(szPath)) != 0) {
        return QVHTTP_ERR_FAILED;
    }
    pstReq->strPath = szPath;
    pstReq->bHead = g_str_has_prefix(pcHead, "HEAD ");
    const char *pcLineEnd = strpbrk(pcHead, "\r\n");
    std::string strLine(pcHead, pcLineEnd != nullptr ? size_t(pcLineEnd - pcHead) : strlen(pcHead));
    size_t uiQuery = strLine.find('?');
    size_t uiVersion = strLine.rfind(" HTTP/");
    if (uiQuery != std::string::npos && uiQuery < uiVersion) {
        pstReq->strQuery = strLine.substr(uiQuery + 1, uiVersion - uiQuery - 1);
    }
    char szLine[512];
    g_strlcpy(szLine, strLine.c_str(), sizeof(szLine));
    QVHTTP_UTIL_DecodeReqLine(szLine, sizeof(szLine));
    pstReq->strLine = szLine;
    if (pcLineEnd != nullptr) {
        int64_t llEnd = 0;
        // Read against size 0: an open end comes back as -1, which no written end can be.
        if (QVHTTP_UTIL_GetFileRangeValue(pcLineEnd, 0, &pstReq->llRangeStart, &llEnd) == 0) {
            pstReq->llRangeEnd = llEnd < 0 ? QVHTTP_RANGE_ABSENT : llEnd;
        }
    }
    return 0;
}

uint32_t QVHTTP_UTIL_RangeFor(const QVHTTP_Request &stReq, uint64_t ullSize, int64_t *pllStart,
                              int64_t *pllEnd)
{
    *pllStart = stReq.llRangeStart;
    *pllEnd = stReq.llRangeStart == QVHTTP_RANGE_ABSENT ? QVHTTP_RANGE_ABSENT
              : stReq.llRangeEnd == QVHTTP_RANGE_ABSENT ? static_cast<int64_t>(ullSize) - 1
                                                        : stReq.llRangeEnd;
    return stReq.llRangeStart == QVHTTP_RANGE_ABSENT ? uint32_t(QVHTTP_ERR_FAILED) : 0u;
}

uint32_t QVHTTP_UTIL_GetFileRangeValue(const char *pcRequest, uint64_t ullSize, int64_t *pllStart,
                                       int64_t *pllEnd)
{
    QVHTTP_UTIL_Init();
    *pllStart = QVHTTP_RANGE_ABSENT;
    *pllEnd = QVHTTP_RANGE_ABSENT;
    GMatchInfo *pstMatch = nullptr;
    uint32_t uiRet = QVHTTP_ERR_FAILED;
    if (g_regex_match(g_pstRangeRegex, pcRequest, GRegexMatchFlags(0), &pstMatch)) {
        gchar *pcFirst = g_match_info_fetch(pstMatch, 1);
        gchar *pcLast = g_match_info_fetch(pstMatch, 2);
        // Numbers past the 64-bit range saturate, so they land beyond any file.
        *pllStart = g_ascii_strtoll(pcFirst, nullptr, 10);
        *pllEnd = pcLast[0] != '\0' ? g_ascii_strtoll(pcLast, nullptr, 10)
                                    : static_cast<int64_t>(ullSize) - 1;
        g_free(pcFirst);
        g_free(pcLast);
        uiRet = 0;
    }
    g_match_info_free(pstMatch);
    return uiRet;
}

void QVHTTP_UTIL_GetContentType(const char *pcPath, size_t uiSize, char *pcType)
{
    const char *pcFound = nullptr;
    for (const ContentTypeEntry &stEntry : g_astContentTypes) {
        if (strstr(pcPath, stEntry.pcExt) != nullptr) {
            pcFound = stEntry.pcType;
            break;
        }
    }
    if (pcFound == nullptr) {
        // UEFI HTTP boot runs only what is served as "application/efi" or named "*.efi"; our
        // loaders are named "ipxe.efi.0", "grub2.x64efi.all.0", ...
        const char *pcSlash = strrchr(pcPath, '/');
        g_autofree gchar *pcName = g_ascii_strdown(pcSlash != nullptr ? pcSlash + 1 : pcPath, -1);
        bool bEfi = g_str_has_suffix(pcName, "efi") || strstr(pcName, "efi.") != nullptr;
        pcFound = bEfi ? "application/efi" : "application/misc";
    }
    g_strlcpy(pcType, pcFound, uiSize);
}

int QVHTTP_UTIL_FmtReplyHead(const QVHTTP_ReplyHdr &stHdr, size_t uiSize, char *pcText)
{
    char szDate[64];
    FormatDate(szDate, sizeof(szDate));
    const char *pcConn = stHdr.uiKeepAlive ? "Keep-Alive" : "Close";
    int iLen;
    if (stHdr.uiStatus != 200 && stHdr.uiStatus != 206) {
        iLen = snprintf(pcText, uiSize,
                        "HTTP/1.1 %u %s \r\nContent-Type: %s\r\nConnection: %s\r\nDate: %s\r\n"
                        "Content-Length: 5\r\n\r\nERROR",
                        stHdr.uiStatus, stHdr.szReason, stHdr.szContentType, pcConn, szDate);
    } else if (stHdr.llRangeStart != QVHTTP_RANGE_ABSENT) {
        iLen = snprintf(
            pcText, uiSize,
            "HTTP/1.1 %u %s \r\nContent-Type: %s\r\nConnection: %s\r\nDate: %s\r\n"
            "Content-Length: %lld\r\nContent-Range: bytes %lld-%lld/%lld\r\n\r\n",
            stHdr.uiStatus, stHdr.szReason, stHdr.szContentType, pcConn, szDate,
            static_cast<long long>(stHdr.llContentLen), static_cast<long long>(stHdr.llRangeStart),
            static_cast<long long>(stHdr.llRangeEnd), static_cast<long long>(stHdr.llTotalSize));
    } else {
        iLen = snprintf(pcText, uiSize,
                        "HTTP/1.1 %u %s \r\nContent-Type: %s\r\nConnection: %s\r\nDate: %s\r\n"
                        "Content-Length: %lld\r\n\r\n",
                        stHdr.uiStatus, stHdr.szReason, stHdr.szContentType, pcConn, szDate,
                        static_cast<long long>(stHdr.llContentLen));
    }
    if (iLen < 0) {
        return 0;
    }
    return static_cast<size_t>(iLen) < uiSize ? iLen : static_cast<int>(uiSize - 1);
}

bool QVHTTP_UTIL_SendAll(int iSock, const void *pData, size_t uiLen)
{
    const char *pcData = static_cast<const char *>(pData);
    while (uiLen > 0) {
        ssize_t iSent = send(iSock, pcData, uiLen, MSG_NOSIGNAL);
        if (iSent > 0) {
            pcData += iSent;
            uiLen -= static_cast<size_t>(iSent);
            continue;
        }
        if (iSent < 0 && errno == EINTR) {
            continue;
        }
        if (iSent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd stPoll = {iSock, POLLOUT, 0};
            if (poll(&stPoll, 1, SEND_WAIT_MS) > 0) {
                continue;
            }
        }
        return false;
    }
    return true;
}

void QVHTTP_UTIL_SendReplyErr(int iSock, const QVHTTP_ReplyHdr &stHdr)
{
    char szHead[2048];
    int iLen = QVHTTP_UTIL_FmtReplyHead(stHdr, sizeof(szHead), szHead);
    QVHTTP_UTIL_SendAll(iSock, szHead, static_cast<size_t>(iLen));
}

bool QVHTTP_UTIL_GetMacParam(const char *pcText, uint8_t aucMac[6])
{
    const char *pcMac = strstr(pcText, "mac=");
    if (pcMac == nullptr) {
        return false;
    }
    pcMac += strlen("mac=");
    uint8_t aucRead[6];
    for (int i = 0; i < 6; ++i) {
        const char *pcHex = pcMac + 3 * i;
        // Bounded: a shorter text stops at its NUL before the next digit pair is read.
        if (!g_ascii_isxdigit(pcHex[0]) || !g_ascii_isxdigit(pcHex[1]) ||
            (i < 5 && pcHex[2] == '\0')) {
            return false;
        }
        aucRead[i] = static_cast<uint8_t>(g_ascii_xdigit_value(pcHex[0]) * 16 +
                                          g_ascii_xdigit_value(pcHex[1]));
    }
    memcpy(aucMac, aucRead, sizeof(aucRead));
    return true;
}

void QVHTTP_UTIL_StripSlash(char *pcPath)
{
    size_t uiLen = strlen(pcPath);
    if (uiLen > 0 && pcPath[uiLen - 1] == '/') {
        pcPath[uiLen - 1] = '\0';
    }
}
