// The root password of installed systems: an operator setting, made at random when unset, and
// its crypt(3) form for the installers that take a hash.
#pragma once

#include <string>

struct ServerSettings;

// Fills stSettings.strRootPassword with a fresh random password when it is empty. True when one
// was made (the caller saves the settings and shows it to the operator).
bool EnsureRootPassword(ServerSettings &stSettings);

// A password the templates can carry: not empty, at most 128 bytes, no control characters and
// none of " \ < > & (the Windows answer files hold it as plain XML text).
bool RootPasswordValid(const std::string &strPassword);

// SHA-512 crypt ("$6$<salt>$<hash>") of strPlain with a random salt; empty on failure.
std::string CryptRootPassword(const std::string &strPlain);
