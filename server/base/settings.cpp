#include "settings.h"

#include <glib.h>
#include <json/json.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>

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
        if (HexDecodePath(strHex, &strPath) && (std::filesystem::is_regular_file(strPath, stErr) ||
                                                std::filesystem::is_directory(strPath, stErr))) {
            vecHistory.push_back(strPath);
        } else {
            LOG_Print(1, "PXEDLG", "Path %s not exist",
                      strPath.empty() ? strHex.c_str() : strPath.c_str());
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
        auto itRecord =
            std::find_if(vecRecords.begin(), vecRecords.end(),
                         [&](const ExtBootOption &stOpt) { return stOpt.strOsName == strName; });
        if (itRecord == vecRecords.end()) {
            continue;
        }
        itRecord->bEnabled =
            stItem["enable_ext_boot_opt"].isBool() && stItem["enable_ext_boot_opt"].asBool();
        itRecord->strLegacyOpt = ReadString(stItem, "legacy_ext_boot_opt", "");
        itRecord->strUefiOpt = ReadString(stItem, "uefi_ext_boot_opt", "");
    }
}

// The plain keys: read with their key-absent value, a zero replaced where the key has a
// replacement, written back as they are.
struct UIntKey {
    const char *pcKey;
    uint32_t ServerSettings::*pMember;
    uint32_t uiAbsent;
    uint32_t uiZeroReplacement;  // 0: zero stays
};
const UIntKey g_astUIntKeys[] = {
    {"IPNum", &ServerSettings::uiIPNum, 20, 0},
    {"ImgISO", &ServerSettings::uiImgISO, 1, 0},
    {"AutoStart", &ServerSettings::uiAutoStart, 0, 0},
    {"winkey_enable", &ServerSettings::uiWinkeyEnable, 0, 0},
    {"auto_install", &ServerSettings::uiAutoInstall, 1, 0},
    {"dhcp_mask", &ServerSettings::uiDhcpMask, 0xFFFFFF00, 0xFFFFFF00},
    {"dhcp_gateway", &ServerSettings::uiDhcpGateway, 0, 0},
    {"dhcp_followhost", &ServerSettings::uiDhcpFollowHost, 0, 0},
    {"dhcp_xxx1", &ServerSettings::uiDhcpXxx1, 1, 0},
    {"bcd_tftp_block_size", &ServerSettings::uiBcdTftpBlockSize, 0, 0},
    {"tftp_timeout", &ServerSettings::uiTftpTimeout, 1, 1},
    {"tftp_maxretrans", &ServerSettings::uiTftpMaxRetrans, 5, 5},
    {"tftp_singlemode", &ServerSettings::uiTftpSingleMode, 0, 0},
    {"sanboot_use_type", &ServerSettings::uiSanbootUseType, 0, 0},
    {"pim_choose_timeout", &ServerSettings::uiPimChooseTimeout, 5, 5},
    {"pim_press_timeout", &ServerSettings::uiPimPressTimeout, 5, 5},
    {"logo_timeout", &ServerSettings::uiLogoTimeout, 3, 3},
    {"mac_flt_deny", &ServerSettings::uiMacFltDeny, 1, 0},
};

struct IntKey {
    const char *pcKey;
    int32_t ServerSettings::*pMember;
    int32_t iAbsent;
};
const IntKey g_astIntKeys[] = {
    {"loader_type", &ServerSettings::iLoaderType, 2},
    {"dhcp_only_pxe", &ServerSettings::iDhcpOnlyPxe, 0},
    {"zel_vm_filter", &ServerSettings::iZelVmFilter, 0},
};

struct StringKey {
    const char *pcKey;
    std::string ServerSettings::*pMember;
    const char *pcAbsent;
};
const StringKey g_astStringKeys[] = {
    {"winkey", &ServerSettings::strWinkey, ""},
    {"ins_disk_name", &ServerSettings::strInsDiskName, "/dev/sda"},
    {"nfs_share_url", &ServerSettings::strNfsShareUrl, ""},
    {"root_password", &ServerSettings::strRootPassword, ""},
};

void ApplyRoot(const Json::Value &stRoot, ServerSettings &stSet)
{
    for (const UIntKey &stKey : g_astUIntKeys) {
        uint32_t uiValue = ReadUInt(stRoot, stKey.pcKey, stKey.uiAbsent);
        stSet.*stKey.pMember =
            uiValue == 0 && stKey.uiZeroReplacement != 0 ? stKey.uiZeroReplacement : uiValue;
    }
    for (const IntKey &stKey : g_astIntKeys) {
        stSet.*stKey.pMember = ReadInt(stRoot, stKey.pcKey, stKey.iAbsent);
    }
    for (const StringKey &stKey : g_astStringKeys) {
        stSet.*stKey.pMember = ReadString(stRoot, stKey.pcKey, stKey.pcAbsent);
    }
    uint32_t uiIPAddr = ReadUInt(stRoot, "IPAddr", 0);
    stSet.strIPAddr = uiIPAddr != 0 ? QV_IpText(uiIPAddr) : std::string();
    std::string strImg = ReadString(stRoot, "ImgPath", "null");
    std::string strImgPath;
    stSet.strImgPath = strImg != "null" && HexDecodePath(strImg, &strImgPath) ? strImgPath : "";
    stSet.vecHistoryPath = ReadHistory(stRoot);
    uint32_t uiChinese = ReadUInt(stRoot, "Chinese", 255);
    if (uiChinese != 255) {
        MSG_SetChinese(uiChinese != 0);
    }
    // "null" (the absent value) names no boot file, so the current choice stays.
    std::string strDhcpFile = ReadString(stRoot, "dhcp_file", "null");
    if (strDhcpFile != "null") {
        stSet.strDhcpFile = strDhcpFile;
    }
    // A port that does not fit in 16 bits is not a port: treated as absent, not cut.
    uint32_t uiPort = ReadUInt(stRoot, "http_port", 8810);
    stSet.usHttpPort = static_cast<uint16_t>(uiPort == 0 || uiPort > 0xFFFF ? 8810 : uiPort);
    stSet.uiHttpDiskMode = 1;
    stSet.vecMacFltList = ReadStringList(stRoot, "mac_flt_list");
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
    for (const UIntKey &stKey : g_astUIntKeys) {
        stRoot[stKey.pcKey] = Json::UInt(stSet.*stKey.pMember);
    }
    for (const IntKey &stKey : g_astIntKeys) {
        stRoot[stKey.pcKey] = Json::Int(stSet.*stKey.pMember);
    }
    for (const StringKey &stKey : g_astStringKeys) {
        stRoot[stKey.pcKey] = stSet.*stKey.pMember;
    }
    uint32_t uiIPAddr = 0;
    if (!stSet.strIPAddr.empty() && QV_IpParse(stSet.strIPAddr.c_str(), &uiIPAddr)) {
        stRoot["IPAddr"] = Json::UInt(uiIPAddr);
    }
    if (!stSet.strImgPath.empty()) {
        stRoot["ImgPath"] = HexEncodePath(stSet.strImgPath);
    }
    stRoot["history_path_list"] = StringArray(stSet.vecHistoryPath, true);
    stRoot["Chinese"] = Json::UInt(MSG_IsChinese() ? 1 : 0);
    stRoot["dhcp_file"] = stSet.strDhcpFile;
    stRoot["http_port"] = Json::UInt(stSet.usHttpPort);
    stRoot["http_disk_mode"] = Json::UInt(stSet.uiHttpDiskMode);
    stRoot["mac_flt_list"] = StringArray(stSet.vecMacFltList, false);
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

}  // namespace

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
            std::string strName = strText.substr(
                uiPos, uiEnd == std::string::npos ? std::string::npos : uiEnd - uiPos);
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
    auto iDigit = [](char cChar) { return g_ascii_xdigit_value(cChar); };
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

uint32_t PoolStartAddress(const ServerSettings &stSettings)
{
    uint32_t uiStart = 0;
    return QV_IpParse(stSettings.strIPAddr.c_str(), &uiStart) ? uiStart : 0;
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
