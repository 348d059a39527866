// PxeOption: the address the PXE boot gave the client, from the firmware's DHCP ACK (registry
// value "DHCPServerACK") or from "wim_param.bin".
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace ferrit {

struct PxeOption {
    std::array<std::uint8_t, 4> cookie{};
    std::array<std::uint8_t, 6> mac{};
    std::string ip, mask, gateway;
};

// True when the cookie is 99, 130, 83, 99 and the address is set.
bool PxeOptionUsable(const PxeOption &option);
// Parses a BOOTP ACK; -1 when it is too short to hold the fixed part and the cookie.
int ParseDhcpAck(const std::vector<std::uint8_t> &ack, PxeOption &option);
// Parses the 100-byte "wim_param.bin" record; -1 (logged) when short or the marker is wrong.
int ParseWimParam(const std::vector<std::uint8_t> &record, PxeOption &option);
int ReadPxeOptionFromWimParam(const std::string &path, PxeOption &option);
void LogPxeOption(const PxeOption &option);
std::string MacText(const std::array<std::uint8_t, 6> &mac);  // "aa-bb-cc-dd-ee-ff"

}  // namespace ferrit
