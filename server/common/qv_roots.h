// Roots of the file services (TFTP and HTTP): a request's first path component, the prefix,
// chooses a root; a root's redirect rules substitute prepared files from "virtualiso/extfile/";
// and nothing whose resolved path lies outside a directory root is ever served or listed.
#pragma once

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

// The root directory with every link resolved, or "" when it cannot be resolved.
std::string QV_RealRoot(const std::string &strRoot);

// True when strPath exists and, with every link resolved, is strRealRoot or lies below it.
bool QV_InsideRoot(const std::string &strRealRoot, const std::string &strPath);
