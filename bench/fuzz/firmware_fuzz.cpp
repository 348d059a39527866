// libFuzzer target: arbitrary bytes as the raw SMBIOS table ("RSMB": header and structures) and
// as the iSCSI Boot Firmware Table the agent reads from the firmware.
#include <cstdint>
#include <vector>

#include "core/agent_log.h"
#include "core/firmware_tables.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ferrit::SetAgentLogPath("/dev/null");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pucData, size_t uiLen)
{
    std::vector<std::uint8_t> vecBytes(pucData, pucData + uiLen);
    ferrit::MachineIdentity stIdentity;
    ferrit::ParseSmbiosIdentity(vecBytes, stIdentity);
    ferrit::LogIbftTable(vecBytes);
    return 0;
}
