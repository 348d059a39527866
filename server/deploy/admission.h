// Client admission: which DHCP clients are served. Clients whose installation finished are
// refused, then the operator's MAC filter (whitelist or blacklist of patterns with "*") decides.
// Also the architecture check of a client against the chosen OS, and the MAC list files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kiv_plugin_api.h"

// The admission function handed to DHCP; runs on the DHCP thread. 1 serves, 0 refuses.
int AdmitClient(uint32_t uiIsPXE, uint32_t uiIsEFI, const uint8_t aucMac[6]);
// Clients refused so far, by reason (any thread).
struct AdmissionRefusals {
    uint64_t ullFinished = 0;   // already finished its install
    uint64_t ullMacFilter = 0;  // not allowed by the MAC filter
};
AdmissionRefusals ADMIT_Refusals();
// True when the client's row says it finished installing (read under the row lock).
bool IsClientFinished(const uint8_t aucMac[6]);
bool MacFilterAllows(const uint8_t aucMac[6]);
// Same length, and each position equal ignoring case or "*" on either side.
bool MacPatternMatches(const std::string &strA, const std::string &strB);

// The filter the DHCP thread reads, under the filter lock. bDeny: blacklist.
void SetMacFilter(bool bDeny, const std::vector<std::string> &vecPatterns);

// True (a mismatch, logged) when an ARM64 client meets a non-ARM64 OS or the reverse.
bool CheckClientArchitecture(const PluginOsInfo &stOsInfo, uint32_t uiClientArch);

// A typed or imported pattern, trimmed, checked against the pattern form and stored with "-".
// False for anything else.
bool NormalizeMacPattern(const std::string &strText, std::string *pstrPattern);
// Reads every line of a text file that is a pattern. -1 when the file cannot be opened.
int ImportMacList(const std::string &strPath, std::vector<std::string> *pvecPatterns);
// Writes one pattern per line, each followed by "\n", through a temporary file; false on failure.
bool ExportMacList(const std::string &strPath, const std::vector<std::string> &vecPatterns);
