// Settings of the HTTP service, its ten roots with their redirect rules, and what a request path
// means: a file or directory under a root, a file or directory inside an ISO image, or one of the
// whole-image virtual URLs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qv_roots.h"
#include "qvhttp_util.h"
#include "qvhttp_virtiso.h"

struct IsoImage;
struct IsoNode;

struct QVHTTP_Settings {
    uint32_t uiAddr = 0;  // host order
    uint16_t usPort = 80;
    uint32_t uiMaxConn = 100;
    // Idle time of a connection waiting for a request.
    uint32_t uiIdleSec = 60;
};
extern QVHTTP_Settings g_stQvHttpCfg;

constexpr unsigned QVHTTP_ROOT_SLOTS = 10;

// A request path (after the prefix) that is served from "virtualiso/extfile/<target>".
using QVHTTP_RedtRule = QV_RedirectRule;

// What the controller hands QVHTTP_CFG_AddRootPath. pstImage, when given, is the already open
// reader of an image root (not taken over).
struct QVHTTP_Root {
    IsoImage *pstImage = nullptr;
    std::string strPrefix;
    std::string strPath;
    std::vector<QVHTTP_RedtRule> vRules;
};

struct QVHTTP_OpenResult {
    uint32_t uiIsImage = 0;
    const IsoNode *pstImageDir = nullptr;
    uint32_t uiIsDir = 0;
    char szPath[1024] = "";
    std::string strRealRoot;  // the directory root a listing must stay inside
    uint64_t ullOffset = 0;
    uint64_t ullSize = 0;
    int64_t llRangeStart = QVHTTP_RANGE_ABSENT;
    int64_t llRangeEnd = QVHTTP_RANGE_ABSENT;
    std::unique_ptr<VirtIsoRequest> pstVirtIso;
    // The roots the request was resolved against: keeps an image (and pstImageDir) alive while
    // the reply is sent, whatever is published meanwhile.
    QV_RootSnapshot pstRoots;
};

void QVHTTP_CFG_Init();
void QVHTTP_CFG_SetAddr(uint32_t uiAddr, uint16_t usPort);
void QVHTTP_CFG_SetMaxConn(uint32_t uiCount);
void QVHTTP_CFG_SetIdleTime(uint32_t uiSeconds);

// Adds a root to the published table (at any time, also while the service runs); 0,
// QVHTTP_ERR_EXIST (same prefix and path), QVHTTP_ERR_NO_SLOT or QVHTTP_ERR_FAILED.
uint32_t QVHTTP_CFG_AddRootPath(const QVHTTP_Root &stRoot);
void QVHTTP_CFG_ClearRoots();
// The table now published; a request uses one snapshot from start to end.
QV_RootSnapshot QVHTTP_CFG_Roots();

// Maps a request path without its leading "/" onto one root. Directory roots set the host path
// and the directory flag; image roots set the name inside the image as the path.
bool QVHTTP_CFG_MapPath(const char *pcRequest, const QV_Root &stRoot, QVHTTP_OpenResult &stResult);

// Resolves the request's decoded path into stResult (reset first): 0, QVHTTP_ERR_NOT_FOUND, or
// QVHTTP_ERR_FAILED for a path that tries to leave its root.
uint32_t QVHTTP_CFG_OpenReqURI(const QVHTTP_Request &stReq, QVHTTP_OpenResult &stResult);

// 1 for the install agent's report URLs and anything ending in ".iso".
uint32_t QVHTTP_IsReportURI(const char *pcURI);
