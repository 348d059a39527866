// Reading file data out of an image: positioned reads and extraction to the host file system.
#include "iso_file.h"
#include "iso_image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kCopyChunk = 1048576;

// Owns a descriptor of an output file.
class OutFile {
public:
    explicit OutFile(const std::string &szPath)
        : m_fd(open(szPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644))
    {
    }
    ~OutFile()
    {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    OutFile(const OutFile &) = delete;
    OutFile &operator=(const OutFile &) = delete;
    int Fd() const { return m_fd; }
    bool Write(const unsigned char *pucData, size_t uiLen) const
    {
        while (uiLen > 0) {
            const ssize_t n = write(m_fd, pucData, uiLen);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            pucData += n;
            uiLen -= static_cast<size_t>(n);
        }
        return true;
    }

private:
    int m_fd;
};

// A node name becomes one host path component; anything that could leave the destination is
// refused.
bool SafeName(const std::string &szName)
{
    return !szName.empty() && szName != "." && szName != ".." &&
           szName.find('/') == std::string::npos && szName.find('\0') == std::string::npos;
}

bool IsRecorded(const IsoStamp &stamp)
{
    return stamp.usYear != 0 && stamp.ucMonth != 0 && stamp.ucDay != 0;
}

timespec StampTime(const IsoStamp &stamp)
{
    struct tm tmStamp = {};
    tmStamp.tm_year = stamp.usYear - 1900;
    tmStamp.tm_mon = stamp.ucMonth - 1;
    tmStamp.tm_mday = stamp.ucDay;
    tmStamp.tm_hour = stamp.ucHour;
    tmStamp.tm_min = stamp.ucMinute;
    tmStamp.tm_sec = stamp.ucSecond;
    timespec ts = {};
    ts.tv_sec = timegm(&tmStamp) - static_cast<time_t>(stamp.cGmtOffsetHours) * 3600;
    ts.tv_nsec = static_cast<long>(stamp.usMilliSec % 1000) * 1000000L;
    return ts;
}

// Access and modification times of an extracted file: the caller's, else the recorded ones,
// else now.
void FileTimes(const IsoNode &node, const IsoFileTimes *pstTimes, timespec atsTimes[2])
{
    atsTimes[0] = atsTimes[1] = timespec{0, UTIME_NOW};
    if (pstTimes) {
        atsTimes[0] = timespec{pstTimes->tAccess, 0};
        atsTimes[1] = timespec{pstTimes->tModify, 0};
        return;
    }
    if (!node.pstRockRidge) {
        return;
    }
    const IsoStamp &access = node.pstRockRidge->astStamp[ISO_STAMP_ACCESS];
    const IsoStamp &modify = node.pstRockRidge->astStamp[ISO_STAMP_MODIFY];
    if (IsRecorded(access)) {
        atsTimes[0] = StampTime(access);
    }
    if (IsRecorded(modify)) {
        atsTimes[1] = StampTime(modify);
    }
}

class Extractor {
public:
    Extractor(const IsoImage &image, const IsoFileTimes *pstTimes, const IsoProgressFn &fnProgress)
        : m_file(image.szPath.c_str()), m_pstTimes(pstTimes), m_fnProgress(fnProgress)
    {
    }

    uint32_t Run(const IsoNode &node, const std::string &szDest)
    {
        if (!m_file.IsOpen()) {
            return ISO_ERR_OPEN;
        }
        if (!node.IsDir()) {
            return WriteFile(node, szDest);
        }
        // Explicit stack: the depth of a tree in an image is not ours to choose.
        std::vector<std::pair<const IsoNode *, std::string>> vStack;
        // szDest ends in '/'; each directory's path is built without one.
        vStack.emplace_back(&node,
                            szDest.size() > 1 ? szDest.substr(0, szDest.size() - 1) : szDest);
        while (!vStack.empty()) {
            auto [pstDir, szPath] = std::move(vStack.back());
            vStack.pop_back();
            if (pstDir->pstParent) {
                if (!SafeName(pstDir->szName)) {
                    return ISO_ERR_FORMAT;
                }
                szPath += "/" + pstDir->szName;
            }
            const bool bMade =
                mkdir(szPath.c_str(), 0755) == 0 || (errno == EEXIST && IsDirectory(szPath));
            if (uint32_t uiRet = Report(ISO_PROGRESS_DIR, bMade ? 0 : ISO_ERR_WRITE, szPath)) {
                return uiRet;
            }
            for (const IsoNode *p = pstDir->pstFirstFile; p; p = p->pstNext) {
                if (uint32_t uiRet = WriteFile(*p, szPath + "/")) {
                    return uiRet;
                }
            }
            const size_t uiMark = vStack.size();
            for (const IsoNode *p = pstDir->pstFirstDir; p; p = p->pstNext) {
                vStack.emplace_back(p, szPath);
            }
            std::reverse(vStack.begin() + static_cast<long>(uiMark), vStack.end());
        }
        return 0;
    }

private:
    static bool IsDirectory(const std::string &szPath)
    {
        struct stat st;
        return stat(szPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }

    uint32_t Report(uint32_t uiKind, uint32_t uiResult, const std::string &szPath)
    {
        if (m_fnProgress &&
            m_fnProgress(IsoProgress{uiKind, uiResult, szPath.c_str()}) == ISO_ERR_ABORTED) {
            return ISO_ERR_ABORTED;
        }
        return uiResult;
    }

    uint32_t WriteFile(const IsoNode &node, const std::string &szDir)
    {
        if (!SafeName(node.szName)) {
            return ISO_ERR_FORMAT;
        }
        const std::string szPath = szDir + node.szName;
        uint32_t uiRet = CopyData(node, szPath);
        if (uiRet) {
            unlink(szPath.c_str());
        }
        return Report(node.IsLink() ? ISO_PROGRESS_LINK : ISO_PROGRESS_FILE, uiRet, szPath);
    }

    uint32_t CopyData(const IsoNode &node, const std::string &szPath)
    {
        OutFile out(szPath);
        if (out.Fd() < 0) {
            return ISO_ERR_WRITE;
        }
        if (!node.IsLink()) {
            const uint64_t ullStart = static_cast<uint64_t>(node.uiExtent) * ISO_SECTOR_SIZE;
            m_vBuf.resize(std::min<size_t>(kCopyChunk, node.uiDataLen));
            for (uint64_t ullDone = 0; ullDone < node.uiDataLen;) {
                const size_t uiChunk =
                    static_cast<size_t>(std::min<uint64_t>(kCopyChunk, node.uiDataLen - ullDone));
                if (!m_file.ReadExact(ullStart + ullDone, uiChunk, m_vBuf.data())) {
                    return ISO_ERR_READ;
                }
                if (!out.Write(m_vBuf.data(), uiChunk)) {
                    return ISO_ERR_WRITE;
                }
                ullDone += uiChunk;
            }
        }
        timespec atsTimes[2];
        FileTimes(node, m_pstTimes, atsTimes);
        return futimens(out.Fd(), atsTimes) == 0 ? 0 : ISO_ERR_WRITE;
    }

    IsoFile m_file;
    const IsoFileTimes *m_pstTimes;
    const IsoProgressFn &m_fnProgress;
    std::vector<unsigned char> m_vBuf;
};

}  // namespace

uint32_t IsoReadAt(const IsoImage *pstImage, uint64_t ullOffset, size_t uiLen, void *pvBuf)
{
    if (!pstImage || (!pvBuf && uiLen > 0)) {
        return ISO_ERR_BAD_ARGUMENT;
    }
    if (!pstImage->bParsed) {
        return ISO_ERR_STATE;
    }
    if (ullOffset + uiLen < ullOffset) {
        return ISO_ERR_READ;
    }
    IsoFile file(pstImage->szPath.c_str());
    if (!file.IsOpen()) {
        return ISO_ERR_OPEN;
    }
    return file.ReadExact(ullOffset, uiLen, pvBuf) ? 0 : ISO_ERR_READ;
}

uint32_t IsoExtract(const IsoImage *pstImage, const IsoNode *pstNode, const char *pcDestDir,
                    const IsoFileTimes *pstTimes, const IsoProgressFn &fnProgress)
{
    if (!pstImage || !pstNode || !pcDestDir) {
        return ISO_ERR_BAD_ARGUMENT;
    }
    std::string szDest(pcDestDir);
    for (char &c : szDest) {
        c = c == '\\' ? '/' : c;
    }
    struct stat st;
    if (!pstImage->bParsed || stat(szDest.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return ISO_ERR_STATE;
    }
    if (szDest.empty() || szDest.back() != '/') {
        szDest += '/';
    }
    try {
        Extractor extractor(*pstImage, pstTimes, fnProgress);
        return extractor.Run(*pstNode, szDest);
    } catch (const std::bad_alloc &) {
        return ISO_ERR_NO_MEMORY;
    }
}

long long IsoReadWholeFile(const char *pcPath, std::vector<unsigned char> *pvBuf)
{
    if (!pcPath || !pvBuf) {
        return -1;
    }
    IsoFile file(pcPath);
    const long long llSize = file.RegularSize();
    if (llSize < 0) {
        return -1;
    }
    pvBuf->resize(static_cast<size_t>(llSize));
    if (!file.ReadExact(0, pvBuf->size(), pvBuf->data())) {
        pvBuf->clear();
        return -1;
    }
    return llSize;
}
