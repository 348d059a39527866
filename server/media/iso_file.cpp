#include "iso_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

IsoFile::IsoFile(const char *pcPath) : m_fd(pcPath ? open(pcPath, O_RDONLY | O_CLOEXEC) : -1) {}

IsoFile::~IsoFile()
{
    if (m_fd >= 0) {
        close(m_fd);
    }
}

long long IsoFile::RegularSize() const
{
    struct stat st;
    if (m_fd < 0 || fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return -1;
    }
    return st.st_size;
}

size_t IsoFile::ReadAt(uint64_t ullOffset, size_t uiLen, void *pvBuf) const
{
    auto *pucBuf = static_cast<unsigned char *>(pvBuf);
    size_t uiDone = 0;
    while (m_fd >= 0 && uiDone < uiLen) {
        ssize_t n =
            pread(m_fd, pucBuf + uiDone, uiLen - uiDone, static_cast<off_t>(ullOffset + uiDone));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        uiDone += static_cast<size_t>(n);
    }
    return uiDone;
}
