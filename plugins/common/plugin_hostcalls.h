// The host's utility table as a plug-in copied it, and thin wrappers over the slots the profile
// and matching code use. A slot the host left null behaves as "no" / "nothing".
#pragma once

#include <string>

#include "kiv_plugin_api.h"

// Copies the table and remembers the module name used for every log line of this plug-in.
void PluginSetHost(const PluginUtilTable *pstTable, const char *pcModule);
const PluginUtilTable &PluginHostTable();

template <typename Fn>
inline Fn HostUtil(PluginUtilSlot eSlot)
{
    return PluginUtil<Fn>(PluginHostTable(), eSlot);
}

// Logs through slot 9 with this plug-in's module name.
void PluginLog(uint32_t uiLevel, const char *pcFormat, ...) __attribute__((format(printf, 2, 3)));

bool HostFileExists(const std::string &strPath);
std::string HostMenuDir();
// The working directory (the data directory), where every relative plug-in path starts.
std::string PluginWorkDir();
// "a/b" from "a" and "b"; an empty directory part gives "b" directly under nothing.
std::string JoinPath(const std::string &strDir, const std::string &strName);
