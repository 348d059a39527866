#include "platform.h"

#include <glib.h>

#include <regex>
#include <sstream>

bool PLAT_RulesetMayDrop(const std::string &strRuleset)
{
    // iptables-save: a dropping INPUT policy or a DROP/REJECT jump in INPUT.
    static const std::regex reIptPolicy(R"(^:INPUT (DROP|REJECT)\b)");
    static const std::regex reIptRule(R"(^-A INPUT\b.*-j (DROP|REJECT)\b)");
    // nftables: a chain hooked to input with policy drop, or a drop/reject verdict in it.
    static const std::regex reNftVerdict(R"((^|\s)(drop|reject)(\s|;|$))");
    std::istringstream stIn(strRuleset);
    std::string strLine;
    bool bInputChain = false;
    while (std::getline(stIn, strLine)) {
        size_t uiStart = strLine.find_first_not_of(" \t");
        if (uiStart == std::string::npos) {
            continue;
        }
        std::string strText = strLine.substr(uiStart);
        if (std::regex_search(strText, reIptPolicy) || std::regex_search(strText, reIptRule)) {
            return true;
        }
        if (strText.rfind("chain ", 0) == 0 || strText == "}") {
            bInputChain = false;
        }
        if (strText.find("hook input") != std::string::npos) {
            bInputChain = true;
            if (strText.find("policy drop") != std::string::npos) {
                return true;
            }
            continue;
        }
        if (bInputChain && std::regex_search(strText, reNftVerdict)) {
            return true;
        }
    }
    return false;
}

// Output of a ruleset tool run without a shell; empty when the tool is missing or fails.
static std::string RunTool(const char *pcTool, std::vector<const char *> vecArgs)
{
    gchar *pcPath = g_find_program_in_path(pcTool);
    if (pcPath == nullptr) {
        return {};
    }
    vecArgs.insert(vecArgs.begin(), pcPath);
    vecArgs.push_back(nullptr);
    gchar *pcOut = nullptr;
    gint iStatus = 0;
    std::string strOut;
    if (g_spawn_sync(nullptr, const_cast<gchar **>(vecArgs.data()), nullptr,
                     G_SPAWN_STDERR_TO_DEV_NULL, nullptr, nullptr, &pcOut, nullptr, &iStatus,
                     nullptr) &&
        g_spawn_check_wait_status(iStatus, nullptr) && pcOut != nullptr) {
        strOut = pcOut;
    }
    g_free(pcOut);
    g_free(pcPath);
    return strOut;
}

bool PLAT_FirewallMayDrop()
{
    return PLAT_RulesetMayDrop(RunTool("nft", {"list", "ruleset"})) ||
           PLAT_RulesetMayDrop(RunTool("iptables-save", {}));
}
