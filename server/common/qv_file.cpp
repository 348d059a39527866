#include "qv_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool WriteAll(int iFd, std::string_view strData)
{
    while (!strData.empty()) {
        ssize_t iDone = write(iFd, strData.data(), strData.size());
        if (iDone < 0 && errno == EINTR) {
            continue;
        }
        if (iDone <= 0) {
            return false;
        }
        strData.remove_prefix(size_t(iDone));
    }
    return true;
}

// The rename is durable only once the directory holding the name is on disk too.
bool SyncDirectoryOf(const std::string &strPath)
{
    size_t uiSlash = strPath.rfind('/');
    std::string strDir = uiSlash == std::string::npos ? "." : strPath.substr(0, uiSlash + 1);
    int iFd = open(strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (iFd < 0) {
        return false;
    }
    bool bOk = fsync(iFd) == 0;
    close(iFd);
    return bOk;
}

}  // namespace

bool QV_SaveFile(const std::string &strPath, std::string_view strData, unsigned uiMode)
{
    std::string strTemp = strPath + ".tmp." + std::to_string(getpid());
    int iFd = open(strTemp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode_t(uiMode));
    if (iFd < 0) {
        return false;
    }
    bool bOk = WriteAll(iFd, strData) && fsync(iFd) == 0;
    int iErr = errno;
    bOk = close(iFd) == 0 && bOk;
    if (bOk && rename(strTemp.c_str(), strPath.c_str()) == 0) {
        return SyncDirectoryOf(strPath);
    }
    iErr = bOk ? errno : iErr;
    unlink(strTemp.c_str());
    errno = iErr;
    return false;
}

unsigned QV_RemoveStaleSaves(const std::string &strDirectory)
{
    DIR *pstDir = opendir(strDirectory.c_str());
    if (pstDir == nullptr) {
        return 0;
    }
    unsigned uiRemoved = 0;
    while (const dirent *pstEntry = readdir(pstDir)) {
        const char *pcTmp = strstr(pstEntry->d_name, ".tmp.");
        if (pcTmp == nullptr || pcTmp == pstEntry->d_name || pcTmp[5] == '\0' ||
            strspn(pcTmp + 5, "0123456789") != strlen(pcTmp + 5)) {
            continue;
        }
        std::string strPath = strDirectory + "/" + pstEntry->d_name;
        uiRemoved += unlink(strPath.c_str()) == 0 ? 1 : 0;
    }
    closedir(pstDir);
    return uiRemoved;
}
