#include "qv_roots.h"

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>

#include <cctype>
#include <cstdlib>
#include <memory>

namespace {

bool IsRegularFile(const std::string &strPath)
{
    struct stat stInfo;
    return stat(strPath.c_str(), &stInfo) == 0 && S_ISREG(stInfo.st_mode);
}

bool IsDirectory(const std::string &strPath)
{
    struct stat stInfo;
    return stat(strPath.c_str(), &stInfo) == 0 && S_ISDIR(stInfo.st_mode);
}

bool SameText(const std::string &strA, const std::string &strB)
{
    return strcasecmp(strA.c_str(), strB.c_str()) == 0;
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

QV_RootStore::QV_RootStore() : m_pstTable(std::make_shared<QV_RootTable>()) {}

QV_RootSnapshot QV_RootStore::Snapshot() const
{
    std::lock_guard<std::mutex> lock(m_mtxPublish);
    return m_pstTable;
}

void QV_RootStore::Publish(QV_RootSnapshot pstTable)
{
    std::lock_guard<std::mutex> lock(m_mtxPublish);
    // The old table, and an image only it held, goes with its last holder: here, or a request
    // that still runs on it.
    m_pstTable.swap(pstTable);
}

QV_RootAdd QV_RootStore::Add(const std::string &strPrefix, const std::string &strPath,
                             IsoImage *pstLent, const std::vector<QV_RedirectRule> &vRules,
                             QV_ImageOpener fnOpen, const char *pcService,
                             const QV_LogSinks &stSinks)
{
    std::lock_guard<std::mutex> lock(m_mtxWrite);
    const QV_RootSnapshot pstOld = Snapshot();
    const bool bRepeat =
        std::any_of(pstOld->vRoots.begin(), pstOld->vRoots.end(), [&](const QV_Root &stRoot) {
            return SameText(stRoot.strPrefix, strPrefix) && SameText(stRoot.strPath, strPath);
        });
    if (bRepeat) {
        return QV_RootAdd::Exists;
    }
    if (pstOld->vRoots.size() >= QV_ROOT_SLOTS) {
        return QV_RootAdd::NoSlot;
    }
    if (strPath.empty()) {
        return QV_RootAdd::Failed;
    }
    QV_Root stRoot{strPrefix, strPath, nullptr, false, "", vRules};
    if (!IsDirectory(strPath)) {
        if (!IsRegularFile(strPath)) {
            return QV_RootAdd::Failed;
        }
        if (pstLent != nullptr) {
            stRoot.pstImage = std::shared_ptr<IsoImage>(pstLent, [](IsoImage *) {});
        } else {
            stRoot.pstImage = fnOpen(strPath.c_str());
            stRoot.bOwned = true;
        }
        if (!stRoot.pstImage) {
            return QV_RootAdd::Failed;
        }
        QV_LogSinksEmit(stSinks, 0, "Set %s for %s root.", strPath.c_str(), pcService);
    } else {
        // Links inside a directory root may point anywhere inside it, never out of it.
        stRoot.strRealRoot = QV_RealRoot(strPath);
    }
    auto pstNew = std::make_shared<QV_RootTable>(*pstOld);
    pstNew->vRoots.push_back(std::move(stRoot));
    QV_LogSinksEmit(stSinks, 0, "Add %s root %s %s", pcService, strPrefix.c_str(), strPath.c_str());
    Publish(std::move(pstNew));
    return QV_RootAdd::Added;
}

void QV_RootStore::Clear()
{
    std::lock_guard<std::mutex> lock(m_mtxWrite);
    Publish(std::make_shared<QV_RootTable>());
}

std::string QV_RootRequest(const std::string &strRequest, const QV_Root &stRoot)
{
    if (stRoot.strPrefix.empty()) {
        return strRequest;
    }
    const size_t uiStart = strRequest.find_first_not_of('/');
    return uiStart == std::string::npos ? std::string() : strRequest.substr(uiStart);
}

std::string QV_RootRedirect(const std::string &strRequest, const QV_Root &stRoot,
                            const char *pcService, const QV_LogSinks &stSinks)
{
    const std::string strReq = QV_RootRequest(strRequest, stRoot);
    std::string strRest;
    if (stRoot.vRules.empty() || !QV_RootMatch(strReq, stRoot.strPrefix, &strRest)) {
        return {};
    }
    return QV_FindRedirect(strReq, strRest, stRoot.vRules, pcService, stSinks);
}
