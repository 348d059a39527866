#include "console_dialogs.h"

#include <arpa/inet.h>
#include <glib.h>

#include "boot_config.h"
#include "client_table.h"
#include "commands.h"
#include "console_timeline.h"
#include "controller.h"
#include "iso_detect.h"
#include "iso_extract.h"
#include "source_extract.h"
#include "log.h"
#include "msg_table.h"
#include "plugin_host.h"
#include "prompt.h"
#include "root_password.h"
#include "settings.h"

namespace {

std::string Dotted(uint32_t uiAddr)
{
    in_addr stAddr{htonl(uiAddr)};
    char szText[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &stAddr, szText, sizeof(szText));
    return szText;
}

// A dotted address field; 0 when the text is not one.
uint32_t ParseDotted(const Json::Value &stValue)
{
    in_addr stAddr{};
    if (!stValue.isString() || inet_pton(AF_INET, stValue.asCString(), &stAddr) != 1) {
        return 0;
    }
    return ntohl(stAddr.s_addr);
}

uint32_t UInt(const Json::Value &stArgs, const char *pcKey)
{
    const Json::Value &stValue = stArgs[pcKey];
    return stValue.isIntegral() && stValue.asInt64() >= 0 ? uint32_t(stValue.asUInt64()) : 0;
}

std::string Text(const Json::Value &stArgs, const char *pcKey)
{
    return stArgs[pcKey].isString() ? stArgs[pcKey].asString() : "";
}

bool Flag(const Json::Value &stArgs, const char *pcKey)
{
    return stArgs[pcKey].isBool() && stArgs[pcKey].asBool();
}

// The boot-file list of each loader kind, leaving the configuration as it was.
Json::Value BootFileLists()
{
    BootLoaderConfig stSaved = BootConfig();
    Json::Value stLists(Json::arrayValue);
    for (int32_t iKind : {BOOT_LOADER_PXELINUX, BOOT_LOADER_GRUB2, BOOT_LOADER_IPXE}) {
        ScanBootFiles(iKind);
        Json::Value stEntry;
        stEntry["files"] = Json::Value(Json::arrayValue);
        for (const std::string &strFile : BootConfig().vecBootFiles) {
            stEntry["files"].append(strFile);
        }
        stEntry["index"] = BootConfig().iBootFileIndex;
        stLists.append(stEntry);
    }
    BootConfig() = stSaved;
    return stLists;
}

std::string DriverVersionText()
{
    gchar *pcText = nullptr;
    std::string strVersion;
    if (g_file_get_contents("driver/version.txt", &pcText, nullptr, nullptr)) {
        std::string strAll = pcText;
        g_free(pcText);
        std::string strLine = strAll.substr(0, strAll.find_first_of("\r\n"));
        gchar *pcTrim = g_strstrip(g_strdup(strLine.c_str()));
        strVersion = pcTrim;
        g_free(pcTrim);
    } else {
        strVersion = MSG_Text(21);
    }
    return std::string(MSG_Text(76)) + ":\r\n\r\n" + strVersion;
}

}  // namespace

bool DLG_CheckRange(const Json::Value &stArgs, const char *pcKey, long lMin, long lMax,
                    const char *pcCaption)
{
    const Json::Value &stValue = stArgs[pcKey];
    if (stValue.isIntegral() && stValue.asInt64() >= lMin && stValue.asInt64() <= lMax) {
        return true;
    }
    gchar *pcText = g_strdup_printf(MSG_Choose("请输入一个介于 %ld 和 %ld 之间的整数。",
                                               "Please enter an integer between %ld and %ld."),
                                    lMin, lMax);
    PROMPT_Show(pcText, pcCaption, PromptIcon::Warning);
    g_free(pcText);
    return false;
}

Json::Value DLG_ServerConfigGet()
{
    const ServerSettings &stSet = Settings();
    const BootLoaderConfig &stBoot = BootConfig();
    SetBlockSizeChoice(stBoot.uiBlockSizeChoice);
    Json::Value stDlg;
    stDlg["mask"] = Dotted(stSet.uiDhcpMask);
    stDlg["gateway"] = Dotted(stSet.uiDhcpGateway);
    stDlg["copyHost"] = stSet.uiDhcpFollowHost != 0;
    stDlg["xxx1"] = stSet.uiDhcpXxx1 != 0;
    stDlg["loader"] = stBoot.iLoaderType;
    stDlg["bootLists"] = BootFileLists();
    stDlg["bootIndex"] = stBoot.iBootFileIndex;
    stDlg["disk"] = stBoot.strInsDiskName;
    stDlg["tftpTimeout"] = stSet.uiTftpTimeout;
    stDlg["retransmit"] = stSet.uiTftpMaxRetrans;
    stDlg["singlePort"] = stSet.uiTftpSingleMode != 0;
    stDlg["bcdBlock"] = stBoot.uiBlockSizeChoice;
    stDlg["httpPort"] = stSet.usHttpPort;
    stDlg["menuTimeout"] = stBoot.uiPimChooseTimeout;
    stDlg["keyTimeout"] = stBoot.uiPimPressTimeout;
    stDlg["httpDisk"] = stSet.uiHttpDiskMode != 0;
    std::string strDns;
    for (const std::string &strAddr : stSet.vecDhcpDns) {
        strDns += (strDns.empty() ? "" : ",") + strAddr;
    }
    stDlg["dns"] = strDns;
    stDlg["domain"] = stSet.strDhcpDomain;
    stDlg["proxy"] = stSet.uiDhcpProxy != 0;
    stDlg["relay"] = stSet.uiDhcpRelay != 0;
    stDlg["ipv6Ra"] = stSet.uiIpv6Ra != 0;
    stDlg["rootPassword"] = stSet.strRootPassword;
    return stDlg;
}

bool DLG_ServerConfigApply(const Json::Value &stArgs)
{
    const char *pcTitle = MSG_Text(94);
    if (!DLG_CheckRange(stArgs, "tftpTimeout", 1, 100, pcTitle) ||
        !DLG_CheckRange(stArgs, "retransmit", 1, 100, pcTitle) ||
        !DLG_CheckRange(stArgs, "httpPort", 1, 65535, pcTitle) ||
        !DLG_CheckRange(stArgs, "menuTimeout", 1, 99999, pcTitle) ||
        !DLG_CheckRange(stArgs, "keyTimeout", 1, 99999, pcTitle) ||
        !DLG_CheckRange(stArgs, "bcdBlock", 0, 4, pcTitle) ||
        !DLG_CheckRange(stArgs, "loader", 0, 2, pcTitle)) {
        return false;
    }
    ServerConfigForm stForm;
    stForm.uiMask = ParseDotted(stArgs["mask"]);
    stForm.uiGateway = ParseDotted(stArgs["gateway"]);
    stForm.bCopyHost = Flag(stArgs, "copyHost");
    stForm.bXxx1 = Flag(stArgs, "xxx1");
    stForm.strDisk = Text(stArgs, "disk");
    stForm.uiTftpTimeout = UInt(stArgs, "tftpTimeout");
    stForm.uiRetransmit = UInt(stArgs, "retransmit");
    stForm.bSinglePort = Flag(stArgs, "singlePort");
    stForm.usHttpPort = uint16_t(UInt(stArgs, "httpPort"));
    stForm.uiMenuTimeout = UInt(stArgs, "menuTimeout");
    stForm.uiKeyTimeout = UInt(stArgs, "keyTimeout");
    stForm.iLoader = int32_t(UInt(stArgs, "loader"));
    stForm.uiBootIndex = UInt(stArgs, "bootIndex");
    stForm.uiBcdBlock = UInt(stArgs, "bcdBlock");
    stForm.strDns = Text(stArgs, "dns");
    stForm.strDomain = Text(stArgs, "domain");
    stForm.bProxy = Flag(stArgs, "proxy");
    stForm.bRelay = Flag(stArgs, "relay");
    stForm.bIpv6Ra = Flag(stArgs, "ipv6Ra");
    stForm.bHttpDisk = Flag(stArgs, "httpDisk");
    stForm.strRootPassword = Text(stArgs, "rootPassword");
    return CMD_ApplyServerConfig(stForm);
}

Json::Value DLG_NfsGet()
{
    Json::Value stDlg;
    stDlg["url"] = Settings().strNfsShareUrl;
    return stDlg;
}

bool DLG_NfsApply(const Json::Value &stArgs)
{
    return CMD_SetNfsShareUrl(Text(stArgs, "url"));
}

Json::Value DLG_ExtBootGet()
{
    Json::Value stDlg;
    stDlg["records"] = Json::Value(Json::arrayValue);
    int iSelected = 0;
    const std::vector<ExtBootOption> &vecOptions = Settings().vecExtBootOpt;
    for (size_t i = 0; i < vecOptions.size(); ++i) {
        Json::Value stRecord;
        stRecord["name"] = vecOptions[i].strOsName;
        stRecord["active"] = vecOptions[i].bEnabled;
        stRecord["legacy"] = vecOptions[i].strLegacyOpt;
        stRecord["uefi"] = vecOptions[i].strUefiOpt;
        stDlg["records"].append(stRecord);
        if (Controller().bRunning && vecOptions[i].strOsName == Controller().stOsInfo.strOsName) {
            iSelected = int(i);
        }
    }
    stDlg["selected"] = iSelected;
    return stDlg;
}

bool DLG_ExtBootActive(const Json::Value &stArgs)
{
    return CMD_SetExtBootActive(UInt(stArgs, "index"), Flag(stArgs, "active"));
}

bool DLG_ExtBootApply(const Json::Value &stArgs)
{
    return CMD_SetExtBootOptions(UInt(stArgs, "index"), Text(stArgs, "legacy"),
                                 Text(stArgs, "uefi"));
}

Json::Value DLG_WinKeyGet()
{
    Json::Value stDlg;
    stDlg["key"] = Settings().strWinkey;
    stDlg["enable"] = Settings().uiWinkeyEnable != 0;
    return stDlg;
}

bool DLG_WinKeyApply(const Json::Value &stArgs)
{
    return CMD_SetWinKey(Text(stArgs, "key"), Flag(stArgs, "enable"));
}

Json::Value DLG_BaseDriverGet()
{
    Json::Value stDlg;
    stDlg["text"] = DriverVersionText();
    return stDlg;
}

Json::Value DLG_BaseDriverLoad(const Json::Value &stArgs)
{
    std::string strPackage = Text(stArgs, "path");
    Json::Value stResult;
    stResult["ok"] = false;
    if (strPackage.size() > 4) {
        std::string strDir = strPackage.substr(0, strPackage.size() - 4);
        strDir = strDir.substr(0, strDir.find_last_of('/') + 1);
        std::string strShell = "/bin/sh";
        std::string strScript = "dll/loaddrv.sh";
        gchar *apcArgv[] = {strShell.data(), strScript.data(), strPackage.data(), strDir.data(),
                            nullptr};
        gint iStatus = 0;
        // A missing script counts as a script that cannot be started: nothing is shown.
        if (!g_file_test(strScript.c_str(), G_FILE_TEST_IS_REGULAR)) {
            LOG_Print(0, "PXEDLG", "Cannot load the driver package: %s is missing",
                      strScript.c_str());
        } else if (g_spawn_sync(nullptr, apcArgv, nullptr, G_SPAWN_DEFAULT, nullptr, nullptr,
                                nullptr, nullptr, &iStatus, nullptr)) {
            LOG_Print(0, "PXEDLG", "Driver package %s loaded by %s, status %d", strPackage.c_str(),
                      strScript.c_str(), iStatus);
            PROMPT_Show(MSG_Text(20), MSG_Text(75));
            stResult["ok"] = true;
        }
    }
    stResult["text"] = DriverVersionText();
    return stResult;
}

Json::Value DLG_LogConfigGet()
{
    Json::Value stDlg;
    stDlg["enabled"] = LOG_IsEnabled();
    stDlg["file"] = LOG_GetFile();
    stDlg["level"] = LOG_GetLevel();
    stDlg["cache"] = LOG_GetCacheCount();
    return stDlg;
}

bool DLG_LogConfigApply(const Json::Value &stArgs)
{
    bool bEnabled = Flag(stArgs, "enabled");
    std::string strFile = Text(stArgs, "file");
    if (bEnabled) {
        if (!DLG_CheckRange(stArgs, "cache", 1, 10000000, MSG_Text(87)) ||
            !DLG_CheckRange(stArgs, "level", 0, 2, MSG_Text(87))) {
            return false;
        }
        if (strFile.empty()) {
            PROMPT_Show(MSG_Text(93), MSG_Text(87));
            return false;
        }
        if (!g_file_test(strFile.c_str(), G_FILE_TEST_EXISTS) || strFile == LOG_GetFile()) {
            FILE *pstFile = fopen(strFile.c_str(), "a");
            if (pstFile == nullptr) {
                PROMPT_Show(MSG_Text(9), "ERR", PromptIcon::Error);
                return false;
            }
            fclose(pstFile);
        } else {
            PromptRequest stAsk{MSG_Text(11), "WARN", PromptIcon::Warning, PromptButtons::YesNo,
                                PromptAnswer::No};
            if (PROMPT_Ask(stAsk) != PromptAnswer::Yes) {
                return false;
            }
        }
    }
    LOG_SetEnabled(bEnabled);
    if (bEnabled) {
        LOG_SetFile(strFile);
        LOG_SetLevel(int(UInt(stArgs, "level")));
        LOG_SetCacheCount(UInt(stArgs, "cache"));
    }
    return true;
}

Json::Value DLG_PluginsGet()
{
    Json::Value stDlg;
    stDlg["caption"] = CMD_PluginListCaption();
    stDlg["items"] = Json::Value(Json::arrayValue);
    std::string strActive = Controller().pstDhcp != nullptr ? ActivePluginFileName() : "";
    stDlg["active"] = -1;
    for (const PluginListItem &stItem : PluginList()) {
        std::string strDesc = stItem.strDescription;
        if (stItem.pfnGetDesc != nullptr) {
            stItem.pfnGetDesc(MSG_IsChinese() ? 1 : 0, &strDesc);
        }
        Json::Value stJson;
        stJson["name"] = stItem.strFileName;
        stJson["description"] = strDesc;
        if (stItem.strFileName == strActive) {
            stDlg["active"] = stDlg["items"].size();
        }
        stDlg["items"].append(stJson);
    }
    return stDlg;
}

Json::Value DLG_ClientDetail(const Json::Value &stArgs)
{
    ClientDetail stDetail;
    Json::Value stDlg;
    if (!GetClientDetail(int(UInt(stArgs, "row")), &stDetail)) {
        stDlg["ok"] = false;
        return stDlg;
    }
    stDlg["ok"] = true;
    stDlg["biosMode"] = stDetail.strBiosMode;
    stDlg["mac"] = stDetail.strMac;
    stDlg["ip"] = stDetail.strAddress;
    stDlg["serial"] = stDetail.strSerial;
    stDlg["product"] = stDetail.strProduct;
    stDlg["vendor"] = stDetail.strVendor;
    stDlg["pimNetwork"] = stDetail.strPimNetwork;
    stDlg["startTime"] = stDetail.strStartTime;
    stDlg["minutes"] = Json::UInt64(stDetail.ullMinutes);
    stDlg["seconds"] = Json::UInt64(stDetail.ullSeconds);
    // A running row's timer goes on in the page from this moment.
    stDlg["live"] = !stDetail.strStartTime.empty();
    DLG_AddClientHistory(int(UInt(stArgs, "row")), stDlg);
    return stDlg;
}

Json::Value DLG_ExtractChooseIso(const Json::Value &stArgs)
{
    Json::Value stResult;
    std::string strIso = Text(stArgs, "path");
    stResult["ok"] = false;
    if (EXTRACT_Running()) {
        PROMPT_Show(MSG_Text(13), MSG_Text(78));
    } else if (!IsIso9660File(strIso.c_str())) {
        PROMPT_Show(MSG_Text(18), MSG_Text(78));
    } else {
        stResult["ok"] = true;
        stResult["destination"] = IsoExtractDefaultDestination(strIso);
    }
    return stResult;
}

bool DLG_ExtractStart(const Json::Value &stArgs)
{
    int iMessage = EXTRACT_Start(Text(stArgs, "iso"), Text(stArgs, "destination"));
    if (iMessage != 0) {
        PROMPT_Show(MSG_Text(iMessage), MSG_Text(78));
        return false;
    }
    return true;
}

bool DLG_ExtractStop()
{
    if (!EXTRACT_Running()) {
        return true;
    }
    PromptRequest stAsk{MSG_Text(16), "WARN", PromptIcon::Warning, PromptButtons::YesNo,
                        PromptAnswer::No};
    if (PROMPT_Ask(stAsk) != PromptAnswer::Yes) {
        return false;
    }
    // The worker ends on its own and removes what it wrote; the state shows when.
    EXTRACT_Cancel();
    return true;
}

bool DLG_ExtractClose()
{
    if (!DLG_ExtractStop()) {
        return false;
    }
    EXTRACT_Close();
    return true;
}

Json::Value DLG_ExtractState()
{
    ExtractState stState = EXTRACT_State();
    Json::Value stJson(Json::objectValue);
    stJson["running"] = stState.bRunning;
    stJson["done"] = stState.uiDone;
    stJson["total"] = stState.uiTotal;
    stJson["status"] = stState.strStatus;
    stJson["message"] = stState.strMessage;
    stJson["iso"] = stState.strIso;
    stJson["destination"] = stState.strDestination;
    stJson["startWaits"] = stState.bStartWaits;
    return stJson;
}
