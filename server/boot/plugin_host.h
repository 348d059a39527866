// The plug-in host: loading the shared objects of "plugin/", the utility table handed to them,
// the choice of the active plug-in for an installation source, the OS-type table and the extra
// boot options of an OS.
//
// Everything here runs on the main thread. Plug-ins are loaded once at start-up and stay loaded
// until UnloadPlugins at exit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kiv_plugin_api.h"
#include "plugin_util.h"
#include "settings.h"

// The eleven entry points, in the order they are resolved.
struct PluginEntryPoints {
    PFN_CheckEnv pfnCheckEnv = nullptr;
    PFN_GetDesc pfnGetDesc = nullptr;
    PFN_MakeCfgFile pfnMakeCfgFile = nullptr;
    PFN_IsISOMatch pfnIsISOMatch = nullptr;
    PFN_ShowCfgDlg pfnShowCfgDlg = nullptr;
    PFN_SetUtilCB pfnSetUtilCB = nullptr;
    PFN_ServiceStart pfnServiceStart = nullptr;
    PFN_ServiceStop pfnServiceStop = nullptr;
    PFN_GetOSType pfnGetOSType = nullptr;
    PFN_GetOSInfo pfnGetOSInfo = nullptr;
    PFN_GetVirtISOInfo pfnGetVirtISOInfo = nullptr;
};

// One loaded plug-in.
struct PluginEntry {
    std::string strFileName;   // as found, e.g. "PLUG_HERON.so"
    void *pvHandle = nullptr;  // dlopen handle
    PluginEntryPoints stApi;
};

// One row of the plug-in list the console shows: the description is fetched at load time in the
// start language; pfnGetDesc gives it again in another language.
struct PluginListItem {
    std::string strFileName;
    std::string strDescription;
    PFN_GetDesc pfnGetDesc = nullptr;
};

// Loads every "*.so" of strDirectory (default "plugin" under the working directory), skipping
// directories, with "PLUG_HERON.so" (any case) last. Each failure tells the operator
// "Load <name> failed, please check the log for detail" and flushes the log. Then builds the
// plug-in list. Returns the number of plug-ins loaded.
int LoadPlugins(const std::string &strDirectory = "plugin");
// dlopen, resolve the eleven exports, SetUtilCB with the host table, CheckEnv. 0, or -1 after
// logging why (the library is closed again).
int LoadPlugin(const std::string &strDirectory, const std::string &strFileName);
// Closes every plug-in and forgets the list and the active entry (exit, and tests).
void UnloadPlugins();

// Chooses the active plug-in for a source: of the last loaded "OSPREY" plug-in and the last other
// one, the Windows one is asked first when the path contains "Windows" or "windows". 1 when a
// plug-in matched and became active, else 0.
int MatchPlugin(const std::string &strSource, const IsoImage *pstImage);

const std::vector<PluginEntry> &LoadedPlugins();
const std::vector<PluginListItem> &PluginList();
// The list as the settings' extra boot option records need it.
std::vector<PluginDescription> PluginDescriptions();

// The active plug-in's entry points; null before the first match.
const PluginEntryPoints *ActivePlugin();
// The loaded entry that is active, found by its IsISOMatch pointer; null when none.
const PluginEntry *ActivePluginEntry();
// Its file name, or "" when none.
std::string ActivePluginFileName();

// The OS-type table "conf/os_type.json": a JSON array of {"key", "type"}. False (table empty)
// when the file cannot be read or is not such an array; bad rows are skipped.
bool LoadOsTypeTable(const std::string &strPath = "conf/os_type.json");
// The type of the first key contained in the upper-cased OS name, else "unknown".
std::string OsTypeOfName(const std::string &strOsName);

// The operator's extra boot options for an OS: the enabled record of that name gives its UEFI or
// legacy text, trimmed; a missing, disabled or empty record gives " ".
std::string ExtBootOptionFor(const std::vector<ExtBootOption> &vecOptions,
                             const std::string &strOsName, bool bUefi);

