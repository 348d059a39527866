// libFuzzer target: arbitrary bytes as the firmware's DHCP acknowledgement ("DHCPServerACK") and
// as the "wim_param.bin" record, the two places the agent learns its PXE address from.
#include <cstdint>
#include <vector>

#include "core/agent_log.h"
#include "core/pxe_option.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ferrit::SetAgentLogPath("/dev/null");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pucData, size_t uiLen)
{
    std::vector<std::uint8_t> vecBytes(pucData, pucData + uiLen);
    ferrit::PxeOption stAck;
    if (ferrit::ParseDhcpAck(vecBytes, stAck) == 0) {
        ferrit::PxeOptionUsable(stAck);
        ferrit::LogPxeOption(stAck);
        ferrit::MacText(stAck.mac);
    }
    ferrit::PxeOption stRecord;
    if (ferrit::ParseWimParam(vecBytes, stRecord) == 0) {
        ferrit::LogPxeOption(stRecord);
    }
    return 0;
}
