#include "plugin_match.h"

#include <glib.h>

#include "iso_image.h"
#include "plugin_hostcalls.h"

namespace {

bool RuleExists(const MatchRule &stRule, const char *pcSource, const IsoImage *pstImage) {
    if (pstImage) {
        auto pfnFind = HostUtil<PFN_FindFileInIso>(UTIL_FIND_FILE_IN_ISO);
        IsoEntry stEntry{};
        return pfnFind && pfnFind(pstImage, stRule.strPath.c_str(), 0, &stEntry) == 0;
    }
    return HostFileExists(JoinPath(pcSource, stRule.strPath));
}

bool RuleContains(const MatchRule &stRule, const char *pcSource, const IsoImage *pstImage) {
    auto pfn = HostUtil<PFN_SourceFileMatches>(UTIL_SOURCE_FILE_MATCHES);
    return pfn && pfn(pcSource, pstImage, stRule.strPath.c_str(), stRule.strRegex.c_str()) != 0;
}

bool RuleHolds(const MatchRule &stRule, const char *pcSource, const IsoImage *pstImage) {
    if (stRule.strCondition == "Exist") return RuleExists(stRule, pcSource, pstImage);
    if (stRule.strCondition == "NonExist") return !RuleExists(stRule, pcSource, pstImage);
    if (stRule.strCondition == "Contains") return RuleContains(stRule, pcSource, pstImage);
    if (stRule.strCondition == "NonContains") return !RuleContains(stRule, pcSource, pstImage);
    return true;  // conditions of the other plug-in are accepted and ignored
}

}  // namespace

bool EvaluateMatchRules(OsRecord *pstRecord, const char *pcSource, const IsoImage *pstImage) {
    for (const MatchRule &stRule : pstRecord->vecMatchRules)
        if (!RuleHolds(stRule, pcSource, pstImage)) return false;
    ActiveOs() = pstRecord;
    PluginLog(0, "%s match the os.", pstRecord->strOSName.c_str());
    return true;
}

int IsIsoMatch(const char *pcSource, const IsoImage *pstImage) {
    if (!pcSource) return 0;
    std::vector<OsRecord> &vecOs = OsList();
    std::vector<bool> vecTried(vecOs.size(), false);
    for (size_t i = vecOs.size(); i-- > 0;) {
        OsRecord &st = vecOs[i];
        if (st.strISOPreferRegex.empty() ||
            !g_regex_match_simple(st.strISOPreferRegex.c_str(), pcSource, G_REGEX_CASELESS, GRegexMatchFlags(0)))
            continue;
        if (EvaluateMatchRules(&st, pcSource, pstImage)) {
            PluginLog(2, "[YES] iso name %s match iso prefer regex %s [%s].", pcSource, st.strISOPreferRegex.c_str(),
                      st.strOSName.c_str());
            return 1;
        }
        PluginLog(2, "[NO] iso name %s match iso prefer regex %s [%s].", pcSource, st.strISOPreferRegex.c_str(),
                  st.strOSName.c_str());
        vecTried[i] = true;
    }
    auto pfnNames = HostUtil<PFN_OsNameMatchesIsoName>(UTIL_OS_NAME_MATCHES_ISO_NAME);
    for (size_t i = 0; i < vecOs.size() && pfnNames; ++i) {
        if (vecTried[i] || !pfnNames(vecOs[i].strOSName.c_str(), pcSource)) continue;
        PluginLog(2, "os name %s match %s.", vecOs[i].strOSName.c_str(), pcSource);
        if (EvaluateMatchRules(&vecOs[i], pcSource, pstImage)) return 1;
        vecTried[i] = true;
    }
    for (size_t i = 0; i < vecOs.size(); ++i)
        if (!vecTried[i] && EvaluateMatchRules(&vecOs[i], pcSource, pstImage)) return 1;
    return 0;
}
