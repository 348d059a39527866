#include <glib.h>

#include <cstdio>
#include <sstream>

#include "platform.h"
#include "qv_text.h"

namespace {

// /proc/net/arp flags: the entry is resolved.
constexpr unsigned kComplete = 0x2;

}  // namespace

bool PLAT_FindNeighbour(const std::string &strTable, uint32_t uiAddress, uint8_t aucMac[6])
{
    const std::string strWanted = QV_IpText(uiAddress);
    std::istringstream stIn(strTable);
    std::string strLine;
    std::getline(stIn, strLine);  // the heading
    while (std::getline(stIn, strLine)) {
        char szIp[16], szMac[18];
        unsigned uiType = 0, uiFlags = 0, auiMac[6];
        char cEnd = 0;
        if (std::sscanf(strLine.c_str(), "%15s 0x%x 0x%x %17s", szIp, &uiType, &uiFlags, szMac) !=
                4 ||
            strWanted != szIp || (uiFlags & kComplete) == 0 ||
            std::sscanf(szMac, "%2x:%2x:%2x:%2x:%2x:%2x%c", &auiMac[0], &auiMac[1], &auiMac[2],
                        &auiMac[3], &auiMac[4], &auiMac[5], &cEnd) != 6) {
            continue;
        }
        for (int i = 0; i < 6; ++i) {
            aucMac[i] = uint8_t(auiMac[i]);
        }
        return true;
    }
    return false;
}

bool PLAT_NeighbourMac(uint32_t uiAddress, uint8_t aucMac[6])
{
    gchar *pcTable = nullptr;
    if (!g_file_get_contents("/proc/net/arp", &pcTable, nullptr, nullptr)) {
        return false;
    }
    bool bFound = PLAT_FindNeighbour(pcTable, uiAddress, aucMac);
    g_free(pcTable);
    return bFound;
}
