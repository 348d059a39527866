#include "console_host.h"

#include <glib.h>

#include "local_addresses.h"

std::vector<std::string> CONSOLE_HostNames(const std::string &strBind)
{
    std::vector<std::string> vecNames;
    if (strBind == "0.0.0.0") {
        vecNames.push_back(strBind);  // "kivpxe ctl --console 0.0.0.0:PORT" reaches it so
        for (const PLAT_LocalAddress &stAddr : LocalAddresses()) {
            vecNames.push_back(stAddr.strAddress);
        }
    } else {
        vecNames.push_back(strBind);
    }
    if (strBind == "0.0.0.0" || strBind.rfind("127.", 0) == 0) {
        for (const char *pcName : {"localhost", "127.0.0.1", "[::1]"}) {
            vecNames.push_back(pcName);
        }
    }
    vecNames.push_back(g_get_host_name());
    return vecNames;
}

bool CONSOLE_HostAllowed(const std::string &strHost, const std::vector<std::string> &vecNames,
                         uint16_t usPort)
{
    // "[v6]:port" keeps its brackets in the name; otherwise the port follows the only colon.
    size_t uiNameEnd = strHost.rfind(':');
    if (uiNameEnd != std::string::npos && strHost.find(']', uiNameEnd) != std::string::npos) {
        uiNameEnd = std::string::npos;
    }
    std::string strName = strHost.substr(0, uiNameEnd);
    std::string strPort = uiNameEnd == std::string::npos ? "" : strHost.substr(uiNameEnd + 1);
    bool bPortOk = strPort.empty() ? usPort == 80 : strPort == std::to_string(usPort);
    if (!bPortOk || strName.empty()) {
        return false;
    }
    for (const std::string &strAllowed : vecNames) {
        if (g_ascii_strcasecmp(strAllowed.c_str(), strName.c_str()) == 0) {
            return true;
        }
    }
    return false;
}
