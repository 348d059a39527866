// Firmware tables the agent reads: the SMBIOS System Information strings (the machine's
// identity for the server) and the iSCSI Boot Firmware Table (logged; marks an iSCSI target).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace ferrit {

struct MachineIdentity {
    std::string szVendor, szProduct, szSerial;
};

// From the raw "RSMB" table (8-byte header, then the structures); false when the sizes disagree
// or no type-1 structure is found.
bool ParseSmbiosIdentity(const std::vector<std::uint8_t> &raw, MachineIdentity &identity);
// Logs the iBFT's structures; returns true when target 0 or 1 is present. Every offset and
// length is checked against the table, so a corrupt table logs what lies inside it only.
bool LogIbftTable(const std::vector<std::uint8_t> &table);

}  // namespace ferrit
