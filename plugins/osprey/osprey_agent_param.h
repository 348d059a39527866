// The agent parameter file "Ferrit.json": the per-service copy written from the operator's
// template, the share credentials check, and the password encodings.
#pragma once

#include <functional>
#include <string>

#include "kiv_plugin_api.h"

// The Samba share of the installation source that share-mode clients map.
constexpr const char *OSPREY_SHARE_NAME = "KIVPXE_ISO1";

// The Samba account share-mode clients log on with unless the operator stored their own: a
// system user without home or login shell whose password is fresh at every start.
constexpr const char *OSPREY_SHARE_ACCOUNT = "kivpxe-share";

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

// Gives a Samba account a password, making the system user when it is missing; true on success.
using AccountSetter =
    std::function<bool(const std::string &strUser, const std::string &strPassword)>;
// useradd and "smbpasswd -s -a". Replaced by tests.
bool SambaSetAccount(const std::string &strUser, const std::string &strPassword);
void SetAccountSetter(AccountSetter fnSet);
// What share mode is missing on this machine, named for the operator; "" when Samba is installed,
// smbd answers on the server address (TCP 445) and usershares are allowed.
std::string SambaMissingPiece(uint32_t uiServerIp);
// What the service start asks (SambaMissingPiece unless a test replaced it).
using SambaReadiness = std::function<std::string(uint32_t uiServerIp)>;
void SetSambaReadiness(SambaReadiness fnReady);
std::string SambaMissingForStart(uint32_t uiServerIp);

// Shares the source read-only for this one account; true when the share is in place.
using ShareForAccount = std::function<bool(const std::string &strUser)>;

enum AgentParamResult : int {
    AGENT_PARAM_OK = 0,
    AGENT_PARAM_BAD_TEMPLATE = -1,
    AGENT_PARAM_CANCELLED = -2,
    AGENT_PARAM_REFUSED = -3,     // the operator's answers kept failing the check
    AGENT_PARAM_NO_ACCOUNT = -4,  // the dedicated account or its share could not be set up
};

// Share mode. Without an account in the template: the dedicated account gets a fresh random
// password, no question asked, nothing stored. With the operator's own account: checked (asking
// while it fails, never proposing another account), new answers stored back into the template.
// The share is (re)added for the account before each check. Then the per-service copy is written.
int WriteAgentParameters(const std::string &strTemplate, const ServiceStartRequest &req,
                         const std::string &strOutput, const ShareForAccount &fnShare);
// HTTP-disk mode: the template's credentials and share pass through; no check.
int WriteAgentParametersHttpDisk(const std::string &strTemplate, const ServiceStartRequest &req,
                                 const std::string &strOutput);
