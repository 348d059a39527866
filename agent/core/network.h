// Network bring-up: the PXE address set statically on the PXE adapter (optionally isolating it),
// DHCP otherwise, then the wait for an address in the server's subnet.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/agent_context.h"

namespace ferrit {

struct NicEntry {
    std::array<std::uint8_t, 6> mac{};
    int iIndex = -1;
    std::string szName;
};

struct NicListing {
    std::vector<NicEntry> entries;
    int iMaclessCount = 0;
    int iMaclessIndex = -1;  // index of the last line without a MAC
};

// KIV_NET_GetIPMac over the adapters: 0 found, -1 none, -10 link-local seen with stopOnLinkLocal.
int ChooseAdapter(const std::vector<AdapterInfo> &adapters, std::uint32_t serverIp,
                  bool stopOnLinkLocal, std::string &ip, std::string &mac);
// The lines after the "NETCONNECTIONID" header of a wmic nic listing.
NicListing ParseNicListing(const std::vector<std::string> &lines);
// True when a "MacAddress" listing (lines after the header) holds `mac`, or any MAC when null.
bool ListingHasMac(const std::vector<std::string> &lines, const std::array<std::uint8_t, 6> *mac);
// The wmic command lines that disable every adapter but the PXE one.
std::vector<std::string> DisableOtherNicsCommands(const NicListing &listing);

void BringUpNetwork(AgentContext &ctx);
// Waits up to 60 x 2 s for an address; true when found (status set either way).
bool WaitForAddress(AgentContext &ctx);

}  // namespace ferrit
