#include "platform.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include "qv_text.h"

static uint32_t HostOrder(const sockaddr *pstAddr)
{
    if (pstAddr == nullptr || pstAddr->sa_family != AF_INET) {
        return 0;
    }
    return ntohl(reinterpret_cast<const sockaddr_in *>(pstAddr)->sin_addr.s_addr);
}

std::vector<PLAT_LocalAddress> PLAT_LocalAddresses()
{
    std::vector<PLAT_LocalAddress> vecList;
    ifaddrs *pstHead = nullptr;
    if (getifaddrs(&pstHead) != 0) {
        return vecList;
    }
    for (ifaddrs *pstIf = pstHead; pstIf != nullptr; pstIf = pstIf->ifa_next) {
        if (pstIf->ifa_addr == nullptr || pstIf->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        uint32_t uiAddr = HostOrder(pstIf->ifa_addr);
        if (uiAddr == 0) {
            continue;
        }
        vecList.push_back({QV_IpText(uiAddr), QV_IpText(HostOrder(pstIf->ifa_netmask)),
                           pstIf->ifa_name != nullptr ? pstIf->ifa_name : ""});
    }
    freeifaddrs(pstHead);
    return vecList;
}
