#include "admission.h"

#include <glib.h>

#include <atomic>
#include <fstream>
#include <mutex>

#include "qv_file.h"
#include "client_table.h"
#include "log.h"
#include "qvdhcp_config.h"

namespace {

std::mutex g_mtxFilter;
bool g_bDeny = true;
std::vector<std::string> g_vecPatterns;

std::string MacText(const uint8_t aucMac[6])
{
    char szMac[18];
    g_snprintf(szMac, sizeof(szMac), QVDHCP_MAC_FMT, QVDHCP_MAC_ARGS(aucMac));
    return szMac;
}

// Counted on the DHCP thread, read by the metrics.
std::atomic<uint64_t> g_ullRefusedFinished{0};
std::atomic<uint64_t> g_ullRefusedFilter{0};

}  // namespace

int AdmitClient(uint32_t, uint32_t, const uint8_t aucMac[6])
{
    if (IsClientFinished(aucMac)) {
        ++g_ullRefusedFinished;
        return 0;
    }
    if (!MacFilterAllows(aucMac)) {
        ++g_ullRefusedFilter;
        return 0;
    }
    return 1;
}

AdmissionRefusals ADMIT_Refusals()
{
    return AdmissionRefusals{g_ullRefusedFinished.load(), g_ullRefusedFilter.load()};
}

bool IsClientFinished(const uint8_t aucMac[6])
{
    std::string strFinished;
    // The first row with this MAC decides.
    CLIENTS_WithMacLocked(MacText(aucMac), [&](const ClientRow &stRow) {
        if (StatusIsFinished(stRow.strStatus)) {
            strFinished = stRow.strMac;
        }
    });
    if (strFinished.empty()) {
        return false;
    }
    LOG_Print(1, "PXEDLG", "Client %s already finish install, deny it.", strFinished.c_str());
    return true;
}

bool MacFilterAllows(const uint8_t aucMac[6])
{
    std::string strMac = MacText(aucMac);
    std::lock_guard<std::mutex> lock(g_mtxFilter);
    for (const std::string &strPattern : g_vecPatterns) {
        if (MacPatternMatches(strPattern, strMac)) {
            return !g_bDeny;
        }
    }
    // No pattern matched: a blacklist serves, a whitelist refuses.
    return g_bDeny;
}

bool MacPatternMatches(const std::string &strA, const std::string &strB)
{
    if (strA.size() != strB.size()) {
        return false;
    }
    for (size_t i = 0; i < strA.size(); ++i) {
        if (strA[i] != '*' && strB[i] != '*' &&
            g_ascii_tolower(strA[i]) != g_ascii_tolower(strB[i])) {
            return false;
        }
    }
    return true;
}

void SetMacFilter(bool bDeny, const std::vector<std::string> &vecPatterns)
{
    std::lock_guard<std::mutex> lock(g_mtxFilter);
    g_bDeny = bDeny;
    g_vecPatterns = vecPatterns;
}

bool CheckClientArchitecture(const PluginOsInfo &stOsInfo, uint32_t uiClientArch)
{
    bool bOsArm = g_ascii_strcasecmp(stOsInfo.strArch.c_str(), "ARM64") == 0;
    if (!bOsArm && uiClientArch == 11) {
        LOG_Print(0, "ORV_DLG", "The OS %s does not support ARM64 client",
                  stOsInfo.strOsName.c_str());
        return true;
    }
    if (bOsArm && uiClientArch != 11) {
        LOG_Print(0, "ORV_DLG", "The OS %s is for ARM64, but the client is NOT arm64 CPU",
                  stOsInfo.strOsName.c_str());
        return true;
    }
    return false;
}

bool NormalizeMacPattern(const std::string &strText, std::string *pstrPattern)
{
    static const char *const kPattern =
        "^[0-9a-fA-F*][0-9a-fA-F*][-:][0-9a-fA-F*][0-9a-fA-F*][-:][0-9a-fA-F*][0-9a-fA-F*][-:]"
        "[0-9a-fA-F*][0-9a-fA-F*][-:][0-9a-fA-F*][0-9a-fA-F*][-:][0-9a-fA-F*][0-9a-fA-F*]$";
    gchar *pcTrimmed = g_strstrip(g_strdup(strText.c_str()));
    std::string strTrimmed = pcTrimmed;
    g_free(pcTrimmed);
    if (!g_regex_match_simple(kPattern, strTrimmed.c_str(), G_REGEX_RAW, GRegexMatchFlags(0))) {
        return false;
    }
    for (char &c : strTrimmed) {
        if (c == ':') {
            c = '-';
        }
    }
    *pstrPattern = strTrimmed;
    return true;
}

int ImportMacList(const std::string &strPath, std::vector<std::string> *pvecPatterns)
{
    std::ifstream stFile(strPath);
    if (!stFile) {
        return -1;
    }
    pvecPatterns->clear();
    std::string strLine;
    while (std::getline(stFile, strLine)) {
        std::string strPattern;
        if (NormalizeMacPattern(strLine, &strPattern)) {
            pvecPatterns->push_back(strPattern);
        }
    }
    return int(pvecPatterns->size());
}

bool ExportMacList(const std::string &strPath, const std::vector<std::string> &vecPatterns)
{
    std::string strText;
    for (const std::string &strPattern : vecPatterns) {
        strText += strPattern + "\n";
    }
    return QV_SaveFile(strPath, strText);
}
