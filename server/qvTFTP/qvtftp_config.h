// TFTP service settings, the ten root slots with their redirect rules, request path mapping and
// the map of transfer ports used in multi-port mode.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qv_roots.h"

struct IsoImage;
struct QVTFTP_Session;

struct QVTFTP_CFG_Conf {
    uint32_t uiServerIp = 0;  // host order
    uint16_t usPort = 69;
    uint32_t uiSinglePort = 0;    // 1: every packet goes through the service port
    uint16_t usTidFirst = 49126;  // first and last port for per-transfer sockets
    uint16_t usTidLast = 65535;
    uint16_t usTimeout = 3;    // seconds
    uint16_t usMaxSends = 3;   // sends per packet, the first one included
    uint16_t usMaxConn = 100;  // not changed by QVTFTP_CFG_SetConf
    uint16_t usBlkSize = 512;  // not changed by QVTFTP_CFG_SetConf
};

// A redirect rule: a request for strPattern (the raw path below the root's prefix) is served from
// "virtualiso/extfile/<strTarget>" when that file exists.
using QVTFTP_CFG_Rule = QV_RedirectRule;

struct QVTFTP_CFG_Root {
    IsoImage *pstImage = nullptr;  // an already opened image for szPath, not owned; or none
    std::string szPrefix;
    std::string szPath;
    std::vector<QVTFTP_CFG_Rule> vecRules;
};

constexpr unsigned QVTFTP_ROOT_SLOTS = QV_ROOT_SLOTS;

// Sets the defaults and allocates the transfer-ID map for 49126..65535.
void QVTFTP_CFG_Init();
// Clears the roots, frees the transfer-ID map and zeroes the settings.
void QVTFTP_CFG_Deinit();

uint32_t QVTFTP_CFG_SetConf(const QVTFTP_CFG_Conf *pstConf);
const QVTFTP_CFG_Conf &QVTFTP_CFG_GetConf();

// Adds a root to the published table (at any time, also while the service runs); 0,
// QVTFTP_ERR_EXIST (same prefix and path), QVTFTP_ERR_NO_SLOT or QVTFTP_ERR_FAILED.
uint32_t QVTFTP_CFG_AddRootPath(const QVTFTP_CFG_Root *pstRoot);
void QVTFTP_CFG_ClearRoots();
// The table now published; a request uses one snapshot from start to end.
QV_RootSnapshot QVTFTP_CFG_Roots();

// Maps a requested path onto one root; true and the file (directory root) or the path inside
// the image (image root) when the root matches.
bool QVTFTP_CFG_MapPath(const char *pcRequest, const QV_Root &stRoot, std::string *pszName);

// Finds and opens the requested file and fills the session's file; *pusCode gets the TFTP error
// code for the client when it fails.
uint32_t QVTFTP_CFG_OpenReqFile(const char *pcPath, QVTFTP_Session *pstSession, uint16_t *pusCode);

uint16_t QVTFTP_CFG_AllocTID();
uint32_t QVTFTP_CFG_FreeTID(uint16_t usPort);
