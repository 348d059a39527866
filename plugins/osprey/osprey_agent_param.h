// The agent parameter file "Ferrit.json": the per-service copy written from the operator's
// template, the share credentials check, and the password encodings.
#pragma once

#include <functional>
#include <string>

#include "kiv_plugin_api.h"

// The Samba share of the installation source that share-mode clients map.
constexpr const char *OSPREY_SHARE_NAME = "KIVPXE_ISO1";

// "\\<server>\KIVPXE_ISO1".
std::string AgentSharePath(uint32_t uiServerIp);

// The bytes from the last to the first, each as two upper-case hex digits: "abc" -> "636261".
std::string ReversedHex(const std::string &strClear);
// The template's password form (AES-CBC under the plug-in's fixed key, through the host's
// CryptString) and back; a text that does not decrypt gives "".
std::string EncryptTemplatePassword(const std::string &strClear);
std::string DecryptTemplatePassword(const std::string &strCipher);

// Checks an account against the share the client will map; true when it is accepted.
using CredentialsCheck =
    std::function<bool(const std::string &strDomain, const std::string &strUser,
                       const std::string &strPassword, uint32_t uiServerIp)>;
// smbclient listing the share on the server's address. Replaced by tests.
bool SambaCredentialsCheck(const std::string &strDomain, const std::string &strUser,
                           const std::string &strPassword, uint32_t uiServerIp);
void SetCredentialsCheck(CredentialsCheck fnCheck);

enum AgentParamResult : int {
    AGENT_PARAM_OK = 0,
    AGENT_PARAM_BAD_TEMPLATE = -1,
    AGENT_PARAM_CANCELLED = -2,
    AGENT_PARAM_REFUSED = -3,  // the operator's answers kept failing the check
};

// Share mode: checks the template's account (asking the operator while it fails), stores new
// answers back into the template, and writes the per-service copy.
int WriteAgentParameters(const std::string &strTemplate, const ServiceStartRequest &req,
                         const std::string &strOutput);
// HTTP-disk mode: the template's credentials and share pass through; no check.
int WriteAgentParametersHttpDisk(const std::string &strTemplate, const ServiceStartRequest &req,
                                 const std::string &strOutput);
