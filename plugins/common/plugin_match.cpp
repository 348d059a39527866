#include "plugin_match.h"

#include <glib.h>

#include "plugin_hostcalls.h"

namespace {

bool RuleExists(const MatchRule &stRule, const char *pcSource, const IsoImage *pstImage)
{
    if (pstImage) {
        auto pfnFind = HostUtil<PFN_FindFileInIso>(UTIL_FIND_FILE_IN_ISO);
        return pfnFind && pfnFind(pstImage, stRule.strPath.c_str(), 0, nullptr) == 0;
    }
    return HostFileExists(JoinPath(pcSource, stRule.strPath));
}

bool RuleContains(const MatchRule &stRule, const char *pcSource, const IsoImage *pstImage)
{
    auto pfn = HostUtil<PFN_SourceFileMatches>(UTIL_SOURCE_FILE_MATCHES);
    return pfn && pfn(pcSource, pstImage, stRule.strPath.c_str(), stRule.strRegex.c_str()) != 0;
}

// Some image of the WIM in the source directory has a name the regex matches.
bool RuleWimContains(const MatchRule &stRule, const char *pcSource, const IsoImage *pstImage)
{
    auto pfnNames = HostUtil<PFN_GetWimImageNames>(UTIL_GET_WIM_IMAGE_NAMES);
    auto pfnRegex = HostUtil<PFN_RegexMatches>(UTIL_REGEX_MATCHES);
    if (pstImage || !pfnNames || !pfnRegex) return false;
    std::vector<std::string> vecNames;
    if (pfnNames(JoinPath(pcSource, stRule.strPath).c_str(), &vecNames) != 0) return false;
    for (const std::string &strName : vecNames)
        if (pfnRegex(stRule.strRegex.c_str(), strName.c_str())) return true;
    return false;
}

// A Windows record needs its boot WIM: an existing path, or one relative to the source.
bool BootWimPresent(const OsRecord &stRecord, const char *pcSource)
{
    if (!ProfileFlavorLoaded().bWindows) return true;
    return HostFileExists(stRecord.strBootWimPath) ||
           HostFileExists(JoinPath(pcSource, stRecord.strBootWimPath));
}

bool RuleHolds(const MatchRule &stRule, const char *pcSource, const IsoImage *pstImage)
{
    if (stRule.strCondition == "Exist") return RuleExists(stRule, pcSource, pstImage);
    if (stRule.strCondition == "NonExist") return !RuleExists(stRule, pcSource, pstImage);
    if (stRule.strCondition == "Contains") return RuleContains(stRule, pcSource, pstImage);
    if (stRule.strCondition == "NonContains") return !RuleContains(stRule, pcSource, pstImage);
    if (stRule.strCondition == "WimContains" && ProfileFlavorLoaded().bWindows)
        return RuleWimContains(stRule, pcSource, pstImage);
    return true;  // conditions of the other plug-in are accepted and ignored
}

}  // namespace

bool EvaluateMatchRules(OsRecord *pstRecord, const char *pcSource, const IsoImage *pstImage)
{
    for (const MatchRule &stRule : pstRecord->vecMatchRules)
        if (!RuleHolds(stRule, pcSource, pstImage)) return false;
    if (!BootWimPresent(*pstRecord, pcSource)) return false;
    ActiveOs() = pstRecord;
    PluginLog(0, "%s match the os.", pstRecord->strOSName.c_str());
    return true;
}

int IsIsoMatch(const char *pcSource, const IsoImage *pstImage)
{
    if (!pcSource) return 0;
    std::vector<OsRecord> &vecOs = OsList();
    std::vector<bool> vecTried(vecOs.size(), false);
    for (size_t i = vecOs.size(); i-- > 0;) {
        OsRecord &st = vecOs[i];
        if (st.strISOPreferRegex.empty() ||
            !g_regex_match_simple(st.strISOPreferRegex.c_str(), pcSource, G_REGEX_CASELESS,
                                  GRegexMatchFlags(0)))
            continue;
        if (EvaluateMatchRules(&st, pcSource, pstImage)) {
            PluginLog(2, "[YES] iso name %s match iso prefer regex %s [%s].", pcSource,
                      st.strISOPreferRegex.c_str(), st.strOSName.c_str());
            return 1;
        }
        PluginLog(2, "[NO] iso name %s match iso prefer regex %s [%s].", pcSource,
                  st.strISOPreferRegex.c_str(), st.strOSName.c_str());
        vecTried[i] = true;
    }
    auto pfnNames = HostUtil<PFN_OsNameMatchesIsoName>(UTIL_OS_NAME_MATCHES_ISO_NAME);
    for (size_t i = 0; i < vecOs.size() && pfnNames; ++i) {
        if (vecTried[i] || !pfnNames(vecOs[i].strOSName.c_str(), pcSource)) continue;
        PluginLog(2,
                  ProfileFlavorLoaded().bWindows ? "os namt %s match %s." : "os name %s match %s.",
                  vecOs[i].strOSName.c_str(), pcSource);
        if (EvaluateMatchRules(&vecOs[i], pcSource, pstImage)) return 1;
        vecTried[i] = true;
    }
    for (size_t i = 0; i < vecOs.size(); ++i)
        if (!vecTried[i] && EvaluateMatchRules(&vecOs[i], pcSource, pstImage)) return 1;
    return 0;
}
