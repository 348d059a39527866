#include "iso_detect.h"

#include "iso_file.h"

#include <cstring>

namespace {

constexpr uint64_t kDescriptorStart = 32768;
constexpr long long kMinImageSize = 34816;
constexpr size_t kSector = 2048;

bool HasId(const unsigned char *pucSector, const char *pcId)
{
    return memcmp(pucSector + 1, pcId, 5) == 0;
}

}  // namespace

bool IsIso9660File(const char *pcPath)
{
    IsoFile file(pcPath);
    unsigned char aucSector[kSector];
    return file.RegularSize() >= kMinImageSize &&
           file.ReadExact(kDescriptorStart, kSector, aucSector) && HasId(aucSector, "CD001");
}

bool IsUdfFile(const char *pcPath)
{
    IsoFile file(pcPath);
    if (file.RegularSize() < kMinImageSize) {
        return false;
    }
    unsigned char aucSector[kSector];
    uint64_t ullOffset = kDescriptorStart;
    for (;; ullOffset += kSector) {
        if (!file.ReadExact(ullOffset, kSector, aucSector)) {
            return false;
        }
        if (aucSector[0] == 255) {
            break;
        }
    }
    ullOffset += kSector;
    if (!file.ReadExact(ullOffset, kSector, aucSector) || !HasId(aucSector, "BEA01")) {
        return false;
    }
    ullOffset += kSector;
    return file.ReadExact(ullOffset, kSector, aucSector) &&
           (HasId(aucSector, "NSR02") || HasId(aucSector, "NSR03"));
}
