#include "qv_roots.h"

#include <strings.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <memory>

namespace {

bool IsRegularFile(const std::string &strPath)
{
    struct stat stInfo;
    return stat(strPath.c_str(), &stInfo) == 0 && S_ISREG(stInfo.st_mode);
}

}  // namespace

bool QV_RootMatch(const std::string &strRequest, const std::string &strPrefix,
                  std::string *pstrRest)
{
    if (strPrefix.empty()) {
        *pstrRest = strRequest;
        return true;
    }
    const size_t uiLen = strPrefix.size();
    if (strRequest.size() < uiLen ||
        strncasecmp(strRequest.c_str(), strPrefix.c_str(), uiLen) != 0 ||
        (strRequest.size() > uiLen && strRequest[uiLen] != '/')) {
        return false;
    }
    *pstrRest = strRequest.size() > uiLen ? strRequest.substr(uiLen + 1) : std::string();
    return true;
}

std::string QV_FindRedirect(const std::string &strRequest, const std::string &strRest,
                            const std::vector<QV_RedirectRule> &vRules, const char *pcService,
                            const QV_LogSinks &stSinks)
{
    for (const QV_RedirectRule &stRule : vRules) {
        if (strRest != stRule.strPattern) {
            continue;
        }
        std::string strTarget = std::string(QV_EXTFILE_DIR) + stRule.strTarget;
        if (IsRegularFile(strTarget)) {
            QV_LogSinksEmit(stSinks, 2, "Request %s match %s redirect rule %s %s",
                            strRequest.c_str(), pcService, stRule.strPattern.c_str(),
                            stRule.strTarget.c_str());
            return strTarget;
        }
        std::string strName = pcService;  // "Tftp redirect file ...", "Http redirect file ..."
        strName[0] = static_cast<char>(toupper(static_cast<unsigned char>(strName[0])));
        QV_LogSinksEmit(stSinks, 0, "%s redirect file virtualiso/extfile/%s not exist.",
                        strName.c_str(), stRule.strTarget.c_str());
    }
    return {};
}

std::string QV_RealRoot(const std::string &strRoot)
{
    std::unique_ptr<char, decltype(&free)> pcReal(realpath(strRoot.c_str(), nullptr), &free);
    return pcReal ? std::string(pcReal.get()) : std::string();
}

bool QV_InsideRoot(const std::string &strRealRoot, const std::string &strPath)
{
    if (strRealRoot.empty()) {
        return false;
    }
    const std::string strReal = QV_RealRoot(strPath);
    if (strReal.empty() || strReal.compare(0, strRealRoot.size(), strRealRoot) != 0) {
        return false;
    }
    // "/srv/root" holds "/srv/root/x", not "/srv/rootx"; the root "/" holds everything.
    return strReal.size() == strRealRoot.size() || strRealRoot.back() == '/' ||
           strReal[strRealRoot.size()] == '/';
}
