#include "plugin_host.h"

#include <dlfcn.h>
#include <glib.h>
#include <json/json.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "boot_text.h"
#include "log.h"
#include "msg_table.h"
#include "prompt.h"

namespace fs = std::filesystem;

namespace {

std::vector<PluginEntry> g_vecPlugins;
std::vector<PluginListItem> g_vecPluginList;
PluginEntryPoints g_stActive;
bool g_bActive = false;
std::vector<std::pair<std::string, std::string>> g_vecOsTypes;

// Resolves one export into its slot; false names the first missing one.
template <typename Fn>
bool Resolve(void *pvHandle, const char *pcName, Fn *ppfnOut, std::string *pstrMissing)
{
    *ppfnOut = reinterpret_cast<Fn>(dlsym(pvHandle, pcName));
    if (*ppfnOut == nullptr && pstrMissing->empty()) {
        *pstrMissing = pcName;
    }
    return *ppfnOut != nullptr;
}

bool ResolveAll(void *pvHandle, PluginEntryPoints *pstApi, std::string *pstrMissing)
{
    // In the order of the export names; the first missing name is the one reported.
    static_assert(std::size(PLUGIN_EXPORT_NAMES) == 11, "one name per entry point");
    const char *const *ppcName = PLUGIN_EXPORT_NAMES;
    return Resolve(pvHandle, *ppcName++, &pstApi->pfnCheckEnv, pstrMissing) &&
           Resolve(pvHandle, *ppcName++, &pstApi->pfnGetDesc, pstrMissing) &&
           Resolve(pvHandle, *ppcName++, &pstApi->pfnMakeCfgFile, pstrMissing) &&
           Resolve(pvHandle, *ppcName++, &pstApi->pfnIsISOMatch, pstrMissing) &&
           Resolve(pvHandle, *ppcName++, &pstApi->pfnShowCfgDlg, pstrMissing) &&
           Resolve(pvHandle, *ppcName++, &pstApi->pfnSetUtilCB, pstrMissing) &&
           Resolve(pvHandle, *ppcName++, &pstApi->pfnServiceStart, pstrMissing) &&
           Resolve(pvHandle, *ppcName++, &pstApi->pfnServiceStop, pstrMissing) &&
           Resolve(pvHandle, *ppcName++, &pstApi->pfnGetOSType, pstrMissing) &&
           Resolve(pvHandle, *ppcName++, &pstApi->pfnGetOSInfo, pstrMissing) &&
           Resolve(pvHandle, *ppcName++, &pstApi->pfnGetVirtISOInfo, pstrMissing);
}

void ReportLoadFailure(const std::string &strName)
{
    PROMPT_Show(
        MSG_Choose(("加载 " + strName + " 出错, 详细信息请参考系统日志").c_str(),
                   ("Load " + strName + " failed, please check the log for detail").c_str()),
        WindowTitle(), PromptIcon::Error);
    LOG_Flush();
}

std::string Trim(const std::string &strText)
{
    const char *pcSpace = " \t\r\n\v\f";
    size_t uiFirst = strText.find_first_not_of(pcSpace);
    if (uiFirst == std::string::npos) {
        return "";
    }
    return strText.substr(uiFirst, strText.find_last_not_of(pcSpace) - uiFirst + 1);
}

}  // namespace

int LoadPlugin(const std::string &strDirectory, const std::string &strFileName)
{
    std::string strPath = (fs::path(strDirectory) / strFileName).string();
    // RTLD_LOCAL: two plug-ins built on one skeleton carry the same internal names.
    void *pvHandle = dlopen(strPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (pvHandle == nullptr) {
        LOG_Print(0, "PXEDLG", "Load plugin %s failed: %s", strPath.c_str(), dlerror());
        return -1;
    }
    PluginEntry stEntry;
    stEntry.strFileName = strFileName;
    stEntry.pvHandle = pvHandle;
    std::string strMissing;
    if (!ResolveAll(pvHandle, &stEntry.stApi, &strMissing)) {
        LOG_Print(0, "PXEDLG", "Plugin %s has no export %s", strPath.c_str(), strMissing.c_str());
        dlclose(pvHandle);
        return -1;
    }
    stEntry.stApi.pfnSetUtilCB(&HostUtilTable());
    if (stEntry.stApi.pfnCheckEnv() == 0) {
        LOG_Print(0, "PXEDLG", "Plugin %s refused its environment", strPath.c_str());
        dlclose(pvHandle);
        return -1;
    }
    LOG_Print(0, "PXEDLG", "Plugin %s loaded", strPath.c_str());
    g_vecPlugins.push_back(std::move(stEntry));
    return 0;
}

int LoadPlugins(const std::string &strDirectory)
{
    std::vector<std::string> vecNames;
    bool bHeronSeen = false;
    std::string strHeron;
    std::error_code stErr;
    for (fs::directory_iterator it(strDirectory, stErr), end; !stErr && it != end;
         it.increment(stErr)) {
        std::string strName = it->path().filename().string();
        if (it->is_directory(stErr) || !g_pattern_match_simple("*.so", strName.c_str())) {
            continue;
        }
        if (UpperText(strName) == "PLUG_HERON.SO") {
            bHeronSeen = true;
            strHeron = strName;
        } else {
            vecNames.push_back(strName);
        }
    }
    if (bHeronSeen) {
        vecNames.push_back(strHeron);
    }
    int iLoaded = 0;
    for (const std::string &strName : vecNames) {
        if (LoadPlugin(strDirectory, strName) != 0) {
            ReportLoadFailure(strName);
        } else {
            ++iLoaded;
        }
    }
    g_vecPluginList.clear();
    for (const PluginEntry &stEntry : g_vecPlugins) {
        PluginListItem stItem{stEntry.strFileName, "", stEntry.stApi.pfnGetDesc};
        stEntry.stApi.pfnGetDesc(MSG_IsChinese() ? 1 : 0, &stItem.strDescription);
        g_vecPluginList.push_back(std::move(stItem));
    }
    return iLoaded;
}

void UnloadPlugins()
{
    g_vecPluginList.clear();
    g_stActive = {};
    g_bActive = false;
    for (PluginEntry &stEntry : g_vecPlugins) {
        dlclose(stEntry.pvHandle);
    }
    g_vecPlugins.clear();
}

int MatchPlugin(const std::string &strSource, const IsoImage *pstImage)
{
    const PluginEntry *pstWindows = nullptr;
    const PluginEntry *pstGeneric = nullptr;
    for (const PluginEntry &stEntry : g_vecPlugins) {
        (stEntry.strFileName.find("OSPREY") != std::string::npos ? pstWindows : pstGeneric) =
            &stEntry;
    }
    bool bWindowsFirst = strSource.find("Windows") != std::string::npos ||
                         strSource.find("windows") != std::string::npos;
    const PluginEntry *apstOrder[2] = {bWindowsFirst ? pstWindows : pstGeneric,
                                       bWindowsFirst ? pstGeneric : pstWindows};
    for (const PluginEntry *pstCandidate : apstOrder) {
        if (pstCandidate != nullptr &&
            pstCandidate->stApi.pfnIsISOMatch(strSource.c_str(), pstImage) != 0) {
            g_stActive = pstCandidate->stApi;
            g_bActive = true;
            LOG_Print(0, "PXEDLG", "Plugin %s matches %s", pstCandidate->strFileName.c_str(),
                      strSource.c_str());
            return 1;
        }
    }
    return 0;
}

const std::vector<PluginEntry> &LoadedPlugins()
{
    return g_vecPlugins;
}

const std::vector<PluginListItem> &PluginList()
{
    return g_vecPluginList;
}

std::vector<PluginDescription> PluginDescriptions()
{
    std::vector<PluginDescription> vecDescriptions;
    for (const PluginListItem &stItem : g_vecPluginList) {
        vecDescriptions.push_back({stItem.strFileName, stItem.strDescription});
    }
    return vecDescriptions;
}

const PluginEntryPoints *ActivePlugin()
{
    return g_bActive ? &g_stActive : nullptr;
}

const PluginEntry *ActivePluginEntry()
{
    if (!g_bActive) {
        return nullptr;
    }
    for (const PluginEntry &stEntry : g_vecPlugins) {
        if (stEntry.stApi.pfnIsISOMatch == g_stActive.pfnIsISOMatch) {
            return &stEntry;
        }
    }
    return nullptr;
}

std::string ActivePluginFileName()
{
    const PluginEntry *pstEntry = ActivePluginEntry();
    return pstEntry != nullptr ? pstEntry->strFileName : "";
}

bool LoadOsTypeTable(const std::string &strPath)
{
    g_vecOsTypes.clear();
    std::ifstream stIn(strPath);
    Json::Value stRoot;
    Json::CharReaderBuilder stBuilder;
    std::string strErrors;
    if (!stIn || !Json::parseFromStream(stBuilder, stIn, &stRoot, &strErrors) ||
        !stRoot.isArray()) {
        LOG_Print(1, "PXEDLG", "OS type table %s cannot be read", strPath.c_str());
        return false;
    }
    for (const Json::Value &stRow : stRoot) {
        if (stRow.isObject() && stRow["key"].isString() && stRow["type"].isString()) {
            g_vecOsTypes.emplace_back(stRow["key"].asString(), stRow["type"].asString());
        }
    }
    return true;
}

std::string OsTypeOfName(const std::string &strOsName)
{
    std::string strUpper = UpperText(strOsName);
    for (const auto &[strKey, strType] : g_vecOsTypes) {
        if (strUpper.find(strKey) != std::string::npos) {
            return strType;
        }
    }
    return "unknown";
}

std::string ExtBootOptionFor(const std::vector<ExtBootOption> &vecOptions,
                             const std::string &strOsName, bool bUefi)
{
    for (const ExtBootOption &stOption : vecOptions) {
        if (stOption.strOsName == strOsName) {
            std::string strText = Trim(bUefi ? stOption.strUefiOpt : stOption.strLegacyOpt);
            return stOption.bEnabled && !strText.empty() ? strText : " ";
        }
    }
    return " ";
}

