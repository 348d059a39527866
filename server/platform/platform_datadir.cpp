#include "platform.h"

#include <unistd.h>

#include <climits>

std::string PLAT_EnterDataDirectory(const char *pcDir)
{
    if (pcDir != nullptr && chdir(pcDir) != 0) {
        return {};
    }
    char szDir[PATH_MAX];
    if (getcwd(szDir, sizeof(szDir)) == nullptr) {
        return {};
    }
    return szDir;
}
