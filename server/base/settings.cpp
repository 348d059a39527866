#include "settings.h"

#include <glib.h>
#include <json/json.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "qv_file.h"
#include "data_dir.h"
#include "log.h"
#include "msg_table.h"
#include "qv_text.h"

namespace {

ServerSettings g_stServerSettings;

// A name server clients can use: strictly dotted, not 0.0.0.0.
bool NameServerValid(const std::string &strAddr)
{
    uint32_t uiAddr = 0;
    return QV_IpValid(strAddr.c_str()) && QV_IpParse(strAddr.c_str(), &uiAddr) && uiAddr != 0;
}

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
// replacement, a value above the largest the settings dialog accepts brought down to it (a
// hand-edited file must not wrap a 16-bit service setting to 0), written back as they are.
struct UIntKey {
    const char *pcKey;
    uint32_t ServerSettings::*pMember;
    uint32_t uiAbsent;
    uint32_t uiZeroReplacement;  // 0: zero stays
    uint32_t uiMax = UINT32_MAX;
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
    {"tftp_timeout", &ServerSettings::uiTftpTimeout, 1, 1, 100},
    {"tftp_maxretrans", &ServerSettings::uiTftpMaxRetrans, 5, 5, 100},
    {"tftp_singlemode", &ServerSettings::uiTftpSingleMode, 0, 0},
    {"mac_flt_deny", &ServerSettings::uiMacFltDeny, 1, 0},
    {"dhcp_proxy", &ServerSettings::uiDhcpProxy, 0, 0},
    {"dhcp_relay", &ServerSettings::uiDhcpRelay, 0, 0},
    {"ipv6_ra", &ServerSettings::uiIpv6Ra, 0, 0},
};

struct IntKey {
    const char *pcKey;
    int32_t ServerSettings::*pMember;
    int32_t iAbsent;
};
const IntKey g_astIntKeys[] = {
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
    {"nfs_share_url", &ServerSettings::strNfsShareUrl, ""},
    {"root_password", &ServerSettings::strRootPassword, ""},
};

SettingsKeyRefs g_stOwnedKeys;

uint32_t WithZeroReplaced(uint32_t uiValue, uint32_t uiZeroReplacement)
{
    return uiValue == 0 && uiZeroReplacement != 0 ? uiZeroReplacement : uiValue;
}

void ReadOwnedKeys(const Json::Value &stRoot)
{
    for (const SettingsUIntRef &stKey : g_stOwnedKeys.vecUInt) {
        *stKey.puiValue = WithZeroReplaced(ReadUInt(stRoot, stKey.pcKey, stKey.uiAbsent),
                                           stKey.uiZeroReplacement);
    }
    for (const SettingsIntRef &stKey : g_stOwnedKeys.vecInt) {
        *stKey.piValue = ReadInt(stRoot, stKey.pcKey, stKey.iAbsent);
    }
    for (const SettingsTextRef &stKey : g_stOwnedKeys.vecText) {
        // "null" stands for absent where an absent key keeps the value (it never names a file).
        std::string strValue =
            ReadString(stRoot, stKey.pcKey, stKey.pcAbsent != nullptr ? stKey.pcAbsent : "null");
        if (stKey.pcAbsent != nullptr || strValue != "null") {
            *stKey.pstrValue = strValue;
        }
    }
}

void WriteOwnedKeys(Json::Value &stRoot)
{
    for (const SettingsUIntRef &stKey : g_stOwnedKeys.vecUInt) {
        stRoot[stKey.pcKey] = Json::UInt(*stKey.puiValue);
    }
    for (const SettingsIntRef &stKey : g_stOwnedKeys.vecInt) {
        stRoot[stKey.pcKey] = Json::Int(*stKey.piValue);
    }
    for (const SettingsTextRef &stKey : g_stOwnedKeys.vecText) {
        stRoot[stKey.pcKey] = *stKey.pstrValue;
    }
}

// A hand-edited entry that clients could not use is dropped with a log line rather than handed
// out: a bad address in option 6 or a domain that does not fit a reply.
void ReadNameServers(const Json::Value &stRoot, ServerSettings &stSet)
{
    stSet.vecDhcpDns.clear();
    for (const std::string &strAddr : ReadStringList(stRoot, "dhcp_dns")) {
        if (stSet.vecDhcpDns.size() < 3 && NameServerValid(strAddr)) {
            stSet.vecDhcpDns.push_back(strAddr);
        } else {
            LOG_Print(1, "PXEDLG", "dhcp_dns entry %s ignored", strAddr.c_str());
        }
    }
    stSet.strDhcpDomain = ReadString(stRoot, "dhcp_domain", "");
    if (!DomainNameValid(stSet.strDhcpDomain)) {
        LOG_Print(1, "PXEDLG", "dhcp_domain %s ignored", stSet.strDhcpDomain.c_str());
        stSet.strDhcpDomain.clear();
    }
}

void ApplyRoot(const Json::Value &stRoot, ServerSettings &stSet)
{
    for (const UIntKey &stKey : g_astUIntKeys) {
        uint32_t uiValue = ReadUInt(stRoot, stKey.pcKey, stKey.uiAbsent);
        if (uiValue > stKey.uiMax) {
            LOG_Print(0, "PXEDLG", "Setting %s %u is above %u, %u used.", stKey.pcKey, uiValue,
                      stKey.uiMax, stKey.uiMax);
            uiValue = stKey.uiMax;
        }
        stSet.*stKey.pMember = WithZeroReplaced(uiValue, stKey.uiZeroReplacement);
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
    // A port that does not fit in 16 bits is not a port: treated as absent, not cut.
    uint32_t uiPort = ReadUInt(stRoot, "http_port", 8810);
    stSet.usHttpPort = static_cast<uint16_t>(uiPort == 0 || uiPort > 0xFFFF ? 8810 : uiPort);
    // 0 shares the source over SMB (the default); 1 serves it as an HTTP disk, which needs
    // driver builds the operator places.
    stSet.uiHttpDiskMode = ReadUInt(stRoot, "http_disk_mode", 0) != 0 ? 1 : 0;
    stSet.vecMacFltList = ReadStringList(stRoot, "mac_flt_list");
    ReadExtBootOptions(stRoot, stSet.vecExtBootOpt);
    ReadOwnedKeys(stRoot);
    ReadNameServers(stRoot, stSet);
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
    stRoot["http_port"] = Json::UInt(stSet.usHttpPort);
    stRoot["http_disk_mode"] = Json::UInt(stSet.uiHttpDiskMode);
    stRoot["mac_flt_list"] = StringArray(stSet.vecMacFltList, false);
    stRoot["dhcp_dns"] = StringArray(stSet.vecDhcpDns, false);
    stRoot["dhcp_domain"] = stSet.strDhcpDomain;
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
    WriteOwnedKeys(stRoot);
    return stRoot;
}

std::string SettingsPath()
{
    return DataDirectory() + "/conf/orv.json";
}

}  // namespace

bool ParseDnsList(const std::string &strText, std::vector<std::string> *pvecOut)
{
    std::vector<std::string> vecList;
    gchar **ppcParts = g_strsplit(strText.c_str(), ",", -1);
    bool bValid = true;
    for (gchar **ppcIt = ppcParts; *ppcIt != nullptr && bValid; ++ppcIt) {
        std::string strAddr = g_strstrip(*ppcIt);
        bValid = NameServerValid(strAddr) && vecList.size() < 3;
        vecList.push_back(strAddr);
    }
    g_strfreev(ppcParts);
    // The empty text splits into no parts: no name servers.
    if (bValid) {
        *pvecOut = vecList;
    }
    return bValid;
}

bool DomainNameValid(const std::string &strName)
{
    if (strName.size() > 253) {
        return false;
    }
    size_t uiLabel = 0;
    for (size_t i = 0; i <= strName.size(); ++i) {
        if (i == strName.size() || strName[i] == '.') {
            if ((uiLabel == 0 && !strName.empty()) || uiLabel > 63) {
                return false;
            }
            uiLabel = 0;
        } else if (isalnum(static_cast<unsigned char>(strName[i])) || strName[i] == '-') {
            ++uiLabel;
        } else {
            return false;
        }
    }
    return true;
}

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

void RegisterSettingsKeys(const SettingsKeyRefs &stRefs)
{
    auto append = [](auto &vecTo, const auto &vecFrom) {
        vecTo.insert(vecTo.end(), vecFrom.begin(), vecFrom.end());
    };
    append(g_stOwnedKeys.vecUInt, stRefs.vecUInt);
    append(g_stOwnedKeys.vecInt, stRefs.vecInt);
    append(g_stOwnedKeys.vecText, stRefs.vecText);
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
    return QV_SaveFile(strPath, strText);
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
