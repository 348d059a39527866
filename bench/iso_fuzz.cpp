// libFuzzer target: arbitrary bytes as the descriptor area (from offset 32768) of an image, opened
// and looked through with every read-only operation of the reader.
#include "iso_image.h"

#include <cstdio>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kDescriptorStart = 32768;
constexpr size_t kMinImageSize = 34816;
constexpr size_t kMaxVisited = 20000;

int MemoryFile()
{
    static const int s_fd = memfd_create("kiv_iso_fuzz", 0);
    return s_fd;
}

void Explore(const IsoImage &image)
{
    IsoEntry entry;
    for (const char *pcPath :
         {"", "boot/grub/grub.cfg", "BOOT\\GRUB", "a", "lnk", "dir/up/grub", "boot//x"}) {
        IsoFind(&image, pcPath, false, &entry);
        IsoFind(&image, pcPath, true, &entry);
    }
    std::vector<const IsoNode *> vQueue{image.pstRoot};
    for (size_t i = 0; i < vQueue.size() && vQueue.size() < kMaxVisited; ++i) {
        std::vector<const IsoNode *> vChildren;
        uint32_t uiCount = 0;
        IsoDirInfo info;
        IsoDirStats(vQueue[i], &info);
        if (IsoListDir(vQueue[i], &vChildren, &uiCount) != 0) {
            continue;
        }
        for (const IsoNode *p : vChildren) {
            IsoEntryOfNode(p, &entry);
            IsoResolveLink(p);
            IsoJolietRecord joliet;
            IsoFindJolietRecord(&image, p->uiExtent, &joliet);
            if (p->IsDir()) {
                vQueue.push_back(p);
            }
        }
    }
    IsoBootEntryCount(&image);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pucData, size_t uiSize)
{
    const int fd = MemoryFile();
    std::vector<uint8_t> vImage(kDescriptorStart);
    vImage.insert(vImage.end(), pucData, pucData + uiSize);
    if (vImage.size() < kMinImageSize) {
        vImage.resize(kMinImageSize);
    }
    if (fd < 0 || ftruncate(fd, 0) != 0 ||
        pwrite(fd, vImage.data(), vImage.size(), 0) != static_cast<ssize_t>(vImage.size())) {
        return 0;
    }
    const std::string szPath = "/proc/self/fd/" + std::to_string(fd);
    IsIso9660File(szPath.c_str());
    IsUdfFile(szPath.c_str());
    for (bool bJoliet : {false, true}) {
        IsoImage image;
        if (IsoOpen(szPath.c_str(), bJoliet, &image) == 0) {
            Explore(image);
        }
    }
    return 0;
}
