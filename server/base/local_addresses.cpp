#include "local_addresses.h"

namespace {
LocalAddressProvider g_fnAddressProvider;
std::vector<PLAT_LocalAddress> g_vecLocalAddresses;
}  // namespace

void SetLocalAddressProvider(LocalAddressProvider fnProvider)
{
    g_fnAddressProvider = std::move(fnProvider);
}

void RefreshLocalAddresses()
{
    g_vecLocalAddresses = g_fnAddressProvider ? g_fnAddressProvider() : PLAT_LocalAddresses();
}

const std::vector<PLAT_LocalAddress> &LocalAddresses()
{
    return g_vecLocalAddresses;
}
