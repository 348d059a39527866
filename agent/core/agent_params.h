// AgentParameters: the agent's options from "Ferrit.json". The file the plug-in writes is not
// strict JSON (single backslashes in the share path), so values are read literally between quotes.
#pragma once
#include <cstdint>
#include <string>

namespace ferrit {

struct AgentParameters {
    std::string szSharePath;  // KIV_PXE_SHARE_PATH; empty selects the HTTP-disk mode
    std::string szDomain;     // "." means none
    std::string szUserName;
    std::string szPassword;    // decoded
    std::string szImageIndex;  // as written, for the log
    std::uint32_t uiImageIndex = 0;
    std::uint32_t uiServerIp = 0;  // first octet most significant
    std::string szServerMask;
    std::uint16_t usHttpPort = 0;
    std::string szDebugMod, szDebugStep, szIscsiFirst, szDhcpDisable, szForbiddenUsbDisk,
        szNoReboot;
};

// Exact, case-sensitive "YES".
bool IsYes(const std::string &value);
// The value of "KEY" in the text: after the key's closing quote, the text between the next two
// quotes, literally; empty when absent.
std::string ParameterValue(const std::string &text, const char *key);
// Undoes ReversedHex: pairs read from the end towards the start; odd length or a non-hex pair
// gives the empty password.
std::string DecodeReversedHex(const std::string &hex);
AgentParameters ParseAgentParameters(const std::string &text);
// Reads the file (at most 10240 bytes of lines up to 2047 bytes), logs the values; 1 when missing.
int ReadAgentParameters(const std::string &path, AgentParameters &params);
std::string IpText(std::uint32_t ip);
// What the log shows of a password: never the password itself.
const char *MaskedPassword(const std::string &password);

}  // namespace ferrit
