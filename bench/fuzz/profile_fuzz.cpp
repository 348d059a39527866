// libFuzzer target: arbitrary bytes as a plug-in profile ("plug_heron.json" and
// "plug_osprey.json") read into the OS list with both plug-ins' rules, and every record's derived
// paths.
#include <cstdint>
#include <string>

#include "plugin_profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pucData, size_t uiLen)
{
    std::string strText(reinterpret_cast<const char *>(pucData), uiLen);
    static const ProfileFlavor astFlavors[] = {{"plug_heron.json", "driver/Linux", false},
                                               {"plug_osprey.json", "driver/Windows", true}};
    for (const ProfileFlavor &stFlavor : astFlavors) {
        ParseProfile(stFlavor, strText);
        for (const OsRecord &stRecord : OsList()) {
            DriverPath(stFlavor, stRecord);
        }
    }
    return 0;
}
