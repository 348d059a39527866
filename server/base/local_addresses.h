// The local IPv4 address list used by the start check. The source is replaceable so that tests
// (and callers with their own view of the host) can supply address lists.
#pragma once

#include <functional>
#include <vector>

#include "platform.h"

using LocalAddressProvider = std::function<std::vector<PLAT_LocalAddress>()>;

// An empty provider restores the host's interfaces (PLAT_LocalAddresses).
void SetLocalAddressProvider(LocalAddressProvider fnProvider);
void RefreshLocalAddresses();
const std::vector<PLAT_LocalAddress> &LocalAddresses();
