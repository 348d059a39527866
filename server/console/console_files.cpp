#include "console_files.h"

#include <glib.h>

#include <algorithm>
#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

Json::Value CONSOLE_ListDirectory(const std::string &strPath, bool bDirsOnly,
                                  const std::string &strSuffix)
{
    Json::Value stResult;
    std::error_code stErr;
    fs::path stDir =
        fs::weakly_canonical(strPath.empty() ? fs::current_path(stErr) : fs::path(strPath), stErr);
    if (stErr || !fs::is_directory(stDir, stErr)) {
        stResult["error"] = "not a directory: " + strPath;
        return stResult;
    }
    std::vector<std::pair<std::string, bool>> vecEntries;
    gchar *pcSuffix = g_ascii_strdown(strSuffix.c_str(), -1);
    fs::directory_iterator it(stDir, fs::directory_options::skip_permission_denied, stErr);
    if (stErr) {
        stResult["error"] = "cannot read " + stDir.string() + ": " + stErr.message();
    }
    for (fs::directory_iterator end; !stErr && it != end; it.increment(stErr)) {
        std::string strName = it->path().filename().string();
        bool bDir = it->is_directory(stErr);
        gchar *pcLower = g_ascii_strdown(strName.c_str(), -1);
        bool bWanted = bDir || (!bDirsOnly && g_str_has_suffix(pcLower, pcSuffix));
        g_free(pcLower);
        if (bWanted) {
            vecEntries.emplace_back(strName, bDir);
        }
        stErr.clear();
    }
    g_free(pcSuffix);
    std::sort(vecEntries.begin(), vecEntries.end(), [](const auto &a, const auto &b) {
        return a.second != b.second ? a.second : a.first < b.first;
    });
    stResult["path"] = stDir.string();
    stResult["parent"] = stDir.parent_path().string();
    stResult["entries"] = Json::Value(Json::arrayValue);
    for (const auto &[strName, bDir] : vecEntries) {
        Json::Value stEntry;
        stEntry["name"] = strName;
        stEntry["dir"] = bDir;
        stResult["entries"].append(stEntry);
    }
    return stResult;
}

bool CONSOLE_ReadOsPicture(const std::string &strType, std::string *pstrData)
{
    if (strType.empty() || strType.size() > 64 ||
        !std::all_of(strType.begin(), strType.end(),
                     [](char c) { return g_ascii_isalnum(c) || c == '-' || c == '_'; })) {
        return false;
    }
    gchar *pcData = nullptr;
    gsize uiSize = 0;
    std::string strPath = "icon/os/os-" + strType + ".png";
    if (!g_file_get_contents(strPath.c_str(), &pcData, &uiSize, nullptr)) {
        return false;
    }
    pstrData->assign(pcData, uiSize);
    g_free(pcData);
    return true;
}
