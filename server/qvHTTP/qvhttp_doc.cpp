#include "qvhttp_doc.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <event2/buffer.h>
#include <event2/event.h>
#include <fcntl.h>
#include <glib.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "iso_image.h"
#include "qv_roots.h"

namespace {

// Largest amount handed to the kernel in one sendfile call; it takes what the socket can hold.
constexpr size_t SENDFILE_CHUNK = 16 * 1024 * 1024;
// How far ahead a virtual ISO reply looks for unchanged pieces before one sendfile call.
constexpr uint64_t VIRTISO_PLAIN_SPAN = 4 * 1024 * 1024;

// State of one file reply.
struct QVHTTP_SendCtx {
    std::string strPending;  // head and data not yet taken by the socket
    size_t uiPendingOff = 0;
    int iFd = -1;
    int iSock = -1;
    uint64_t ullBase = 0;    // file offset of the first byte of the reply
    uint64_t ullLength = 0;  // bytes of the reply body
    uint64_t ullPos = 0;     // body bytes produced so far
    uint64_t ullPiecesReported = 0;
    bool bHeadSent = false;
    bool bFailed = false;
    uint8_t aucBuf[QVHTTP_PIECE_SIZE];
    event_base *pstBase = nullptr;
    QVHTTP_RequestEvent *pstEvent = nullptr;
    const VirtIsoRequest *pstVirtIso = nullptr;
};

// One progress event for every piece completed since the last call.
void ReportPieces(QVHTTP_SendCtx &stCtx)
{
    if (stCtx.pstEvent == nullptr) {
        return;
    }
    uint64_t ullDone = stCtx.ullPos == stCtx.ullLength
                           ? (stCtx.ullLength + QVHTTP_PIECE_SIZE - 1) / QVHTTP_PIECE_SIZE
                           : stCtx.ullPos / QVHTTP_PIECE_SIZE;
    while (stCtx.ullPiecesReported < ullDone) {
        ++stCtx.ullPiecesReported;
        uint64_t ullSent = std::min(stCtx.ullPiecesReported * QVHTTP_PIECE_SIZE, stCtx.ullLength);
        stCtx.pstEvent->uiCode = QVHTTP_EVT_PROGRESS;
        stCtx.pstEvent->ullRemainLen = stCtx.ullLength - ullSent;
        QVHTTP_RaiseEvent(*stCtx.pstEvent);
    }
}

// Reads the next piece (with the head in front the first time) into the pending text.
bool ReadPiece(QVHTTP_SendCtx &stCtx)
{
    size_t uiLen =
        static_cast<size_t>(std::min<uint64_t>(stCtx.ullLength - stCtx.ullPos, QVHTTP_PIECE_SIZE));
    uint64_t ullOffset = stCtx.ullBase + stCtx.ullPos;
    ssize_t iRead = pread(stCtx.iFd, stCtx.aucBuf, uiLen, static_cast<off_t>(ullOffset));
    if (iRead != static_cast<ssize_t>(uiLen)) {
        return false;
    }
    if (stCtx.pstVirtIso != nullptr) {
        QVHTTP_VIRTISO_FillData(*stCtx.pstVirtIso, ullOffset, stCtx.aucBuf, uiLen);
    }
    if (stCtx.bHeadSent) {
        stCtx.strPending.clear();
    }
    stCtx.uiPendingOff = 0;
    stCtx.strPending.append(reinterpret_cast<const char *>(stCtx.aucBuf), uiLen);
    stCtx.bHeadSent = true;
    stCtx.ullPos += uiLen;
    return true;
}

// Bytes from the current position that can leave unchanged: all that remain (up to one
// sendfile call) for a plain file; for a virtual ISO, the pieces before the next replaced one.
uint64_t PlainSpan(const QVHTTP_SendCtx &stCtx)
{
    uint64_t ullMax = std::min<uint64_t>(stCtx.ullLength - stCtx.ullPos, SENDFILE_CHUNK);
    if (stCtx.pstVirtIso == nullptr) {
        return ullMax;
    }
    uint64_t ullSpan = 0;
    while (ullSpan < std::min<uint64_t>(ullMax, VIRTISO_PLAIN_SPAN)) {
        uint64_t ullFirst = stCtx.ullBase + stCtx.ullPos + ullSpan;
        uint64_t ullPiece = std::min<uint64_t>(ullMax - ullSpan, QVHTTP_PIECE_SIZE);
        if (QVHTTP_VIRTISO_RangeNeedsData(static_cast<int64_t>(ullFirst),
                                          static_cast<int64_t>(ullFirst + ullPiece - 1),
                                          *stCtx.pstVirtIso)) {
            break;
        }
        ullSpan += ullPiece;
    }
    return ullSpan;
}

// Lets the kernel copy uiLen bytes straight to the socket; 0 = try later, -1 = failed.
int SendFileDirect(QVHTTP_SendCtx &stCtx, uint64_t ullLen)
{
    off_t llOffset = static_cast<off_t>(stCtx.ullBase + stCtx.ullPos);
    size_t uiLen = static_cast<size_t>(ullLen);
    ssize_t iSent = sendfile(stCtx.iSock, stCtx.iFd, &llOffset, uiLen);
    if (iSent > 0) {
        stCtx.ullPos += static_cast<uint64_t>(iSent);
        return 1;
    }
    if (iSent < 0 && (errno == EAGAIN || errno == EINTR)) {
        return 0;
    }
    return -1;  // an error, or a file that ended early
}

// Each time the socket can take data.
void QVHTTP_SendFileSegment(evutil_socket_t, short sWhat, void *pvCtx)
{
    QVHTTP_SendCtx &stCtx = *static_cast<QVHTTP_SendCtx *>(pvCtx);
    // A client that takes nothing for the idle time would hold its thread for ever.
    if (sWhat & EV_TIMEOUT) {
        QVHTTP_Log(QVHTTP_DIG, "Send time out, Now close socket %d", stCtx.iSock);
        stCtx.bFailed = true;
        event_base_loopbreak(stCtx.pstBase);
        return;
    }
    for (;;) {
        // The first piece travels with the head.
        if (!stCtx.bHeadSent && stCtx.ullLength > 0) {
            if (!ReadPiece(stCtx)) {
                break;
            }
            ReportPieces(stCtx);
        }
        if (stCtx.uiPendingOff < stCtx.strPending.size()) {
            ssize_t iSent = send(stCtx.iSock, stCtx.strPending.data() + stCtx.uiPendingOff,
                                 stCtx.strPending.size() - stCtx.uiPendingOff, MSG_NOSIGNAL);
            if (iSent < 0 && (errno == EAGAIN || errno == EINTR)) {
                return;
            }
            if (iSent <= 0) {
                break;
            }
            stCtx.uiPendingOff += static_cast<size_t>(iSent);
            continue;
        }
        if (stCtx.ullPos == stCtx.ullLength) {
            event_base_loopbreak(stCtx.pstBase);
            return;
        }
        // Replaced bytes need the data in hand; the rest goes from file to socket directly.
        uint64_t ullPlain = PlainSpan(stCtx);
        if (ullPlain == 0) {
            if (!ReadPiece(stCtx)) {
                break;
            }
        } else {
            int iRet = SendFileDirect(stCtx, ullPlain);
            if (iRet == 0) {
                return;
            }
            if (iRet < 0) {
                break;
            }
        }
        ReportPieces(stCtx);
    }
    stCtx.bFailed = true;
    event_base_loopbreak(stCtx.pstBase);
}

void FillHead(QVHTTP_ReplyHdr &stHdr, uint32_t uiKeepAlive, const char *pcPath)
{
    stHdr.uiKeepAlive = uiKeepAlive;
    QVHTTP_UTIL_GetContentType(pcPath, sizeof(stHdr.szContentType), stHdr.szContentType);
}

// Names are any bytes a file system allows: the link carries them percent-encoded, the text
// HTML-escaped, so no name becomes markup.
void AppendEntry(evbuffer *pstPage, const char *pcBase, const char *pcName, bool bDir)
{
    char *pcLink = g_uri_escape_string(pcName, nullptr, FALSE);
    char *pcText = g_markup_escape_text(pcName, -1);
    evbuffer_add_printf(pstPage, "    <li><a href=\"%s/%s\">%s%s</a>\n", pcBase, pcLink, pcText,
                        bDir ? "/" : "");
    g_free(pcLink);
    g_free(pcText);
}

void QVHTTP_DOC_ListISODir(evbuffer *pstPage, const char *pcBase, const QVHTTP_OpenResult &stResult)
{
    std::vector<const IsoNode *> vNodes;
    uint32_t uiCount = 0;
    if (IsoListDir(stResult.pstImageDir, &vNodes, &uiCount) != 0) {
        return;
    }
    for (const IsoNode *pstNode : vNodes) {
        AppendEntry(pstPage, pcBase, pstNode->szName.c_str(), pstNode->IsDir());
    }
}

void QVHTTP_DOC_ListNormalDir(evbuffer *pstPage, const char *pcBase,
                              const QVHTTP_OpenResult &stResult)
{
    DIR *pstDir = opendir(stResult.szPath);
    if (pstDir == nullptr) {
        return;
    }
    while (const dirent *pstEnt = readdir(pstDir)) {
        if (strcmp(pstEnt->d_name, ".") == 0 || strcmp(pstEnt->d_name, "..") == 0) {
            continue;
        }
        std::string strFull = std::string(stResult.szPath) + "/" + pstEnt->d_name;
        // A link that leads out of the root is not shown, as it would not be served.
        if (!QV_InsideRoot(stResult.strRealRoot, strFull)) {
            continue;
        }
        struct stat stSt;
        bool bDir = stat(strFull.c_str(), &stSt) == 0 && S_ISDIR(stSt.st_mode);
        AppendEntry(pstPage, pcBase, pstEnt->d_name, bDir);
    }
    closedir(pstDir);
}

}  // namespace

uint32_t QVHTTP_DOC_SendFile(uint32_t uiKeepAlive, QVHTTP_OpenResult &stResult, int iSock,
                             QVHTTP_RequestEvent *pstEvent)
{
    QVHTTP_SendCtx stCtx;
    stCtx.iFd = open(stResult.szPath, O_RDONLY | O_CLOEXEC);
    if (stCtx.iFd < 0) {
        QVHTTP_Log(QVHTTP_DIG, "Failed to open file %s", stResult.szPath);
        return QVHTTP_ERR_FAILED;
    }
    QVHTTP_ReplyHdr stHdr;
    FillHead(stHdr, uiKeepAlive, stResult.szPath);
    stCtx.ullBase = stResult.ullOffset;
    stCtx.ullLength = stResult.ullSize;
    if (stResult.llRangeStart != QVHTTP_RANGE_ABSENT) {
        int64_t llSize = static_cast<int64_t>(stResult.ullSize);
        int64_t llFirst = stResult.llRangeStart;
        int64_t llLast = std::min(stResult.llRangeEnd, llSize - 1);
        // A first byte at or past the end, or a last byte before the first, names no bytes.
        if (llFirst >= llSize || llLast < llFirst) {
            QVHTTP_Log(QVHTTP_LOG, "Range [%lld %lld] out of file size %llu",
                       static_cast<long long>(stResult.llRangeStart),
                       static_cast<long long>(stResult.llRangeEnd),
                       static_cast<unsigned long long>(stResult.ullSize));
            close(stCtx.iFd);
            return QVHTTP_ERR_FAILED;
        }
        stHdr.uiStatus = 206;
        g_strlcpy(stHdr.szReason, "Partial Content", sizeof(stHdr.szReason));
        stHdr.llRangeStart = llFirst;
        stHdr.llRangeEnd = llLast;
        stHdr.llTotalSize = llSize;
        stCtx.ullBase += static_cast<uint64_t>(llFirst);
        stCtx.ullLength = static_cast<uint64_t>(llLast - llFirst + 1);
    }
    stHdr.llContentLen = static_cast<int64_t>(stCtx.ullLength);
    char szHead[2048];
    int iHead = QVHTTP_UTIL_FmtReplyHead(stHdr, sizeof(szHead), szHead);
    stCtx.strPending.assign(szHead, static_cast<size_t>(iHead));
    // Every transfer reports its length and, at its end, what was left; only big files report
    // progress on the way.
    if (pstEvent != nullptr) {
        pstEvent->ullTotalLen = stCtx.ullLength;
        pstEvent->ullRemainLen = stCtx.ullLength;
        if (stCtx.ullLength > QVHTTP_PROGRESS_MIN) {
            stCtx.pstEvent = pstEvent;
        }
    }
    stCtx.iSock = iSock;
    stCtx.pstVirtIso = stResult.pstVirtIso.get();
    stCtx.pstBase = event_base_new();
    event *pstWrite =
        stCtx.pstBase != nullptr
            ? event_new(stCtx.pstBase, iSock, EV_WRITE | EV_PERSIST, QVHTTP_SendFileSegment, &stCtx)
            : nullptr;
    timeval stIdle = {static_cast<time_t>(g_stQvHttpCfg.uiIdleSec), 0};
    if (pstWrite != nullptr && event_add(pstWrite, &stIdle) == 0) {
        event_base_dispatch(stCtx.pstBase);
    } else {
        stCtx.bFailed = true;
    }
    if (pstWrite != nullptr) {
        event_free(pstWrite);
    }
    if (stCtx.pstBase != nullptr) {
        event_base_free(stCtx.pstBase);
    }
    close(stCtx.iFd);
    if (pstEvent != nullptr) {
        pstEvent->ullRemainLen = stCtx.ullLength - std::min(stCtx.ullPos, stCtx.ullLength);
    }
    if (stCtx.bFailed) {
        // The head may be out already, so the only honest end is to drop the connection.
        shutdown(iSock, SHUT_RDWR);
    }
    return 0;
}

uint32_t QVHTTP_DOC_SendFileHead(uint32_t uiKeepAlive, const QVHTTP_OpenResult &stResult, int iSock)
{
    QVHTTP_ReplyHdr stHdr;
    FillHead(stHdr, uiKeepAlive, stResult.szPath);
    stHdr.llContentLen = static_cast<int64_t>(stResult.ullSize);
    char szHead[2048];
    int iHead = QVHTTP_UTIL_FmtReplyHead(stHdr, sizeof(szHead), szHead);
    QVHTTP_UTIL_SendAll(iSock, szHead, static_cast<size_t>(iHead));
    return 0;
}

uint32_t QVHTTP_DOC_ListDir(const char *pcURI, uint32_t uiKeepAlive,
                            const QVHTTP_OpenResult &stResult, int iSock)
{
    evbuffer *pstPage = evbuffer_new();
    if (pstPage == nullptr) {
        return QVHTTP_ERR_FAILED;
    }
    char *pcTitle = g_markup_escape_text(pcURI, -1);
    evbuffer_add_printf(pstPage,
                        "<html>\n   <head>\n       <title>QVHTTP</title>\n   </head>\n   <body>\n"
                        "       <h1>Index of %s</h1>\n       <ul>\n",
                        pcTitle);
    g_free(pcTitle);
    // Entries hang below the URI without its trailing "/"; "../" leads one step above that,
    // so "/ISO1/boot/" links up to "/ISO1" as "/ISO1/boot" does. The URI is decoded, so it is
    // encoded again for the links ("/" kept).
    char *pcBaseLink = g_uri_escape_string(pcURI, "/", FALSE);
    std::string strBase = pcBaseLink;
    g_free(pcBaseLink);
    if (!strBase.empty() && strBase.back() == '/') {
        strBase.pop_back();
    }
    if (strBase != "/") {
        size_t uiLast = strBase.rfind('/');
        std::string strUp =
            (uiLast == 0 || uiLast == std::string::npos) ? "/" : strBase.substr(0, uiLast);
        evbuffer_add_printf(pstPage, "    <li><a href=\"%s\">../</a>\n", strUp.c_str());
    }
    if (stResult.uiIsImage) {
        QVHTTP_DOC_ListISODir(pstPage, strBase.c_str(), stResult);
    } else {
        QVHTTP_DOC_ListNormalDir(pstPage, strBase.c_str(), stResult);
    }
    evbuffer_add_printf(pstPage, "</ul></body></html>\n");

    QVHTTP_ReplyHdr stHdr;
    stHdr.uiKeepAlive = uiKeepAlive;
    stHdr.llContentLen = static_cast<int64_t>(evbuffer_get_length(pstPage));
    char szHead[2048];
    int iHead = QVHTTP_UTIL_FmtReplyHead(stHdr, sizeof(szHead), szHead);
    evbuffer_prepend(pstPage, szHead, static_cast<size_t>(iHead));
    size_t uiLen = evbuffer_get_length(pstPage);
    const unsigned char *pucData = evbuffer_pullup(pstPage, -1);
    bool bSent = pucData != nullptr && QVHTTP_UTIL_SendAll(iSock, pucData, uiLen);
    evbuffer_free(pstPage);
    if (!bSent) {
        shutdown(iSock, SHUT_RDWR);
    }
    return 0;
}
