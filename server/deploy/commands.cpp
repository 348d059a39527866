#include "commands.h"

#include <glib.h>

#include <algorithm>

#include "admission.h"
#include "boot_config.h"
#include "controller.h"
#include "data_dir.h"
#include "iso_detect.h"
#include "log.h"
#include "msg_table.h"
#include "plugin_host.h"
#include "prompt.h"
#include "qvdhcp_config.h"
#include "root_password.h"
#include "settings.h"
#include "version.h"

MenuState CMD_MenuState()
{
    const ServerSettings &stSet = Settings();
    MenuState stState;
    stState.bDhcpOnlyPxe = stSet.iDhcpOnlyPxe == 1;
    stState.bZelVmFilter = stSet.iZelVmFilter == 1;
    stState.bAutoStart = stSet.uiAutoStart == 1;
    stState.bIsoFile = stSet.uiImgISO == 1;
    stState.bChinese = MSG_IsChinese();
    stState.bAutoInstall = stSet.uiAutoInstall == 1;
    stState.bIdleOnlyItemsEnabled = !Controller().bRunning;
    return stState;
}

void CMD_ToggleDhcpOnlyPxe()
{
    Settings().iDhcpOnlyPxe = Settings().iDhcpOnlyPxe ? 0 : 1;
    QVDHCP_CFG_SetOnlyPXE(uint32_t(Settings().iDhcpOnlyPxe));
}

void CMD_ToggleZelVmFilter()
{
    Settings().iZelVmFilter = Settings().iZelVmFilter ? 0 : 1;
    QVDHCP_CFG_SetVMFilter(uint32_t(Settings().iZelVmFilter));
}

void CMD_ToggleAutoStart()
{
    Settings().uiAutoStart = Settings().uiAutoStart ? 0 : 1;
}

bool CMD_SetSourceKind(bool bIsoFile)
{
    if (Controller().bRunning) {
        return false;
    }
    Settings().uiImgISO = bIsoFile ? 1 : 0;
    return true;
}

void CMD_SetInstallMode(bool bAuto)
{
    if ((Settings().uiAutoInstall == 1) == bAuto) {
        return;
    }
    Settings().uiAutoInstall = bAuto ? 1 : 0;
    RefreshInstallLabel();
}

bool CMD_SetLanguage(bool bChinese)
{
    if (Controller().bRunning) {
        return false;
    }
    MSG_SetChinese(bChinese);
    return true;
}

bool CMD_ChooseSource(const std::string &strPath)
{
    if (Controller().bRunning) {
        return false;
    }
    if (Settings().uiImgISO == 1 && !IsIso9660File(strPath.c_str())) {
        PROMPT_Show(MSG_Text(18), "ERR", PromptIcon::Error);
        return false;
    }
    Settings().strImgPath = strPath;
    return true;
}

bool CMD_ApplyServerConfig(const ServerConfigForm &stForm)
{
    const char *pcTitle = MSG_Text(94);
    if (stForm.uiMask == 0) {
        PROMPT_Show(MSG_Text(111), pcTitle);
        return false;
    }
    if (!stForm.bXxx1 && stForm.uiGateway == 0) {
        PROMPT_Show(MSG_Text(112), pcTitle);
        return false;
    }
    if (!TargetDiskTextValid(stForm.strDisk)) {
        PROMPT_Show(MSG_Text(113), pcTitle);
        return false;
    }
    std::vector<std::string> vecDns;
    if (!ParseDnsList(stForm.strDns, &vecDns)) {
        PROMPT_Show(MSG_Choose("请输入一到三个 DNS 服务器地址，用逗号分隔。",
                               "Please enter one to three name server addresses, separated by "
                               "commas."),
                    pcTitle);
        return false;
    }
    if (!DomainNameValid(stForm.strDomain)) {
        PROMPT_Show(MSG_Choose("请输入有效的域名。", "Please enter a valid domain name."), pcTitle);
        return false;
    }
    if (!RootPasswordValid(stForm.strRootPassword)) {
        PROMPT_Show(MSG_Choose("root 密码不能为空，也不能含控制字符或 \" \\ < > &。",
                               "The root password must not be empty nor hold control characters "
                               "or any of \" \\ < > &."),
                    pcTitle);
        return false;
    }
    ServerSettings &stSet = Settings();
    stSet.vecDhcpDns = vecDns;
    stSet.strDhcpDomain = stForm.strDomain;
    stSet.uiDhcpProxy = stForm.bProxy ? 1 : 0;
    stSet.uiDhcpRelay = stForm.bRelay ? 1 : 0;
    stSet.uiIpv6Ra = stForm.bIpv6Ra ? 1 : 0;
    stSet.uiHttpDiskMode = stForm.bHttpDisk ? 1 : 0;
    stSet.strRootPassword = stForm.strRootPassword;
    stSet.uiDhcpMask = stForm.uiMask;
    stSet.uiDhcpGateway = stForm.uiGateway;
    stSet.uiDhcpFollowHost = stForm.bCopyHost ? 1 : 0;
    stSet.uiDhcpXxx1 = stForm.bXxx1 ? 1 : 0;
    stSet.uiTftpTimeout = stForm.uiTftpTimeout;
    stSet.uiTftpMaxRetrans = stForm.uiRetransmit;
    stSet.uiTftpSingleMode = stForm.bSinglePort ? 1 : 0;
    stSet.usHttpPort = stForm.usHttpPort;
    BootLoaderConfig &stBoot = BootConfig();
    ParseTargetDisk(stForm.strDisk);
    stBoot.uiPimChooseTimeout = stForm.uiMenuTimeout;
    stBoot.uiPimPressTimeout = stForm.uiKeyTimeout;
    ScanBootFiles(stForm.iLoader);
    if (stForm.uiBootIndex < stBoot.vecBootFiles.size()) {
        stBoot.iBootFileIndex = int32_t(stForm.uiBootIndex);
        stBoot.strDhcpFile = stBoot.vecBootFiles[stForm.uiBootIndex];
    }
    SetBlockSizeChoice(stForm.uiBcdBlock);
    return true;
}

bool CMD_SetNfsShareUrl(const std::string &strUrl)
{
    if (!g_regex_match_simple("(\\d+\\.){3}\\d+:\\S+", strUrl.c_str(), G_REGEX_RAW,
                              GRegexMatchFlags(0))) {
        PROMPT_Show(MSG_Text(72), MSG_Text(70));
        return false;
    }
    Settings().strNfsShareUrl = strUrl;
    return true;
}

bool CMD_SetExtBootActive(uint32_t uiIndex, bool bActive)
{
    std::vector<ExtBootOption> &vecOptions = Settings().vecExtBootOpt;
    if (uiIndex >= vecOptions.size()) {
        return false;
    }
    vecOptions[uiIndex].bEnabled = bActive;
    return true;
}

bool CMD_SetExtBootOptions(uint32_t uiIndex, const std::string &strLegacy,
                           const std::string &strUefi)
{
    std::vector<ExtBootOption> &vecOptions = Settings().vecExtBootOpt;
    if (uiIndex >= vecOptions.size() || !vecOptions[uiIndex].bEnabled) {
        return true;
    }
    auto fnAbove126 = [](const std::string &strText) {
        return std::any_of(strText.begin(), strText.end(),
                           [](char c) { return static_cast<unsigned char>(c) > 126; });
    };
    if (fnAbove126(strLegacy) || fnAbove126(strUefi)) {
        PROMPT_Show(MSG_Text(68), MSG_Text(40));
        return false;
    }
    vecOptions[uiIndex].strLegacyOpt = strLegacy;
    vecOptions[uiIndex].strUefiOpt = strUefi;
    return true;
}

bool CMD_SetWinKey(const std::string &strKey, bool bEnable)
{
    if (Controller().bRunning) {
        return false;
    }
    // The field holds at most 32 characters; a longer text is refused like a bad character.
    if (strKey.size() > 32 || !std::all_of(strKey.begin(), strKey.end(),
                                           [](char c) { return g_ascii_isalnum(c) || c == '-'; })) {
        PROMPT_Show(MSG_Text(152), MSG_Text(53));
        return false;
    }
    Settings().strWinkey = strKey;
    Settings().uiWinkeyEnable = bEnable ? 1 : 0;
    return true;
}

bool CMD_MacFilterApply(bool bDeny, const std::vector<std::string> &vecPatterns)
{
    if (!bDeny && vecPatterns.empty()) {
        PromptRequest stAsk{MSG_Text(65), "WARNING", PromptIcon::Warning, PromptButtons::YesNo,
                            PromptAnswer::No};
        if (PROMPT_Ask(stAsk) != PromptAnswer::Yes) {
            return false;
        }
    }
    Settings().uiMacFltDeny = bDeny ? 1 : 0;
    Settings().vecMacFltList = vecPatterns;
    SetMacFilter(bDeny, vecPatterns);
    return true;
}

bool CMD_MacEditCheck(const std::string &strText, std::string *pstrPattern)
{
    if (NormalizeMacPattern(strText, pstrPattern)) {
        return true;
    }
    PROMPT_Show(MSG_Text(17), "ERROR", PromptIcon::Error);
    return false;
}

bool CMD_MacFilterImport(const std::string &strPath, std::vector<std::string> *pvecPatterns)
{
    int iCount = ImportMacList(strPath, pvecPatterns);
    if (iCount < 0) {
        PROMPT_Show(MSG_Text(7), WindowTitle());
        return false;
    }
    gchar *pcText = g_strdup_printf(
        MSG_Choose("导入成功，共计 %d 个MAC地址", "Successfully import %d MAC addresses"), iCount);
    PROMPT_Show(pcText, WindowTitle());
    g_free(pcText);
    return true;
}

std::string CMD_MacFilterExport()
{
    std::string strPath = DataDirectory() + "/tmp_mac_list.txt";
    if (!ExportMacList(strPath, Settings().vecMacFltList)) {
        PROMPT_Show(MSG_Text(8), WindowTitle());
        return "";
    }
    return strPath;
}

std::string CMD_PluginListCaption()
{
    if (Controller().pstDhcp == nullptr) {
        return MSG_Text(67);
    }
    gchar *pcText = g_strdup_printf("%s  (* %s)", MSG_Text(67), ActivePluginFileName().c_str());
    std::string strCaption = pcText;
    g_free(pcText);
    return strCaption;
}

std::string CMD_AboutText()
{
    return ProductTitle();
}

void CMD_FlushLog()
{
    LOG_Flush();
}

unsigned CMD_DeleteHistoryLog()
{
    return LOG_DeleteHistory(DataDirectory());
}
