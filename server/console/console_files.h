// The file and folder choosers: listings of the server's file system, and the OS pictures.
#pragma once

#include <string>

#include <json/json.h>

// {"path": absolute canonical directory, "parent": ..., "entries": [{"name", "dir"}]}: the
// directories of strPath and, unless bDirsOnly, its files whose name ends with strSuffix (any
// case; empty: every file), sorted by name. An empty path lists the data directory; a path that
// cannot be read gives {"error": text}.
Json::Value CONSOLE_ListDirectory(const std::string &strPath, bool bDirsOnly,
                                  const std::string &strSuffix);
// "icon/os/os-<type>.png" of the data directory; the type is letters, digits, '-' and '_' only.
bool CONSOLE_ReadOsPicture(const std::string &strType, std::string *pstrData);
