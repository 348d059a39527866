#include "platform.h"

#include <linux/capability.h>
#include <unistd.h>

#include <fstream>
#include <string>

bool PLAT_PrivilegeSufficient(unsigned uiEuid, uint64_t ulCapEffective)
{
    if (uiEuid == 0) {
        return true;
    }
    auto bHas = [ulCapEffective](int iCap) { return (ulCapEffective >> iCap) & 1U; };
    return bHas(CAP_NET_BIND_SERVICE) && (bHas(CAP_NET_RAW) || bHas(CAP_NET_ADMIN));
}

// The effective set as the kernel reports it in /proc/self/status ("CapEff:\t<hex>").
static uint64_t ReadCapEffective()
{
    std::ifstream stStatus("/proc/self/status");
    std::string strLine;
    while (std::getline(stStatus, strLine)) {
        if (strLine.rfind("CapEff:", 0) == 0) {
            try {
                return std::stoull(strLine.substr(7), nullptr, 16);
            } catch (const std::exception &) {
                return 0;
            }
        }
    }
    return 0;
}

bool PLAT_HasServicePrivilege()
{
    return PLAT_PrivilegeSufficient(geteuid(), ReadCapEffective());
}
