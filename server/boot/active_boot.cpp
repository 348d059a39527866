#include "active_boot.h"

#include "boot_config.h"
#include "plugin_host.h"

namespace {

std::string ActiveOsType(PluginOsInfo *pstInfo)
{
    std::string strType;
    if (const PluginEntryPoints *pstActive = ActivePlugin()) {
        pstActive->pfnGetOSType(&strType);
        if (pstInfo) pstActive->pfnGetOSInfo(pstInfo);
    }
    return strType;
}

}  // namespace

std::string UefiBootFile()
{
    PluginOsInfo stInfo;
    std::string strType = ActiveOsType(&stInfo);
    return UefiBootFileFor(strType, stInfo.strOsName);
}

std::pair<std::string, std::string> WindowsBcdPaths()
{
    if (!IsWindowsOsType(ActiveOsType(nullptr))) return {};
    return {KIV_WINDOWS_BCD_BIOS, KIV_WINDOWS_BCD_UEFI};
}

bool BootFileFetchesOverHttp(bool bUefi)
{
    return BiosBootFile().find("lpxelinux") != std::string::npos ||
           (bUefi && UefiBootFile().find("pxelinux.efi") != std::string::npos);
}
