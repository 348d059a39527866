// libFuzzer target: arbitrary bytes as the agent's parameter file "Ferrit.json" (read literally
// between quotes, the password as reversed hex).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/agent_log.h"
#include "core/agent_params.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ferrit::SetAgentLogPath("/dev/null");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pucData, size_t uiLen)
{
    std::string strText(reinterpret_cast<const char *>(pucData), uiLen);
    ferrit::AgentParameters stParams = ferrit::ParseAgentParameters(strText);
    // A decoded password is half its hex text, or nothing.
    std::string strHex = ferrit::ParameterValue(strText, "PASSWORD");
    std::string strClear = ferrit::DecodeReversedHex(strHex);
    if (!strClear.empty() && strClear.size() * 2 != strHex.size()) {
        abort();
    }
    ferrit::IpText(stParams.uiServerIp);
    ferrit::MaskedPassword(stParams.szPassword);
    return 0;
}
