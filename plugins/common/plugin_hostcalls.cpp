#include "plugin_hostcalls.h"

#include <glib.h>

#include <cstdarg>

namespace {
PluginUtilTable g_stTable;
const char *g_pcModule = "PLUGIN";
}  // namespace

void PluginSetHost(const PluginUtilTable *pstTable, const char *pcModule)
{
    g_stTable = pstTable ? *pstTable : PluginUtilTable{};
    g_pcModule = pcModule;
}

const PluginUtilTable &PluginHostTable()
{
    return g_stTable;
}

void PluginLog(uint32_t uiLevel, const char *pcFormat, ...)
{
    auto pfnLog = HostUtil<PFN_Log>(UTIL_LOG);
    if (!pfnLog) return;
    va_list args;
    va_start(args, pcFormat);
    gchar *pcText = g_strdup_vprintf(pcFormat, args);
    va_end(args);
    // The text is passed as an argument: names from the profile may hold '%'.
    pfnLog(uiLevel, g_pcModule, "%s", pcText);
    g_free(pcText);
}

bool HostFileExists(const std::string &strPath)
{
    auto pfn = HostUtil<PFN_FileExists>(UTIL_FILE_EXISTS);
    return pfn && pfn(strPath.c_str()) != 0;
}

std::string HostMenuDir()
{
    std::string strDir;
    if (auto pfn = HostUtil<PFN_GetMenuDir>(UTIL_GET_MENU_DIR)) pfn(&strDir);
    return strDir;
}

std::string PluginWorkDir()
{
    gchar *pcDir = g_get_current_dir();
    std::string strDir(pcDir);
    g_free(pcDir);
    return strDir;
}

std::string JoinPath(const std::string &strDir, const std::string &strName)
{
    if (strDir.empty()) return strName;
    if (strDir.back() == '/') return strDir + strName;
    return strDir + "/" + strName;
}
