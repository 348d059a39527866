// Roots of the file services (TFTP and HTTP): a request's first path component, the prefix,
// chooses a root; a root's redirect rules substitute prepared files from "virtualiso/extfile/";
// and nothing whose resolved path lies outside a directory root is ever served or listed.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qv_log_sink.h"

// A request for strPattern (the path below the root's prefix, compared exactly) is served from
// "virtualiso/extfile/<strTarget>" when that file exists.
struct QV_RedirectRule {
    std::string strPattern;
    std::string strTarget;
};

// Directory, relative to the working directory, that redirect targets live in.
constexpr const char *QV_EXTFILE_DIR = "virtualiso/extfile/";

// True when the request (without its leading "/") falls under the prefix: an empty prefix takes
// every request whole; another prefix must be the whole first component, compared without
// regard to case ("ISO1" takes "iso1/x" and "ISO1", never "ISO10/x"). *pstrRest gets the path
// below the prefix without the separating "/".
bool QV_RootMatch(const std::string &strRequest, const std::string &strPrefix,
                  std::string *pstrRest);

// The first rule whose pattern equals strRest and whose target exists as a regular file; its
// host path ("virtualiso/extfile/<target>"), or "" for none. Logs a match at level 2 as
// "Request %s match <pcService> redirect rule %s %s" and a missing target at level 0.
std::string QV_FindRedirect(const std::string &strRequest, const std::string &strRest,
                            const std::vector<QV_RedirectRule> &vRules, const char *pcService,
                            const QV_LogSinks &stSinks);

// An image reader; only services that read images look inside it.
struct IsoImage;

// One root of a file service: a directory or an ISO image, the prefix that chooses it, and the
// redirect rules that apply below it.
struct QV_Root {
    std::string strPrefix;
    std::string strPath;
    // Set for an image root. A lent reader comes with a deleter that leaves it open; one the table
    // opened is closed with the last snapshot that holds it.
    std::shared_ptr<IsoImage> pstImage;
    bool bOwned = false;      // the table opened the image
    std::string strRealRoot;  // a directory root with its links resolved
    std::vector<QV_RedirectRule> vRules;
};

constexpr unsigned QV_ROOT_SLOTS = 10;

// The roots of one service in lookup order. Never changed once published, so any number of
// threads read one without a lock.
struct QV_RootTable {
    std::vector<QV_Root> vRoots;
};
using QV_RootSnapshot = std::shared_ptr<const QV_RootTable>;

enum class QV_RootAdd { Added, Exists, NoSlot, Failed };

// What a root asks of its service when it is added: its image reader opened (null when the file
// is not a readable image).
using QV_ImageOpener = std::shared_ptr<IsoImage> (*)(const char *pcPath);

// The published roots of one service. Readers take Snapshot() once per request and use only
// that table for the whole request; writers (service set-up, the controller, plug-ins, at any
// time, also while the service runs) copy the current table, add or clear, and publish the new
// one in a single swap. Writers are serialised among themselves.
class QV_RootStore {
public:
    QV_RootStore();

    QV_RootSnapshot Snapshot() const;

    // Adds a root at the end. The same prefix and path as a present root (both without regard to
    // case) is Exists: a prefix may have several roots, searched in order, so only an exact
    // repeat is one too many. An eleventh root is NoSlot. A path that is not a directory must be
    // a regular file used as an image: pstLent when given (not owned), else opened by fnOpen
    // (owned); otherwise Failed. Logs at level 0 "Set %s for <service> root." for an image and
    // "Add <service> root %s %s".
    QV_RootAdd Add(const std::string &strPrefix, const std::string &strPath, IsoImage *pstLent,
                   const std::vector<QV_RedirectRule> &vRules, QV_ImageOpener fnOpen,
                   const char *pcService, const QV_LogSinks &stSinks);

    // Publishes an empty table; requests already running keep the table they took.
    void Clear();

private:
    void Publish(QV_RootSnapshot pstTable);

    std::mutex m_mtxWrite;            // one writer at a time
    mutable std::mutex m_mtxPublish;  // guards only the pointer swap and copy
    QV_RootSnapshot m_pstTable;
};

// The request as a root with this prefix sees it: GRUB names every file from the server's top
// ("/ISO1/install/vmlinuz"), so leading slashes before a prefix are dropped.
std::string QV_RootRequest(const std::string &strRequest, const QV_Root &stRoot);

// The host path of the root's redirect rule for this request ("" for none): the request is
// taken as QV_RootRequest sees it, then QV_RootMatch and QV_FindRedirect apply.
std::string QV_RootRedirect(const std::string &strRequest, const QV_Root &stRoot,
                            const char *pcService, const QV_LogSinks &stSinks);

// The root directory with every link resolved, or "" when it cannot be resolved.
std::string QV_RealRoot(const std::string &strRoot);

// True when strPath exists and, with every link resolved, is strRealRoot or lies below it.
bool QV_InsideRoot(const std::string &strRealRoot, const std::string &strPath);
