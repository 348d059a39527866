#include "plugin_profile.h"

#include <glib.h>
#include <glib/gstdio.h>
#include <json/json.h>

#include <fstream>
#include <sstream>

#include "plugin_hostcalls.h"
#include "plugin_text.h"

namespace {

std::vector<OsRecord> g_vecOs;
OsRecord *g_pstActive = nullptr;
ProfileFlavor g_stFlavor = {"", "", false};

void ReadString(const Json::Value &jv, const char *pcKey, std::string *pstr)
{
    const Json::Value &jvItem = jv[pcKey];
    if (jvItem.isString()) *pstr = jvItem.asString();
}

// Any JSON value counts: a number when nonzero, a string when non-empty, a container when it
// has members.
bool Truthy(const Json::Value &jv)
{
    if (jv.isBool()) return jv.asBool();
    if (jv.isNumeric()) return jv.asDouble() != 0;
    if (jv.isString()) return !jv.asString().empty();
    if (jv.isArray() || jv.isObject()) return jv.size() > 0;
    return false;
}

void ReadRedirects(const Json::Value &jv, OsRecord *pst)
{
    if (!jv.isArray()) return;
    for (const Json::Value &jvItem : jv) {
        if (!jvItem.isObject()) continue;
        std::string strRaw, strNew;
        ReadString(jvItem, "RawPath", &strRaw);
        ReadString(jvItem, "NewPath", &strNew);
        if (strRaw.empty() || strNew.empty()) continue;
        pst->vecRedirect.emplace_back(strRaw, strNew);
        PluginLog(0, "[%s] Add file redt rule [%s] --> [%s].", pst->strOSName.c_str(),
                  strRaw.c_str(), strNew.c_str());
    }
}

void ReadVmwareRules(const Json::Value &jv, OsRecord *pst)
{
    if (!jv.isArray()) return;
    for (const Json::Value &jvItem : jv) {
        if (!jvItem.isObject()) continue;
        std::string strV00, strPayload, strOperation;
        ReadString(jvItem, "V00File", &strV00);
        ReadString(jvItem, "Payload", &strPayload);
        ReadString(jvItem, "Operation", &strOperation);
        VmwareRule stRule{strV00, strV00, strOperation, strPayload};
        if (size_t pos = strV00.rfind('/'); pos != std::string::npos) {
            stRule.strDir = strV00.substr(0, pos);
            stRule.strFile = strV00.substr(pos + 1);
        }
        if (strOperation.empty() || strPayload.empty()) continue;
        PluginLog(0, "Add vmw drv rule [%s] [%s] [%s] [%s].", strOperation.c_str(),
                  stRule.strDir.c_str(), stRule.strFile.c_str(), strPayload.c_str());
        pst->vecVmwareRules.push_back(stRule);
    }
}

// A template is looked for in a directory of the working directory; empty and "null" pass.
bool TemplatePresent(const std::string &strDir, const std::string &strName)
{
    if (strName.empty() || strName == "null") return true;
    std::string strPath = JoinPath(JoinPath(PluginWorkDir(), strDir), strName);
    if (HostFileExists(strPath)) return true;
    PluginLog(1, "File %s is not exist.", strPath.c_str());
    return false;
}

void ReadBuildinList(const Json::Value &jv, bool bUefi, const std::string &strDriverPath,
                     std::string *pstrOut)
{
    if (!jv.isArray()) return;
    for (const Json::Value &jvItem : jv) {
        if (!jvItem.isObject()) continue;
        std::string strDepend, strOpt;
        ReadString(jvItem, "DependFile", &strDepend);
        ReadString(jvItem, "BootOpt", &strOpt);
        // Only the legacy list knows the driver directory.
        if (!bUefi) ReplaceAll(&strDepend, "$DRIVER_PATH$", strDriverPath);
        if (strDepend.empty() || HostFileExists(JoinPath(PluginWorkDir(), strDepend))) {
            *pstrOut += " " + strOpt;
            PluginLog(0, bUefi ? "Add UEFI ext boot option %s" : "Add legacy ext boot option %s",
                      strOpt.c_str());
        } else {
            PluginLog(0, "File %s not exist, boot option %s ignored.", strDepend.c_str(),
                      strOpt.c_str());
        }
    }
}

void ReadBuildinOptions(const Json::Value &jv, const std::string &strDriverPath, OsRecord *pst)
{
    const Json::Value &jvLegacy = jv["BuildinLegacyExtBootOpt"];
    const Json::Value &jvUefi = jv["BuildinUEFIExtBootOpt"];
    if ((jvLegacy.isArray() && jvLegacy.size() > 0) || (jvUefi.isArray() && jvUefi.size() > 0))
        PluginLog(0, "%s now parse buildin ext boot option.", pst->strOSName.c_str());
    ReadBuildinList(jvLegacy, false, strDriverPath, &pst->strBuildinLegacyOpt);
    ReadBuildinList(jvUefi, true, strDriverPath, &pst->strBuildinUefiOpt);
    if (!pst->strBuildinLegacyOpt.empty())
        PluginLog(0, "Build in legacy ext boot opt: %s", pst->strBuildinLegacyOpt.c_str());
    if (!pst->strBuildinUefiOpt.empty())
        PluginLog(0, "Build in uefi ext boot opt: %s", pst->strBuildinUefiOpt.c_str());
}

// Windows profiles give the built-in options as plain strings, kept as they are.
void ReadBuildinStrings(const Json::Value &jv, OsRecord *pst)
{
    ReadString(jv, "BuildinLegacyExtBootOpt", &pst->strBuildinLegacyOpt);
    ReadString(jv, "BuildinUEFIExtBootOpt", &pst->strBuildinUefiOpt);
}

bool ReadMatchRules(const Json::Value &jv, bool bWindows, OsRecord *pst)
{
    if (!jv.isArray() && !jv.isNull()) return false;
    for (const Json::Value &jvItem : jv) {
        if (!jvItem.isObject() && !jvItem.isNull()) return false;
        MatchRule stRule{"null", "null", "null"};
        if (jvItem.isObject()) {
            ReadString(jvItem, "Condition", &stRule.strCondition);
            ReadString(jvItem, "Path", &stRule.strPath);
            ReadString(jvItem, "MatchRegex", &stRule.strRegex);
        }
        if (stRule.strCondition == "null" || stRule.strPath == "null") return false;
        bool bNeedsRegex = stRule.strCondition != "Exist" && stRule.strCondition != "NonExist" &&
                           !(bWindows && stRule.strCondition == "WimContains");
        if (bNeedsRegex && stRule.strRegex == "null") return false;
        pst->vecMatchRules.push_back(stRule);
    }
    return true;
}

void ReadVirtualIso(const Json::Value &jv, const std::string *pstrDriverPath, OsRecord *pst)
{
    VirtualIsoCfg &st = pst->stVirt;
    if (jv.isObject()) {
        ReadString(jv, "driver_iso", &st.driver_iso);
        ReadString(jv, "bios_cfgfile", &st.bios_cfgfile);
        ReadString(jv, "bios_cfgfile_ex", &st.bios_cfgfile_ex);
        ReadString(jv, "uefi_cfgfile", &st.uefi_cfgfile);
        ReadString(jv, "uefi_cfgfile_ex", &st.uefi_cfgfile_ex);
        ReadString(jv, "virt_cfgfile", &st.virt_cfgfile);
        ReadString(jv, "virt_cfgfile_ex", &st.virt_cfgfile_ex);
        ReadString(jv, "old_file1", &st.old_file1);
        ReadString(jv, "old_file2", &st.old_file2);
        ReadString(jv, "new_file1", &st.new_file1);
        ReadString(jv, "new_file2", &st.new_file2);
        for (int i = 0; i < 4; ++i) {
            ReadString(jv, ("int_file" + std::to_string(i + 1)).c_str(), &st.int_file[i]);
            ReadString(jv, ("ext_file" + std::to_string(i + 1)).c_str(), &st.ext_file[i]);
            if (pstrDriverPath) ReplaceAll(&st.ext_file[i], "$DRIVER_PATH$", *pstrDriverPath);
        }
        st.bios_sanboot_only = Truthy(jv["bios_sanboot_only"]);
        st.uefi_sanboot_only = Truthy(jv["uefi_sanboot_only"]);
    }
    pst->bVirtIso = !st.bios_cfgfile.empty() || !st.bios_cfgfile_ex.empty() ||
                    !st.uefi_cfgfile.empty() || !st.uefi_cfgfile_ex.empty() ||
                    !st.virt_cfgfile.empty() || !st.virt_cfgfile_ex.empty();
}

// Reads one OS object; false after logging what made it invalid.
bool ReadRecord(const ProfileFlavor &stFlavor, const Json::Value &jv, OsRecord *pst)
{
    const char *pcName = stFlavor.pcProfileName;
    ReadString(jv, "OSName", &pst->strOSName);
    ReadString(jv, "ISOPreferRegex", &pst->strISOPreferRegex);
    ReadString(jv, "PXEDefaultCfg", &pst->strPXEDefaultCfg);
    ReadString(jv, "PXEDefaultCfgUEFI", &pst->strPXEDefaultCfgUEFI);
    ReadString(jv, "PXEDefaultCfgEx", &pst->strPXEDefaultCfgEx);
    ReadString(jv, "PXEDefaultCfgUEFIEx", &pst->strPXEDefaultCfgUEFIEx);
    ReadString(jv, "AutoRespCfg", &pst->strAutoRespCfg);
    ReadString(jv, "AutoRespCfgEx", &pst->strAutoRespCfgEx);
    ReadString(jv, "AutoRespCfgUEFI", &pst->strAutoRespCfgUEFI);
    ReadString(jv, "AutoRespCfgUEFIEx", &pst->strAutoRespCfgUEFIEx);
    ReadString(jv, "ManualCfg", &pst->strManualCfg);
    ReadString(jv, "ManualCfgUEFI", &pst->strManualCfgUEFI);
    ReadString(jv, "BootLabel", &pst->strBootLabel);
    ReadString(jv, "Arch", &pst->strArch);
    if (stFlavor.bWindows) ReadString(jv, "BootWimPath", &pst->strBootWimPath);
    pst->b32Bit = pst->strArch.find("32") != std::string::npos;
    pst->bSupportUEFI = Truthy(jv["SupportUEFI"]);
    pst->bPublish = Truthy(jv["Publish"]);
    pst->bFlashRom = Truthy(jv["FlashRom"]);
    pst->bNfsExport = Truthy(jv["NfsExport"]);
    pst->bSupportISCSIDeploy = Truthy(jv["SupportISCSIDeploy"]);
    if (stFlavor.bWindows) {
        pst->bIscsiUefi = Truthy(jv["SupportISCSIDeployUEFI"]);
    } else {
        ReadString(jv, "DriverPathAlias", &pst->strDriverPathAlias);
        ReadString(jv, "UpdateDriverInitOpt", &pst->strUpdateDriverInitOpt);
        ReadRedirects(jv["FileRedirect"], pst);
        ReadVmwareRules(jv["VmwareDriver"], pst);
    }

    if (pst->strOSName == "null" || pst->strPXEDefaultCfg == "null" ||
        pst->strAutoRespCfg == "null") {
        PluginLog(0, "Invalid OS config in %s.", pcName);
        return false;
    }
    if (pst->bSupportUEFI &&
        (pst->strPXEDefaultCfgUEFI == "null" || pst->strAutoRespCfgUEFI == "null")) {
        PluginLog(0, "Invalid OS config in %s(UEFI config NULL).", pcName);
        return false;
    }
    std::string strMenuDir = HostMenuDir();
    if (!TemplatePresent(strMenuDir, pst->strPXEDefaultCfg) ||
        !TemplatePresent("kickstart", pst->strAutoRespCfg))
        return false;
    if (pst->bSupportUEFI && (!TemplatePresent(strMenuDir, pst->strPXEDefaultCfgUEFI) ||
                              !TemplatePresent("kickstart", pst->strAutoRespCfgUEFI)))
        return false;

    std::string strDriverPath = DriverPath(stFlavor, *pst);
    if (stFlavor.bWindows)
        ReadBuildinStrings(jv, pst);
    else
        ReadBuildinOptions(jv, strDriverPath, pst);

    if (!jv.isMember("OSMatchRequest") ||
        !ReadMatchRules(jv["OSMatchRequest"], stFlavor.bWindows, pst)) {
        PluginLog(0, "Invalid OS config in %s.", pcName);
        return false;
    }
    // Windows records take the virtual-ISO names as written.
    ReadVirtualIso(jv["VirtualISOCfg"], stFlavor.bWindows ? nullptr : &strDriverPath, pst);
    return true;
}

void CreateDriverDirectories(const ProfileFlavor &stFlavor)
{
    std::string strWork = PluginWorkDir();
    g_mkdir_with_parents(JoinPath(strWork, stFlavor.pcDriverRoot).c_str(), 0755);
    unsigned uCreated = 0;
    for (const OsRecord &st : g_vecOs) {
        if (!stFlavor.bWindows && st.strOSName.find("Future Version") != std::string::npos)
            continue;
        std::string strDir = JoinPath(strWork, DriverPath(stFlavor, st));
        if (g_file_test(strDir.c_str(), G_FILE_TEST_IS_DIR)) continue;
        if (g_mkdir(strDir.c_str(), 0755) == 0) ++uCreated;
    }
    PluginLog(0, "Create %u driver directories", uCreated);
}

}  // namespace

std::vector<OsRecord> &OsList()
{
    return g_vecOs;
}
OsRecord *&ActiveOs()
{
    return g_pstActive;
}
const ProfileFlavor &ProfileFlavorLoaded()
{
    return g_stFlavor;
}

std::string DriverPath(const ProfileFlavor &stFlavor, const OsRecord &stRecord)
{
    std::string strName =
        stRecord.strDriverPathAlias.empty() ? stRecord.strOSName : stRecord.strDriverPathAlias;
    for (char &c : strName)
        if (c == ' ') c = '_';
    return std::string(stFlavor.pcDriverRoot) + "/" + strName;
}

int ParseProfile(const ProfileFlavor &stFlavor, const std::string &strText)
{
    Json::Value jvRoot;
    Json::CharReaderBuilder builder;
    std::string strErrors;
    std::istringstream is(strText);
    if (!Json::parseFromStream(builder, is, &jvRoot, &strErrors) ||
        (!jvRoot.isArray() && !jvRoot.isNull())) {
        PluginLog(0, "Failed to parse json file %s.", stFlavor.pcProfileName);
        return 0;
    }
    // A reload must not leave the active record pointing into a list that is rebuilt.
    g_pstActive = nullptr;
    g_vecOs.clear();
    g_stFlavor = stFlavor;
    for (const Json::Value &jv : jvRoot) {
        if (jv.isNull()) continue;
        if (!jv.isObject()) {
            PluginLog(0, "Invalid OS config in %s.", stFlavor.pcProfileName);
            return 0;
        }
        OsRecord stRecord;
        if (!ReadRecord(stFlavor, jv, &stRecord)) return 0;
        g_vecOs.push_back(std::move(stRecord));
    }
    PluginLog(0, "Successfully parse %u custom OS config.", static_cast<unsigned>(g_vecOs.size()));
    return 1;
}

int LoadProfile(const ProfileFlavor &stFlavor)
{
    std::string strPath = JoinPath(JoinPath(PluginWorkDir(), "plugin"), stFlavor.pcProfileName);
    if (!HostFileExists(strPath)) {
        PluginLog(0, "File %s is not found.", strPath.c_str());
        return 0;
    }
    std::ifstream in(strPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    if (!in) {
        PluginLog(0, "Failed to parse json file %s.", stFlavor.pcProfileName);
        return 0;
    }
    if (ParseProfile(stFlavor, ss.str()) == 0) {
        return 0;
    }
    CreateDriverDirectories(stFlavor);
    return 1;
}
