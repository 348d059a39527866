#include "qvtftp_config.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "iso_image.h"
#include "iso_shared.h"
#include "qvtftp_rfc.h"
#include "qvtftp_session.h"
#include "qvtftp_util.h"

namespace {

constexpr uint16_t TID_MAP_FIRST = 49126;
constexpr uint16_t TID_MAP_LAST = 65535;
constexpr size_t REQUEST_MAX = 4095;

QVTFTP_CFG_Conf g_stConf;
QV_RootStore g_stRoots;
std::vector<uint32_t> g_vecTidMap;
std::mutex g_mtxTid;

bool IsRegularFile(const std::string &szPath)
{
    struct stat stInfo;
    return stat(szPath.c_str(), &stInfo) == 0 && S_ISREG(stInfo.st_mode);
}

// The request with every '\' turned into '/', cut to 4095 characters.
std::string NormaliseRequest(const char *pcRequest)
{
    std::string szReq(pcRequest, strnlen(pcRequest, REQUEST_MAX));
    std::replace(szReq.begin(), szReq.end(), '\\', '/');
    return szReq;
}

// A ".." component would leave the root.
bool HasParentComponent(const std::string &szReq)
{
    size_t uiStart = 0;
    while (uiStart <= szReq.size()) {
        size_t uiEnd = szReq.find('/', uiStart);
        if (uiEnd == std::string::npos) {
            uiEnd = szReq.size();
        }
        if (szReq.compare(uiStart, uiEnd - uiStart, "..") == 0) {
            return true;
        }
        uiStart = uiEnd + 1;
    }
    return false;
}

// A regular file inside the image (links followed): its byte offset and size in the image.
bool FindInImage(const QV_Root &stRoot, const std::string &szName, uint64_t *pullBase,
                 uint64_t *pullSize)
{
    IsoEntry stEntry;
    if (IsoFind(stRoot.pstImage.get(), szName.c_str(), true, &stEntry) != 0 ||
        stEntry.ucKind != ISO_KIND_FILE) {
        return false;
    }
    *pullBase = stEntry.ullExtentOffset;
    *pullSize = stEntry.ullDataLen;
    return true;
}

// Where a request is served from: a host file, or a byte range of an image file.
struct FileSource {
    std::string szHostPath;
    bool bImage = false;
    uint64_t ullBase = 0;
    uint64_t ullSize = 0;
};

bool OpenSource(const FileSource &stSrc, QVTFTP_Session *pstSession)
{
    const int iFd = open(stSrc.szHostPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (iFd < 0) {
        return false;
    }
    struct stat stInfo;
    if (fstat(iFd, &stInfo) != 0 || !S_ISREG(stInfo.st_mode)) {
        close(iFd);
        return false;
    }
    const uint64_t ullHostSize = static_cast<uint64_t>(stInfo.st_size);
    uint64_t ullSize = ullHostSize;
    if (stSrc.bImage) {
        // A file recorded beyond the end of a truncated image is not served.
        if (stSrc.ullBase > ullHostSize || stSrc.ullSize > ullHostSize - stSrc.ullBase) {
            close(iFd);
            return false;
        }
        ullSize = stSrc.ullSize;
    }
    pstSession->iFileFd = iFd;
    pstSession->ullFileBase = stSrc.bImage ? stSrc.ullBase : 0;
    pstSession->ullFileSize = ullSize;
    return true;
}

}  // namespace

void QVTFTP_CFG_Init()
{
    g_stConf = QVTFTP_CFG_Conf{};
    std::lock_guard<std::mutex> lock(g_mtxTid);
    g_vecTidMap.assign(TID_MAP_LAST - TID_MAP_FIRST + 1, 0);
}

void QVTFTP_CFG_Deinit()
{
    QVTFTP_CFG_ClearRoots();
    {
        std::lock_guard<std::mutex> lock(g_mtxTid);
        g_vecTidMap.clear();
        g_vecTidMap.shrink_to_fit();
    }
    memset(static_cast<void *>(&g_stConf), 0, sizeof(g_stConf));
}

uint32_t QVTFTP_CFG_SetConf(const QVTFTP_CFG_Conf *pstConf)
{
    if (pstConf == nullptr || pstConf->usTidFirst > pstConf->usTidLast) {
        return QVTFTP_ERR_FAILED;
    }
    std::lock_guard<std::mutex> lock(g_mtxTid);
    // The map was sized at initialisation; a wider range would index past it.
    if (static_cast<size_t>(pstConf->usTidLast - pstConf->usTidFirst + 1) > g_vecTidMap.size()) {
        return QVTFTP_ERR_FAILED;
    }
    const uint16_t usMaxConn = g_stConf.usMaxConn;
    const uint16_t usBlkSize = g_stConf.usBlkSize;
    g_stConf = *pstConf;
    g_stConf.usMaxConn = usMaxConn;
    g_stConf.usBlkSize = usBlkSize;
    return 0;
}

const QVTFTP_CFG_Conf &QVTFTP_CFG_GetConf()
{
    return g_stConf;
}

QV_RootSnapshot QVTFTP_CFG_Roots()
{
    return g_stRoots.Snapshot();
}

uint32_t QVTFTP_CFG_AddRootPath(const QVTFTP_CFG_Root *pstRoot)
{
    if (pstRoot == nullptr) {
        return QVTFTP_ERR_FAILED;
    }
    switch (g_stRoots.Add(pstRoot->szPrefix, pstRoot->szPath, pstRoot->pstImage, pstRoot->vecRules,
                          IsoOpenShared, "tftp", QVTFTP_UTIL_Sinks())) {
    case QV_RootAdd::Added:
        return 0;
    case QV_RootAdd::Exists:
        return QVTFTP_ERR_EXIST;
    case QV_RootAdd::NoSlot:
        return QVTFTP_ERR_NO_SLOT;
    case QV_RootAdd::Failed:
        break;
    }
    return QVTFTP_ERR_FAILED;
}

void QVTFTP_CFG_ClearRoots()
{
    g_stRoots.Clear();
}

bool QVTFTP_CFG_MapPath(const char *pcRequest, const QV_Root &stRoot, std::string *pszName)
{
    QVTFTP_ASSERT(0 != pcRequest && 0 != pszName);
    const std::string szReq = QV_RootRequest(NormaliseRequest(pcRequest), stRoot);
    std::string szRest;
    if (!QV_RootMatch(szReq, stRoot.strPrefix, &szRest) || szRest.empty()) {
        return false;
    }
    if (stRoot.pstImage) {
        *pszName = szRest;
    } else {
        *pszName = stRoot.strPath + (szRest[0] == '/' ? "" : "/") + szRest;
    }
    return true;
}

uint32_t QVTFTP_CFG_OpenReqFile(const char *pcPath, QVTFTP_Session *pstSession, uint16_t *pusCode)
{
    QVTFTP_ASSERT(0 != pcPath && 0 != pstSession && 0 != pusCode);
    *pusCode = QVTFTP_RFC_ERR_UNDEF;
    const std::string szReq = NormaliseRequest(pcPath);
    if (HasParentComponent(szReq)) {
        QVTFTP_UTIL_Log(QVTFTP_DIG, "Request file %s refused: parent directory.", pcPath);
        *pusCode = QVTFTP_RFC_ERR_ACCESS;
        return QVTFTP_ERR_FAILED;
    }
    FileSource stSrc;
    bool bFound = false;
    const QV_RootSnapshot pstRoots = g_stRoots.Snapshot();
    for (const QV_Root &stRoot : pstRoots->vRoots) {
        std::string szName;
        if (!QVTFTP_CFG_MapPath(szReq.c_str(), stRoot, &szName)) {
            continue;
        }
        stSrc.szHostPath = QV_RootRedirect(szReq, stRoot, "tftp", QVTFTP_UTIL_Sinks());
        if (!stSrc.szHostPath.empty()) {
            bFound = true;
        } else if (stRoot.pstImage) {
            bFound = FindInImage(stRoot, szName, &stSrc.ullBase, &stSrc.ullSize);
            stSrc.bImage = bFound;
            stSrc.szHostPath = stRoot.strPath;
        } else if (IsRegularFile(szName) && QV_InsideRoot(stRoot.strRealRoot, szName)) {
            stSrc.szHostPath = szName;
            bFound = true;
        }
        if (bFound) {
            break;
        }
    }
    if (!bFound) {
        QVTFTP_UTIL_Log(QVTFTP_DIG, "Request file %s not found.", pcPath);
        *pusCode = QVTFTP_RFC_ERR_NOT_FOUND;
        return QVTFTP_ERR_FAILED;
    }
    if (!OpenSource(stSrc, pstSession)) {
        QVTFTP_UTIL_Log(QVTFTP_DIG, "Failed to open file %s.", stSrc.szHostPath.c_str());
        return QVTFTP_ERR_FAILED;
    }
    return 0;
}

uint16_t QVTFTP_CFG_AllocTID()
{
    std::lock_guard<std::mutex> lock(g_mtxTid);
    const size_t uiCount = static_cast<size_t>(g_stConf.usTidLast - g_stConf.usTidFirst + 1);
    for (size_t uiIndex = 0; uiIndex < uiCount && uiIndex < g_vecTidMap.size(); ++uiIndex) {
        if (g_vecTidMap[uiIndex] == 0) {
            g_vecTidMap[uiIndex] = 1;
            return static_cast<uint16_t>(g_stConf.usTidFirst + uiIndex);
        }
    }
    return 0;
}

uint32_t QVTFTP_CFG_FreeTID(uint16_t usPort)
{
    std::lock_guard<std::mutex> lock(g_mtxTid);
    if (usPort < g_stConf.usTidFirst || usPort > g_stConf.usTidLast ||
        static_cast<size_t>(usPort - g_stConf.usTidFirst) >= g_vecTidMap.size()) {
        QVTFTP_UTIL_Log(QVTFTP_DIG, "Invalid TID %u.", usPort);
        return QVTFTP_ERR_FAILED;
    }
    uint32_t &uiWord = g_vecTidMap[usPort - g_stConf.usTidFirst];
    if (uiWord == 0) {
        QVTFTP_UTIL_Log(QVTFTP_DIG, "TID %u is not used.", usPort);
        return QVTFTP_ERR_FAILED;
    }
    uiWord = 0;
    return 0;
}
