#include "qvhttp_config.h"

#include <cstdio>
#include <cstring>

#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "iso_image.h"

QVHTTP_Settings g_stQvHttpCfg;

namespace {

// Written only while the service is stopped; read without a lock by the connection threads.
QVHTTP_RootSlot g_astRoots[QVHTTP_ROOT_SLOTS];

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

// The whole image behind the slot the URI starts with, as a plain file.
uint32_t WholeImageLookup(const char *pcURI, QVHTTP_OpenResult &stResult)
{
    for (const QVHTTP_RootSlot &stSlot : g_astRoots) {
        std::string strRest;
        if (stSlot.szPath[0] == '\0' || !QV_RootMatch(pcURI, stSlot.szPrefix, &strRest)) {
            continue;
        }
        std::string strFile = stSlot.szPath;
        if (stSlot.pstImage == nullptr) {
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
bool ImageLookup(const QVHTTP_RootSlot &stSlot, QVHTTP_OpenResult &stResult)
{
    std::string strName = stResult.szPath;
    if (strName.empty()) {
        stResult.pstImageDir = stSlot.pstImage->pstRoot;
        stResult.uiIsDir = 1;
        stResult.ullSize = 0;
    } else {
        IsoEntry stEntry;
        if (IsoFind(stSlot.pstImage, strName.c_str(), true, &stEntry) != 0) {
            return false;
        }
        stResult.pstImageDir = stEntry.pstNode;
        stResult.uiIsDir = stEntry.ucKind == ISO_KIND_DIR ? 1 : 0;
        stResult.ullSize = stEntry.ullDataLen;
        stResult.ullOffset = stEntry.ullExtentOffset;
    }
    stResult.uiIsImage = 1;
    g_strlcpy(stResult.szPath, stSlot.szPath, sizeof(stResult.szPath));
    return true;
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
    QVHTTP_RootSlot *pstFree = nullptr;
    for (QVHTTP_RootSlot &stSlot : g_astRoots) {
        if (stSlot.szPath[0] == '\0') {
            pstFree = pstFree != nullptr ? pstFree : &stSlot;
        } else if (g_ascii_strcasecmp(stSlot.szPrefix, stRoot.strPrefix.c_str()) == 0) {
            return QVHTTP_ERR_EXIST;
        }
    }
    if (pstFree == nullptr) {
        return QVHTTP_ERR_NO_SLOT;
    }
    if (stRoot.strPath.empty()) {
        return QVHTTP_ERR_FAILED;
    }
    QVHTTP_RootSlot stNew;
    if (!IsDirectory(stRoot.strPath.c_str())) {
        if (!IsRegularFile(stRoot.strPath.c_str())) {
            return QVHTTP_ERR_FAILED;
        }
        if (stRoot.pstImage != nullptr) {
            stNew.pstImage = stRoot.pstImage;
        } else {
            auto pstImage = std::make_unique<IsoImage>();
            if (IsoOpen(stRoot.strPath.c_str(), false, pstImage.get()) != 0) {
                return QVHTTP_ERR_FAILED;
            }
            stNew.pstImage = pstImage.release();
            stNew.uiOwned = 1;
        }
        QVHTTP_Log(QVHTTP_DBG, "Set %s for http root.", stRoot.strPath.c_str());
    }
    g_strlcpy(stNew.szPrefix, stRoot.strPrefix.c_str(), sizeof(stNew.szPrefix));
    g_strlcpy(stNew.szPath, stRoot.strPath.c_str(), sizeof(stNew.szPath));
    // Links inside a directory root may point anywhere inside it, never out of it.
    stNew.strRealRoot = stNew.pstImage == nullptr ? QV_RealRoot(stRoot.strPath) : "";
    stNew.vRules = stRoot.vRules;
    *pstFree = std::move(stNew);
    QVHTTP_Log(QVHTTP_DBG, "Add http root %s %s", pstFree->szPrefix, pstFree->szPath);
    return 0;
}

void QVHTTP_CFG_ClearRoots()
{
    for (QVHTTP_RootSlot &stSlot : g_astRoots) {
        if (stSlot.uiOwned) {
            std::unique_ptr<IsoImage> pstImage(stSlot.pstImage);
            IsoClose(pstImage.get());
        }
        stSlot = QVHTTP_RootSlot();
    }
}

const QVHTTP_RootSlot &QVHTTP_CFG_Slot(unsigned uiIndex)
{
    return g_astRoots[uiIndex];
}

bool QVHTTP_CFG_MapPath(const char *pcRequest, const QVHTTP_RootSlot &stSlot,
                        QVHTTP_OpenResult &stResult)
{
    std::string strRest;
    if (!QV_RootMatch(pcRequest, stSlot.szPrefix, &strRest)) {
        return false;
    }
    if (stSlot.pstImage != nullptr) {
        return SetPath(stResult.szPath, strRest);
    }
    if (!SetPath(stResult.szPath, std::string(stSlot.szPath) + "/" + strRest) ||
        !QV_InsideRoot(stSlot.strRealRoot, stResult.szPath)) {
        return false;
    }
    stResult.strRealRoot = stSlot.strRealRoot;
    if (IsDirectory(stResult.szPath)) {
        stResult.uiIsDir = 1;
        return true;
    }
    stResult.uiIsDir = 0;
    return IsRegularFile(stResult.szPath);
}

std::string QVHTTP_CFG_FindRedtRule(const char *pcRequest, const QVHTTP_RootSlot &stSlot)
{
    std::string strRest;
    if (stSlot.vRules.empty() || !QV_RootMatch(pcRequest, stSlot.szPrefix, &strRest)) {
        return {};
    }
    return QV_FindRedirect(pcRequest, strRest, stSlot.vRules, "http", g_stQvHttpLogSinks);
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
    const bool bVirtIso = strstr(pcURI, "/_VIRTISO_.iso") != nullptr;
    const bool bDriverIso = !bVirtIso && strstr(pcURI, "_VIRTDRVISO_/") != nullptr;
    if (bVirtIso || bDriverIso) {
        uint32_t uiRet =
            bVirtIso ? WholeImageLookup(pcReq, stResult) : DriverImageLookup(pcReq, stResult);
        if (uiRet == 0) {
            stResult.pstVirtIso =
                QVHTTP_VIRTISO_OpenReq(stReq, stResult.szPath, stResult.ullSize,
                                       &stResult.llRangeStart, &stResult.llRangeEnd);
        }
        return uiRet;
    }
    if (strstr(pcURI, "/_RAWISO_.iso") != nullptr) {
        return WholeImageLookup(pcReq, stResult);
    }
    for (const QVHTTP_RootSlot &stSlot : g_astRoots) {
        if (stSlot.szPath[0] == '\0') {
            continue;
        }
        QVHTTP_OpenResult stTry;
        std::string strTarget;
        if (!QVHTTP_CFG_MapPath(pcReq, stSlot, stTry)) {
            strTarget = QVHTTP_CFG_FindRedtRule(pcReq, stSlot);
            if (strTarget.empty()) {
                continue;
            }
            QVHTTP_Log(QVHTTP_LOG, "Request %s NO Real File, Buf HTTP Redt", pcReq);
        } else {
            QVHTTP_UTIL_StripSlash(stTry.szPath);
            strTarget = QVHTTP_CFG_FindRedtRule(pcReq, stSlot);
        }
        if (!strTarget.empty()) {
            if (!ServeRedirect(strTarget, stTry)) {
                continue;
            }
        } else if (stSlot.pstImage != nullptr) {
            if (!ImageLookup(stSlot, stTry)) {
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
