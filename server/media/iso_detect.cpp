#include "iso_detect.h"

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr off_t kDescriptorStart = 32768;
constexpr off_t kMinImageSize = 34816;
constexpr size_t kSector = 2048;

// Owns a read-only descriptor for the duration of one check.
class ReadOnlyFile {
public:
    explicit ReadOnlyFile(const char *pcPath) : m_fd(pcPath ? open(pcPath, O_RDONLY | O_CLOEXEC) : -1) {}
    ~ReadOnlyFile()
    {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    ReadOnlyFile(const ReadOnlyFile &) = delete;
    ReadOnlyFile &operator=(const ReadOnlyFile &) = delete;

    // Size of a regular file, or -1.
    off_t RegularSize() const
    {
        struct stat st;
        if (m_fd < 0 || fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            return -1;
        }
        return st.st_size;
    }
    bool ReadSector(off_t offset, unsigned char *pucSector) const
    {
        return pread(m_fd, pucSector, kSector, offset) == static_cast<ssize_t>(kSector);
    }

private:
    int m_fd;
};

bool HasId(const unsigned char *pucSector, const char *pcId)
{
    return memcmp(pucSector + 1, pcId, 5) == 0;
}

} // namespace

bool IsIso9660File(const char *pcPath)
{
    ReadOnlyFile file(pcPath);
    unsigned char aucSector[kSector];
    return file.RegularSize() >= kMinImageSize && file.ReadSector(kDescriptorStart, aucSector) &&
           HasId(aucSector, "CD001");
}

bool IsUdfFile(const char *pcPath)
{
    ReadOnlyFile file(pcPath);
    if (file.RegularSize() < kMinImageSize) {
        return false;
    }
    unsigned char aucSector[kSector];
    off_t offset = kDescriptorStart;
    for (;; offset += kSector) {
        if (!file.ReadSector(offset, aucSector)) {
            return false;
        }
        if (aucSector[0] == 255) {
            break;
        }
    }
    offset += kSector;
    if (!file.ReadSector(offset, aucSector) || !HasId(aucSector, "BEA01")) {
        return false;
    }
    offset += kSector;
    return file.ReadSector(offset, aucSector) &&
           (HasId(aucSector, "NSR02") || HasId(aucSector, "NSR03"));
}
