#include "version.h"

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <fstream>

std::string VersionTextFromFile(const char *pcPath)
{
    std::ifstream stFile(pcPath, std::ios::binary);
    uint32_t auiNumbers[3];
    if (!stFile.read(reinterpret_cast<char *>(auiNumbers), sizeof(auiNumbers))) {
        return {};
    }
    char szText[64];
    snprintf(szText, sizeof(szText), "%d.%d.%d", static_cast<int>(ntohl(auiNumbers[0])),
             static_cast<int>(ntohl(auiNumbers[1])), static_cast<int>(ntohl(auiNumbers[2])));
    return szText;
}

const std::string &VersionText()
{
    static const std::string strVersion = VersionTextFromFile("dll/version.data");
    return strVersion;
}

const std::string &ProductTitle()
{
    static const std::string strTitle = "KIV Deploy System " + VersionText();
    return strTitle;
}

std::string BannerText()
{
    return "ORV " + VersionText();
}
