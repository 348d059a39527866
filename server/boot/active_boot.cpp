#include "active_boot.h"

#include "boot_config.h"
#include "plugin_host.h"

std::string UefiBootFile()
{
    std::string strType;
    PluginOsInfo stInfo;
    if (const PluginEntryPoints *pstActive = ActivePlugin()) {
        pstActive->pfnGetOSType(&strType);
        pstActive->pfnGetOSInfo(&stInfo);
    }
    return UefiBootFileFor(strType, stInfo.strOsName);
}

bool BootFileFetchesOverHttp(bool bUefi)
{
    return BiosBootFile().find("lpxelinux") != std::string::npos ||
           (bUefi && UefiBootFile().find("pxelinux.efi") != std::string::npos);
}
