#include "version.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

TEST(Version, ReadsThreeNetworkOrderNumbers)
{
    TempDir stDir;
    struct Case {
        const char *pcName;
        std::string strBytes;  // nullptr-like "missing" is handled below
        std::string strWanted;
    };
    const Case astCases[] = {
        {"1.2.3", std::string("\0\0\0\1\0\0\0\2\0\0\0\3", 12), "1.2.3"},
        {"large minor", std::string("\0\0\0\2\0\0\1\0\0\0\0\0", 12), "2.256.0"},
        {"short file", std::string("\0\0\0\1\0\0\0\2", 8), ""},
    };
    for (const Case &stCase : astCases) {
        WriteFile(stDir / "version.data", stCase.strBytes);
        EXPECT_EQ(VersionTextFromFile((stDir / "version.data").c_str()), stCase.strWanted)
            << stCase.pcName;
    }
    EXPECT_EQ(VersionTextFromFile((stDir / "missing.data").c_str()), "");
}

TEST(Version, BuildWritesTheProjectVersion)
{
    std::string strPath = std::string(KIV_BINARY_DIR) + "/data/dll/version.data";
    EXPECT_EQ(VersionTextFromFile(strPath.c_str()), KIV_VERSION);
}

TEST(Version, TitlesComeFromTheDataDirectory)
{
    // The texts are read once, from the working directory of the first call.
    std::filesystem::path stOld = std::filesystem::current_path();
    std::filesystem::current_path(std::string(KIV_BINARY_DIR) + "/data");
    EXPECT_EQ(ProductTitle(), std::string("KIV Deploy System ") + KIV_VERSION);
    EXPECT_EQ(BannerText(), std::string("ORV ") + KIV_VERSION);
    std::filesystem::current_path(stOld);
    EXPECT_EQ(VersionText(), KIV_VERSION);
}

}  // namespace
