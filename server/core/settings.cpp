#include "settings.h"

#include <glib.h>
#include <json/json.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "data_dir.h"
#include "log.h"
#include "msg_table.h"
#include "qv_text.h"

namespace {

ServerSettings g_stServerSettings;

// Readers for one key: the key-absent value when the key is missing or has another type (a
// number that does not fit counts as another type).
uint32_t ReadUInt(const Json::Value &stRoot, const char *pcKey, uint32_t uiAbsent)
{
    const Json::Value &stValue = stRoot[pcKey];
    return stValue.isUInt() ? stValue.asUInt() : uiAbsent;
}

int32_t ReadInt(const Json::Value &stRoot, const char *pcKey, int32_t iAbsent)
{
    const Json::Value &stValue = stRoot[pcKey];
    return stValue.isInt() ? stValue.asInt() : iAbsent;
}

std::string ReadString(const Json::Value &stRoot, const char *pcKey, const char *pcAbsent)
{
    const Json::Value &stValue = stRoot[pcKey];
    return stValue.isString() ? stValue.asString() : pcAbsent;
}

uint32_t NonZeroOr(uint32_t uiValue, uint32_t uiReplacement)
{
    return uiValue != 0 ? uiValue : uiReplacement;
}

std::vector<std::string> ReadStringList(const Json::Value &stRoot, const char *pcKey)
{
    std::vector<std::string> vecList;
    const Json::Value &stArray = stRoot[pcKey];
    if (!stArray.isArray()) {
        return vecList;
    }
    for (const Json::Value &stItem : stArray) {
        if (stItem.isString()) {
            vecList.push_back(stItem.asString());
        }
    }
    return vecList;
}

std::vector<std::string> ReadHistory(const Json::Value &stRoot)
{
    std::vector<std::string> vecHistory;
    for (const std::string &strHex : ReadStringList(stRoot, "history_path_list")) {
        std::string strPath;
        std::error_code stErr;
        if (HexDecodePath(strHex, &strPath) &&
            (std::filesystem::is_regular_file(strPath, stErr) ||
             std::filesystem::is_directory(strPath, stErr))) {
            vecHistory.push_back(strPath);
        } else {
            LOG_Print(1, "PXEDLG", "Path %s not exist", strPath.empty() ? strHex.c_str()
                                                                        : strPath.c_str());
        }
    }
    return vecHistory;
}

void ReadExtBootOptions(const Json::Value &stRoot, std::vector<ExtBootOption> &vecRecords)
{
    const Json::Value &stArray = stRoot["ext_boot_opt_list"];
    if (!stArray.isArray()) {
        return;
    }
    for (const Json::Value &stItem : stArray) {
        if (!stItem.isObject() || !stItem["os_name"].isString()) {
            continue;
        }
        std::string strName = stItem["os_name"].asString();
        auto itRecord = std::find_if(vecRecords.begin(), vecRecords.end(),
                                     [&](const ExtBootOption &stOpt) { return stOpt.strOsName == strName; });
        if (itRecord == vecRecords.end()) {
            continue;
        }
        itRecord->bEnabled = stItem["enable_ext_boot_opt"].isBool() && stItem["enable_ext_boot_opt"].asBool();
        itRecord->strLegacyOpt = ReadString(stItem, "legacy_ext_boot_opt", "");
        itRecord->strUefiOpt = ReadString(stItem, "uefi_ext_boot_opt", "");
    }
}

void ApplyRoot(const Json::Value &stRoot, ServerSettings &stSet)
{
    uint32_t uiIPAddr = ReadUInt(stRoot, "IPAddr", 0);
    stSet.strIPAddr = uiIPAddr != 0 ? QV_IpText(uiIPAddr) : std::string();
    stSet.uiIPNum = ReadUInt(stRoot, "IPNum", 20);
    std::string strImg = ReadString(stRoot, "ImgPath", "null");
    std::string strImgPath;
    stSet.strImgPath = strImg != "null" && HexDecodePath(strImg, &strImgPath) ? strImgPath : "";
    stSet.vecHistoryPath = ReadHistory(stRoot);
    stSet.uiImgISO = ReadUInt(stRoot, "ImgISO", 1);
    stSet.uiAutoStart = ReadUInt(stRoot, "AutoStart", 0);
    uint32_t uiChinese = ReadUInt(stRoot, "Chinese", 255);
    if (uiChinese != 255) {
        MSG_SetChinese(uiChinese != 0);
    }
    stSet.uiWinkeyEnable = ReadUInt(stRoot, "winkey_enable", 0);
    stSet.strWinkey = ReadString(stRoot, "winkey", "");
    stSet.uiAutoInstall = ReadUInt(stRoot, "auto_install", 1);
    stSet.uiDhcpMask = NonZeroOr(ReadUInt(stRoot, "dhcp_mask", 0xFFFFFF00), 0xFFFFFF00);
    stSet.uiDhcpGateway = ReadUInt(stRoot, "dhcp_gateway", 0);
    stSet.uiDhcpFollowHost = ReadUInt(stRoot, "dhcp_followhost", 0);
    stSet.uiDhcpXxx1 = ReadUInt(stRoot, "dhcp_xxx1", 1);
    stSet.iLoaderType = ReadInt(stRoot, "loader_type", 2);
    stSet.uiBcdTftpBlockSize = ReadUInt(stRoot, "bcd_tftp_block_size", 0);
    // "null" (the absent value) names no boot file, so the current choice stays.
    std::string strDhcpFile = ReadString(stRoot, "dhcp_file", "null");
    if (strDhcpFile != "null") {
        stSet.strDhcpFile = strDhcpFile;
    }
    stSet.strInsDiskName = ReadString(stRoot, "ins_disk_name", "/dev/sda");
    stSet.uiTftpTimeout = NonZeroOr(ReadUInt(stRoot, "tftp_timeout", 1), 1);
    stSet.uiTftpMaxRetrans = NonZeroOr(ReadUInt(stRoot, "tftp_maxretrans", 5), 5);
    stSet.uiTftpSingleMode = ReadUInt(stRoot, "tftp_singlemode", 0);
    stSet.uiSanbootUseType = ReadUInt(stRoot, "sanboot_use_type", 0);
    // A port that does not fit in 16 bits is not a port: treated as absent, not cut.
    uint32_t uiPort = ReadUInt(stRoot, "http_port", 8810);
    stSet.usHttpPort = static_cast<uint16_t>(uiPort > 0xFFFF ? 8810 : NonZeroOr(uiPort, 8810));
    stSet.uiHttpDiskMode = 1;
    stSet.uiPimChooseTimeout = NonZeroOr(ReadUInt(stRoot, "pim_choose_timeout", 5), 5);
    stSet.uiPimPressTimeout = NonZeroOr(ReadUInt(stRoot, "pim_press_timeout", 5), 5);
    stSet.uiLogoTimeout = NonZeroOr(ReadUInt(stRoot, "logo_timeout", 3), 3);
    stSet.uiMacFltDeny = ReadUInt(stRoot, "mac_flt_deny", 1);
    stSet.vecMacFltList = ReadStringList(stRoot, "mac_flt_list");
    stSet.strNfsShareUrl = ReadString(stRoot, "nfs_share_url", "");
    stSet.iDhcpOnlyPxe = ReadInt(stRoot, "dhcp_only_pxe", 0);
    stSet.iZelVmFilter = ReadInt(stRoot, "zel_vm_filter", 0);
    ReadExtBootOptions(stRoot, stSet.vecExtBootOpt);
}

Json::Value StringArray(const std::vector<std::string> &vecItems, bool bHex)
{
    Json::Value stArray(Json::arrayValue);
    for (const std::string &strItem : vecItems) {
        stArray.append(bHex ? HexEncodePath(strItem) : strItem);
    }
    return stArray;
}

Json::Value BuildRoot(const ServerSettings &stSet)
{
    Json::Value stRoot(Json::objectValue);
    uint32_t uiIPAddr = 0;
    if (!stSet.strIPAddr.empty() && QV_IpParse(stSet.strIPAddr.c_str(), &uiIPAddr)) {
        stRoot["IPAddr"] = Json::UInt(uiIPAddr);
    }
    stRoot["IPNum"] = Json::UInt(stSet.uiIPNum);
    if (!stSet.strImgPath.empty()) {
        stRoot["ImgPath"] = HexEncodePath(stSet.strImgPath);
    }
    stRoot["history_path_list"] = StringArray(stSet.vecHistoryPath, true);
    stRoot["ImgISO"] = Json::UInt(stSet.uiImgISO);
    stRoot["AutoStart"] = Json::UInt(stSet.uiAutoStart);
    stRoot["Chinese"] = Json::UInt(MSG_IsChinese() ? 1 : 0);
    stRoot["winkey_enable"] = Json::UInt(stSet.uiWinkeyEnable);
    stRoot["winkey"] = stSet.strWinkey;
    stRoot["auto_install"] = Json::UInt(stSet.uiAutoInstall);
    stRoot["dhcp_mask"] = Json::UInt(stSet.uiDhcpMask);
    stRoot["dhcp_gateway"] = Json::UInt(stSet.uiDhcpGateway);
    stRoot["dhcp_followhost"] = Json::UInt(stSet.uiDhcpFollowHost);
    stRoot["dhcp_xxx1"] = Json::UInt(stSet.uiDhcpXxx1);
    stRoot["loader_type"] = Json::Int(stSet.iLoaderType);
    stRoot["bcd_tftp_block_size"] = Json::UInt(stSet.uiBcdTftpBlockSize);
    stRoot["dhcp_file"] = stSet.strDhcpFile;
    stRoot["ins_disk_name"] = stSet.strInsDiskName;
    stRoot["tftp_timeout"] = Json::UInt(stSet.uiTftpTimeout);
    stRoot["tftp_maxretrans"] = Json::UInt(stSet.uiTftpMaxRetrans);
    stRoot["tftp_singlemode"] = Json::UInt(stSet.uiTftpSingleMode);
    stRoot["sanboot_use_type"] = Json::UInt(stSet.uiSanbootUseType);
    stRoot["http_port"] = Json::UInt(stSet.usHttpPort);
    stRoot["http_disk_mode"] = Json::UInt(stSet.uiHttpDiskMode);
    stRoot["pim_choose_timeout"] = Json::UInt(stSet.uiPimChooseTimeout);
    stRoot["pim_press_timeout"] = Json::UInt(stSet.uiPimPressTimeout);
    stRoot["logo_timeout"] = Json::UInt(stSet.uiLogoTimeout);
    stRoot["mac_flt_deny"] = Json::UInt(stSet.uiMacFltDeny);
    stRoot["mac_flt_list"] = StringArray(stSet.vecMacFltList, false);
    stRoot["nfs_share_url"] = stSet.strNfsShareUrl;
    stRoot["dhcp_only_pxe"] = Json::Int(stSet.iDhcpOnlyPxe);
    stRoot["zel_vm_filter"] = Json::Int(stSet.iZelVmFilter);
    Json::Value stOptions(Json::arrayValue);
    for (const ExtBootOption &stOpt : stSet.vecExtBootOpt) {
        Json::Value stItem(Json::objectValue);
        stItem["os_name"] = stOpt.strOsName;
        stItem["enable_ext_boot_opt"] = stOpt.bEnabled;
        stItem["legacy_ext_boot_opt"] = stOpt.strLegacyOpt;
        stItem["uefi_ext_boot_opt"] = stOpt.strUefiOpt;
        stOptions.append(stItem);
    }
    stRoot["ext_boot_opt_list"] = stOptions;
    return stRoot;
}

std::string SettingsPath()
{
    return DataDirectory() + "/conf/orv.json";
}

} // namespace

std::vector<ExtBootOption> BuildExtBootOptions(const std::vector<PluginDescription> &vecPlugins)
{
    std::vector<ExtBootOption> vecRecords;
    for (const PluginDescription &stPlugin : vecPlugins) {
        std::string strUpper = stPlugin.strFileName;
        std::transform(strUpper.begin(), strUpper.end(), strUpper.begin(),
                       [](unsigned char ucChar) { return static_cast<char>(toupper(ucChar)); });
        if (strUpper.find("OSPREY") != std::string::npos) {
            continue;
        }
        const std::string &strText = stPlugin.strDescription;
        for (size_t uiPos = strText.find("-- "); uiPos != std::string::npos;
             uiPos = strText.find("-- ", uiPos)) {
            uiPos += 3;
            size_t uiEnd = strText.find_first_of("\r\n", uiPos);
            std::string strName = strText.substr(uiPos, uiEnd == std::string::npos ? std::string::npos : uiEnd - uiPos);
            // An empty name would give a record nobody can address; it is skipped.
            if (!strName.empty() && strName.find("Future Version") == std::string::npos) {
                vecRecords.push_back({strName, false, "", ""});
            }
        }
    }
    std::stable_sort(vecRecords.begin(), vecRecords.end(),
                     [](const ExtBootOption &stA, const ExtBootOption &stB) {
                         return stA.strOsName < stB.strOsName;
                     });
    return vecRecords;
}

std::string HexEncodePath(const std::string &strPath)
{
    std::string strHex;
    strHex.reserve(strPath.size() * 2);
    for (unsigned char ucByte : strPath) {
        char szPair[3];
        snprintf(szPair, sizeof(szPair), "%02X", ucByte);
        strHex += szPair;
    }
    return strHex;
}

bool HexDecodePath(const std::string &strHex, std::string *pstrPath)
{
    if (strHex.size() % 2 != 0) {
        return false;
    }
    auto iDigit = [](char cChar) {
        return g_ascii_xdigit_value(cChar);
    };
    std::string strPath;
    for (size_t i = 0; i < strHex.size(); i += 2) {
        int iHigh = iDigit(strHex[i]);
        int iLow = iDigit(strHex[i + 1]);
        if (iHigh < 0 || iLow < 0 || (iHigh == 0 && iLow == 0)) {
            return false;
        }
        strPath += static_cast<char>(iHigh * 16 + iLow);
    }
    *pstrPath = std::move(strPath);
    return true;
}

bool LoadSettingsFile(const std::string &strPath, ServerSettings &stSettings)
{
    std::ifstream stFile(strPath, std::ios::binary);
    if (!stFile) {
        return false;
    }
    Json::CharReaderBuilder stBuilder;
    Json::Value stRoot;
    std::string strErrors;
    if (!Json::parseFromStream(stBuilder, stFile, &stRoot, &strErrors) || !stRoot.isObject()) {
        LOG_Print(0, "PXEDLG", "Settings file %s is not valid: %s", strPath.c_str(),
                  strErrors.empty() ? "not a JSON object" : strErrors.c_str());
        return false;
    }
    ApplyRoot(stRoot, stSettings);
    return true;
}

bool SaveSettingsFile(const std::string &strPath, const ServerSettings &stSettings)
{
    namespace fs = std::filesystem;
    std::error_code stErr;
    fs::path stTarget(strPath);
    if (stTarget.has_parent_path()) {
        fs::create_directories(stTarget.parent_path(), stErr);
    }
    Json::StreamWriterBuilder stBuilder;
    stBuilder["indentation"] = "   ";
    std::string strText = Json::writeString(stBuilder, BuildRoot(stSettings)) + "\n";
    std::string strTemp = strPath + ".tmp." + std::to_string(getpid());
    {
        std::ofstream stOut(strTemp, std::ios::binary | std::ios::trunc);
        stOut << strText;
        stOut.flush();
        if (!stOut) {
            fs::remove(strTemp, stErr);
            return false;
        }
    }
    if (rename(strTemp.c_str(), strPath.c_str()) != 0) {
        fs::remove(strTemp, stErr);
        return false;
    }
    return true;
}

ServerSettings &Settings()
{
    return g_stServerSettings;
}

bool LoadSettings()
{
    return LoadSettingsFile(SettingsPath(), g_stServerSettings);
}

bool SaveSettings()
{
    bool bSaved = SaveSettingsFile(SettingsPath(), g_stServerSettings);
    if (!bSaved) {
        LOG_Print(0, "PXEDLG", "Failed to save settings to %s", SettingsPath().c_str());
    }
    return bSaved;
}
