// Build-time tool: writes the version file of the data directory.
// Usage: kiv_version_data OUTPUT MAJOR MINOR PATCH
#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char **argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: %s OUTPUT MAJOR MINOR PATCH\n", argv[0]);
        return 2;
    }
    uint32_t auiNumbers[3];
    for (int i = 0; i < 3; ++i) {
        auiNumbers[i] = htonl(static_cast<uint32_t>(strtoul(argv[2 + i], nullptr, 10)));
    }
    std::string strTemp = std::string(argv[1]) + ".tmp";
    FILE *pstFile = fopen(strTemp.c_str(), "wb");
    if (pstFile == nullptr) {
        perror(strTemp.c_str());
        return 1;
    }
    bool bOk = fwrite(auiNumbers, sizeof(auiNumbers), 1, pstFile) == 1;
    bOk = fclose(pstFile) == 0 && bOk;
    if (!bOk || rename(strTemp.c_str(), argv[1]) != 0) {
        perror(argv[1]);
        remove(strTemp.c_str());
        return 1;
    }
    return 0;
}
