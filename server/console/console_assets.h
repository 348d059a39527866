// The page's files, embedded into the program at build time from server/console/assets/.
#pragma once

#include <cstddef>
#include <string>

struct ConsoleAsset {
    const char *pcName;
    const char *pcType;
    const unsigned char *pucData;
    size_t uiSize;
};

// The asset of that file name, or null.
const ConsoleAsset *CONSOLE_FindAsset(const std::string &strName);
