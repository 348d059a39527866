// The console's access token: 32 random bytes as 64 hex digits, kept in "conf/console.token"
// (mode 0600) so that local scripts ("kivpxe ctl") can read it.
#pragma once

#include <string>

// A fresh token from the kernel's random source; empty when none could be read.
std::string CONSOLE_MakeToken();
// Writes the token to strPath (mode 0600, through a temporary file and a rename).
bool CONSOLE_WriteToken(const std::string &strPath, const std::string &strToken);
// The token of strPath, trimmed; empty when the file cannot be read.
std::string CONSOLE_ReadToken(const std::string &strPath);
// Compares in time independent of where the texts differ.
bool CONSOLE_TokenEquals(const std::string &strGiven, const std::string &strToken);
