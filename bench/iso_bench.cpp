// Times IsoOpen of one image and path lookups in it; prints "open_s" and "lookups_per_s".
// Usage: iso_bench IMAGE PATHS_FILE   (PATHS_FILE: one path inside the image per line)
#include "iso_image.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s IMAGE PATHS_FILE\n", argv[0]);
        return 2;
    }
    std::vector<std::string> vPaths;
    std::ifstream in(argv[2]);
    for (std::string sz; std::getline(in, sz);) {
        vPaths.push_back(sz);
    }
    using Clock = std::chrono::steady_clock;
    const int kOpens = 5;
    double dBestOpen = 1e9;
    IsoImage image;
    for (int i = 0; i < kOpens; ++i) {
        const auto t0 = Clock::now();
        const uint32_t uiRet = IsoOpen(argv[1], false, &image);
        const double d = std::chrono::duration<double>(Clock::now() - t0).count();
        if (uiRet != 0) {
            fprintf(stderr, "IsoOpen failed: 0x%x\n", uiRet);
            return 1;
        }
        dBestOpen = d < dBestOpen ? d : dBestOpen;
    }
    IsoDirInfo info;
    IsoDirStats(image.pstRoot, &info);

    size_t uiFound = 0;
    const size_t kLookups = 1000000;
    const auto t0 = Clock::now();
    for (size_t i = 0; i < kLookups; ++i) {
        IsoEntry entry;
        uiFound += IsoFind(&image, vPaths[(i * 7919) % vPaths.size()].c_str(), false, &entry) == 0;
    }
    const double dLookups = std::chrono::duration<double>(Clock::now() - t0).count();
    if (uiFound != kLookups) {
        fprintf(stderr, "only %zu of %zu lookups found their path\n", uiFound, kLookups);
        return 1;
    }
    printf("entries %u\n", info.uiRecursiveDirs + info.uiRecursiveFiles + info.uiRecursiveLinks);
    printf("open_s %.4f\n", dBestOpen);
    printf("lookups_per_s %.0f\n", kLookups / dLookups);
    return 0;
}
