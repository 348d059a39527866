// The utility table and the slots that hand plug-ins over to other modules: the TFTP roots, the
// log, the image reader, the deployment record, the boot configuration and the operator prompts.
#include <cstdarg>
#include <cstdio>

#include "boot_config.h"
#include "iso_image.h"
#include "log.h"
#include "plugin_util.h"
#include "prompt.h"
#include "qvtftp_config.h"
#include "wim_access.h"

namespace {
HostServerInfo g_stServerInfo;
}  // namespace

uint32_t UTIL_AddTftpRoot(const char *pcName, const char *pcDirectory)
{
    QVTFTP_CFG_Root stRoot;
    stRoot.szPrefix = pcName != nullptr ? pcName : "";
    stRoot.szPath = pcDirectory != nullptr ? pcDirectory : "";
    return QVTFTP_CFG_AddRootPath(&stRoot);
}

void UTIL_Log(uint32_t uiLevel, const char *pcModule, const char *pcFormat, ...)
{
    char szText[4096];
    va_list args;
    va_start(args, pcFormat);
    vsnprintf(szText, sizeof(szText), pcFormat, args);
    va_end(args);
    LOG_Print(uiLevel, pcModule, "%s", szText);
}

uint32_t UTIL_FindFileInIso(const IsoImage *pstImage, const char *pcPath, int iFollowLinks,
                            IsoEntry *pstEntry)
{
    // A plug-in that only asks whether the path exists passes no record.
    IsoEntry stUnused;
    return IsoFind(pstImage, pcPath, iFollowLinks != 0, pstEntry ? pstEntry : &stUnused);
}

int UTIL_GetServerInfo(PluginServerInfo *pstInfo)
{
    const HostServerInfo &stHost = GetHostServerInfo();
    pstInfo->uiHttpServerIp = stHost.uiServerIp;
    pstInfo->uiDhcpMask = stHost.uiDhcpMask;
    pstInfo->uiDhcpGateway = stHost.uiDhcpGateway;
    pstInfo->usHttpPort = stHost.usHttpPort;
    pstInfo->uiTftpBlockSize = TftpBlockSize();
    return 0;
}

int UTIL_GetMenuDir(std::string *pstrOut)
{
    *pstrOut = MenuDirectory();
    return 0;
}

int UTIL_GetClientMenuName(const uint8_t *pucMac, uint32_t uiIp, std::string *pstrOut)
{
    *pstrOut = ClientMenuFileName(pucMac, uiIp);
    return 0;
}

int UTIL_ChooseItem(const char *pcTitle, const std::vector<std::string> *pvecItems, int iDefault)
{
    return PROMPT_Choose({pcTitle != nullptr ? pcTitle : "",
                          pvecItems != nullptr ? *pvecItems : std::vector<std::string>{},
                          iDefault});
}

int UTIL_AskCredentials(const char *pcPrompt, std::string *pstrUser, std::string *pstrPassword)
{
    CredentialsRequest stRequest{pcPrompt != nullptr ? pcPrompt : "", *pstrUser, *pstrPassword};
    if (!PROMPT_AskCredentials(stRequest)) {
        return 0;
    }
    *pstrUser = stRequest.strUser;
    *pstrPassword = stRequest.strPassword;
    return 1;
}

void UTIL_ProgressShow(const char *pcTitle, uint32_t uiTotal)
{
    PROMPT_Progress({ProgressStep::Show, pcTitle != nullptr ? pcTitle : "", uiTotal});
}

void UTIL_ProgressAdvance(uint32_t uiDone, const char *pcText)
{
    PROMPT_Progress({ProgressStep::Advance, pcText != nullptr ? pcText : "", uiDone});
}

void UTIL_ProgressClose()
{
    PROMPT_Progress({ProgressStep::Close, "", 0});
}

namespace {

template <typename Fn>
void Put(PluginUtilTable &stTable, PluginUtilSlot eSlot, Fn pfn)
{
    stTable.apfnSlot[eSlot] = reinterpret_cast<void *>(pfn);
}

PluginUtilTable BuildTable()
{
    PluginUtilTable stTable;
    // Each slot is checked against its declared signature as it goes in.
    Put<PFN_FileLineMatches>(stTable, UTIL_FILE_LINE_MATCHES, UTIL_FileLineMatches);
    Put<PFN_SourceFileMatches>(stTable, UTIL_SOURCE_FILE_MATCHES, UTIL_SourceFileMatches);
    Put<PFN_FileExists>(stTable, UTIL_FILE_EXISTS, UTIL_FileExists);
    Put<PFN_StripCarriageReturns>(stTable, UTIL_STRIP_CARRIAGE_RETURNS, UTIL_StripCarriageReturns);
    Put<PFN_ExpandTemplate>(stTable, UTIL_EXPAND_TEMPLATE, UTIL_ExpandTemplate);
    Put<PFN_AddTftpRoot>(stTable, UTIL_ADD_TFTP_ROOT, UTIL_AddTftpRoot);
    Put<PFN_AddShare>(stTable, UTIL_ADD_SHARE, UTIL_AddShare);
    Put<PFN_DeleteShare>(stTable, UTIL_DELETE_SHARE, UTIL_DeleteShare);
    Put<PFN_AddFilesToWim>(stTable, UTIL_ADD_FILES_TO_WIM, AddFilesToWim);
    Put<PFN_Log>(stTable, UTIL_LOG, UTIL_Log);
    Put<PFN_FindFileInIso>(stTable, UTIL_FIND_FILE_IN_ISO, UTIL_FindFileInIso);
    Put<PFN_GetServerInfo>(stTable, UTIL_GET_SERVER_INFO, UTIL_GetServerInfo);
    Put<PFN_GetWimImageNames>(stTable, UTIL_GET_WIM_IMAGE_NAMES, GetWimImageNames);
    Put<PFN_CryptString>(stTable, UTIL_CRYPT_STRING, UTIL_CryptString);
    Put<PFN_GetMenuDir>(stTable, UTIL_GET_MENU_DIR, UTIL_GetMenuDir);
    Put<PFN_GetClientMenuName>(stTable, UTIL_GET_CLIENT_MENU_NAME, UTIL_GetClientMenuName);
    Put<PFN_RegexMatches>(stTable, UTIL_REGEX_MATCHES, UTIL_RegexMatches);
    Put<PFN_OsNameMatchesIsoName>(stTable, UTIL_OS_NAME_MATCHES_ISO_NAME,
                                  UTIL_OsNameMatchesIsoName);
    Put<PFN_SourceFileCapture>(stTable, UTIL_SOURCE_FILE_CAPTURE, UTIL_SourceFileCapture);
    Put<PFN_CopyFileFromIso>(stTable, UTIL_COPY_FILE_FROM_ISO, UTIL_CopyFileFromIso);
    Put<PFN_ChooseItem>(stTable, UTIL_CHOOSE_ITEM, UTIL_ChooseItem);
    Put<PFN_AskCredentials>(stTable, UTIL_ASK_CREDENTIALS, UTIL_AskCredentials);
    Put<PFN_ProgressShow>(stTable, UTIL_PROGRESS_SHOW, UTIL_ProgressShow);
    Put<PFN_ProgressAdvance>(stTable, UTIL_PROGRESS_ADVANCE, UTIL_ProgressAdvance);
    Put<PFN_ProgressClose>(stTable, UTIL_PROGRESS_CLOSE, UTIL_ProgressClose);
    return stTable;
}

}  // namespace

void SetHostServerInfo(const HostServerInfo &stInfo)
{
    g_stServerInfo = stInfo;
}

const HostServerInfo &GetHostServerInfo()
{
    return g_stServerInfo;
}

const PluginUtilTable &HostUtilTable()
{
    static const PluginUtilTable s_stTable = BuildTable();
    return s_stTable;
}
