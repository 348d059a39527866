#include "data_dir.h"

#include <filesystem>

namespace {
std::string g_strDataDirectory;
}

void SetDataDirectory(const std::string &strDir)
{
    g_strDataDirectory = strDir;
}

const std::string &DataDirectory()
{
    return g_strDataDirectory;
}

std::string PrepareDataTree(const std::string &strDir)
{
    namespace fs = std::filesystem;
    const fs::path stBase(strDir);
    std::error_code stErr;
    if (!fs::exists(stBase / "driver", stErr)) {
        fs::create_directories(stBase / "driver" / "Linux", stErr);
        fs::create_directories(stBase / "driver" / "Windows", stErr);
    }
    if (!fs::exists(stBase / "log", stErr)) {
        fs::create_directory(stBase / "log", stErr);
    }
    for (const char *pcName :
         {"pxelinux", "grub2", "ipxe", "virtualiso", "log", "kickstart", "plugin", "driver"}) {
        if (!fs::is_directory(stBase / pcName, stErr)) {
            return pcName;
        }
    }
    return {};
}
