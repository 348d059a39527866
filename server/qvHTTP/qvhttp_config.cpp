#include "qvhttp_config.h"

#include <cstdio>
#include <cstring>

#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "iso_image.h"
#include "iso_shared.h"

QVHTTP_Settings g_stQvHttpCfg;

namespace {

QV_RootStore g_stRoots;

// Prefix of the files that redirect rules and external images come from.
constexpr const char *EXTFILE_DIR = QV_EXTFILE_DIR;

bool IsRegularFile(const char *pcPath, uint64_t *pullSize = nullptr)
{
    struct stat stSt;
    if (stat(pcPath, &stSt) != 0 || !S_ISREG(stSt.st_mode)) {
        return false;
    }
    if (pullSize != nullptr) {
        *pullSize = static_cast<uint64_t>(stSt.st_size);
    }
    return true;
}

bool IsDirectory(const char *pcPath)
{
    struct stat stSt;
    return stat(pcPath, &stSt) == 0 && S_ISDIR(stSt.st_mode);
}

// A ".." component anywhere would let a request climb out of its root.
bool LeavesRoot(const char *pcURI)
{
    return strstr(pcURI, "/..") != nullptr || g_str_has_prefix(pcURI, "..");
}

// Copies a composed path; false (and nothing served) when it does not fit, since a cut path
// could name another file.
bool SetPath(char (&szPath)[1024], const std::string &strPath)
{
    if (strPath.size() >= sizeof(szPath)) {
        return false;
    }
    g_strlcpy(szPath, strPath.c_str(), sizeof(szPath));
    return true;
}

// A host file served as it is.
uint32_t ServeHostFile(QVHTTP_OpenResult &stResult)
{
    struct stat stSt;
    if (stat(stResult.szPath, &stSt) != 0) {
        return QVHTTP_ERR_NOT_FOUND;
    }
    stResult.uiIsImage = 0;
    stResult.ullOffset = 0;
    stResult.ullSize = S_ISREG(stSt.st_mode) ? static_cast<uint64_t>(stSt.st_size) : 0;
    return 0;
}

bool ServeRedirect(const std::string &strTarget, QVHTTP_OpenResult &stResult)
{
    stResult.uiIsDir = 0;
    return SetPath(stResult.szPath, strTarget);
}

// The whole image behind the root the URI starts with, as a plain file.
uint32_t WholeImageLookup(const char *pcURI, const QV_RootTable &stRoots,
                          QVHTTP_OpenResult &stResult)
{
    for (const QV_Root &stRoot : stRoots.vRoots) {
        std::string strRest;
        if (!QV_RootMatch(pcURI, stRoot.strPrefix, &strRest)) {
            continue;
        }
        std::string strFile = stRoot.strPath;
        if (!stRoot.pstImage) {
            strFile += ".iso";
        }
        uint64_t ullSize = 0;
        if (IsRegularFile(strFile.c_str(), &ullSize) && SetPath(stResult.szPath, strFile)) {
            stResult.ullSize = ullSize;
            return 0;
        }
    }
    return QVHTTP_ERR_NOT_FOUND;
}

// "_VIRTDRVISO_/<name>.iso": the driver image "virtualiso/extfile/<name>.iso" of the data
// directory.
uint32_t DriverImageLookup(const char *pcURI, QVHTTP_OpenResult &stResult)
{
    std::string strURI(pcURI, strnlen(pcURI, 255));
    size_t uiIso = strURI.find(".iso");
    if (uiIso != std::string::npos) {
        strURI.resize(uiIso);
    }
    size_t uiSlash = strURI.rfind('/');
    std::string strName = uiSlash == std::string::npos ? strURI : strURI.substr(uiSlash + 1);
    char *pcCwd = g_get_current_dir();
    std::string strPath = std::string(pcCwd) + "/" + EXTFILE_DIR + strName + ".iso";
    g_free(pcCwd);
    if (!SetPath(stResult.szPath, strPath)) {
        return QVHTTP_ERR_NOT_FOUND;
    }
    uint64_t ullSize = 0;
    stResult.ullSize = IsRegularFile(stResult.szPath, &ullSize) ? ullSize : 0;
    return 0;
}

// Looks a name up in an image root.
bool ImageLookup(const QV_Root &stRoot, QVHTTP_OpenResult &stResult)
{
    std::string strName = stResult.szPath;
    if (strName.empty()) {
        stResult.pstImageDir = stRoot.pstImage->pstRoot;
        stResult.uiIsDir = 1;
        stResult.ullSize = 0;
    } else {
        IsoEntry stEntry;
        if (IsoFind(stRoot.pstImage.get(), strName.c_str(), true, &stEntry) != 0) {
            return false;
        }
        stResult.pstImageDir = stEntry.pstNode;
        stResult.uiIsDir = stEntry.ucKind == ISO_KIND_DIR ? 1 : 0;
        stResult.ullSize = stEntry.ullDataLen;
        stResult.ullOffset = stEntry.ullExtentOffset;
    }
    stResult.uiIsImage = 1;
    return SetPath(stResult.szPath, stRoot.strPath);
}

}  // namespace

void QVHTTP_CFG_Init()
{
    g_stQvHttpCfg = QVHTTP_Settings();
}

void QVHTTP_CFG_SetAddr(uint32_t uiAddr, uint16_t usPort)
{
    g_stQvHttpCfg.uiAddr = uiAddr;
    g_stQvHttpCfg.usPort = usPort;
}

void QVHTTP_CFG_SetMaxConn(uint32_t uiCount)
{
    g_stQvHttpCfg.uiMaxConn = uiCount;
}

void QVHTTP_CFG_SetIdleTime(uint32_t uiSeconds)
{
    g_stQvHttpCfg.uiIdleSec = uiSeconds;
}

uint32_t QVHTTP_CFG_AddRootPath(const QVHTTP_Root &stRoot)
{
    switch (g_stRoots.Add(stRoot.strPrefix, stRoot.strPath, stRoot.pstImage, stRoot.vRules,
                          IsoOpenShared, "http", g_stQvHttpLogSinks)) {
    case QV_RootAdd::Added:
        return 0;
    case QV_RootAdd::Exists:
        return QVHTTP_ERR_EXIST;
    case QV_RootAdd::NoSlot:
        return QVHTTP_ERR_NO_SLOT;
    case QV_RootAdd::Failed:
        break;
    }
    return QVHTTP_ERR_FAILED;
}

void QVHTTP_CFG_ClearRoots()
{
    g_stRoots.Clear();
}

QV_RootSnapshot QVHTTP_CFG_Roots()
{
    return g_stRoots.Snapshot();
}

bool QVHTTP_CFG_MapPath(const char *pcRequest, const QV_Root &stRoot, QVHTTP_OpenResult &stResult)
{
    std::string strRest;
    if (!QV_RootMatch(pcRequest, stRoot.strPrefix, &strRest)) {
        return false;
    }
    if (stRoot.pstImage) {
        return SetPath(stResult.szPath, strRest);
    }
    if (!SetPath(stResult.szPath, stRoot.strPath + "/" + strRest) ||
        !QV_InsideRoot(stRoot.strRealRoot, stResult.szPath)) {
        return false;
    }
    stResult.strRealRoot = stRoot.strRealRoot;
    if (IsDirectory(stResult.szPath)) {
        stResult.uiIsDir = 1;
        return true;
    }
    stResult.uiIsDir = 0;
    return IsRegularFile(stResult.szPath);
}

uint32_t QVHTTP_CFG_OpenReqURI(const QVHTTP_Request &stReq, QVHTTP_OpenResult &stResult)
{
    stResult = QVHTTP_OpenResult();
    const char *pcURI = stReq.strPath.c_str();
    if (LeavesRoot(pcURI)) {
        return QVHTTP_ERR_FAILED;
    }
    const char *pcReq = pcURI;
    if (*pcReq == '/') {
        pcReq += (pcReq[1] == '/') ? 2 : 1;
    }
    const QV_RootSnapshot pstRoots = g_stRoots.Snapshot();
    stResult.pstRoots = pstRoots;
    const bool bVirtIso = strstr(pcURI, "/_VIRTISO_.iso") != nullptr;
    const bool bDriverIso = !bVirtIso && strstr(pcURI, "_VIRTDRVISO_/") != nullptr;
    if (bVirtIso || bDriverIso) {
        uint32_t uiRet = bVirtIso ? WholeImageLookup(pcReq, *pstRoots, stResult)
                                  : DriverImageLookup(pcReq, stResult);
        if (uiRet == 0) {
            stResult.pstVirtIso =
                QVHTTP_VIRTISO_OpenReq(stReq, stResult.szPath, stResult.ullSize,
                                       &stResult.llRangeStart, &stResult.llRangeEnd);
        }
        return uiRet;
    }
    if (strstr(pcURI, "/_RAWISO_.iso") != nullptr) {
        return WholeImageLookup(pcReq, *pstRoots, stResult);
    }
    for (const QV_Root &stRoot : pstRoots->vRoots) {
        QVHTTP_OpenResult stTry;
        stTry.pstRoots = pstRoots;
        std::string strTarget;
        if (!QVHTTP_CFG_MapPath(pcReq, stRoot, stTry)) {
            strTarget = QV_RootRedirect(pcReq, stRoot, "http", g_stQvHttpLogSinks);
            if (strTarget.empty()) {
                continue;
            }
            QVHTTP_Log(QVHTTP_LOG, "Request %s NO Real File, Buf HTTP Redt", pcReq);
        } else {
            QVHTTP_UTIL_StripSlash(stTry.szPath);
            strTarget = QV_RootRedirect(pcReq, stRoot, "http", g_stQvHttpLogSinks);
        }
        if (!strTarget.empty()) {
            if (!ServeRedirect(strTarget, stTry)) {
                continue;
            }
        } else if (stRoot.pstImage) {
            if (!ImageLookup(stRoot, stTry)) {
                continue;
            }
            stResult = std::move(stTry);
            return 0;
        }
        uint32_t uiRet = ServeHostFile(stTry);
        if (uiRet == 0) {
            stResult = std::move(stTry);
        }
        return uiRet;
    }
    return QVHTTP_ERR_NOT_FOUND;
}

uint32_t QVHTTP_IsReportURI(const char *pcURI)
{
    static const char *const apcReports[] = {"PXEClientInstallEnd", "FERRIT/Reboot",
                                             "FERRIT/Install", "kickstart/virturl"};
    for (const char *pcReport : apcReports) {
        if (strstr(pcURI, pcReport) != nullptr) {
            return 1;
        }
    }
    return g_str_has_suffix(pcURI, ".iso") ? 1 : 0;
}
