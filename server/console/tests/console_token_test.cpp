#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "console_token.h"

TEST(ConsoleToken, FreshTokensAreLongRandomAndPrivateOnDisk)
{
    std::string strA = CONSOLE_MakeToken();
    std::string strB = CONSOLE_MakeToken();
    ASSERT_EQ(strA.size(), 64u);
    EXPECT_NE(strA, strB);
    EXPECT_EQ(strA.find_first_not_of("0123456789abcdef"), std::string::npos);

    char szDir[] = "/tmp/kiv-token-XXXXXX";
    ASSERT_NE(mkdtemp(szDir), nullptr);
    std::string strPath = std::string(szDir) + "/console.token";
    ASSERT_TRUE(CONSOLE_WriteToken(strPath, strA));
    ASSERT_TRUE(CONSOLE_WriteToken(strPath, strB));  // a later start replaces it
    struct stat stInfo {};
    ASSERT_EQ(stat(strPath.c_str(), &stInfo), 0);
    EXPECT_EQ(stInfo.st_mode & 0777, 0600u);
    EXPECT_EQ(CONSOLE_ReadToken(strPath), strB);
    EXPECT_EQ(CONSOLE_ReadToken(std::string(szDir) + "/missing"), "");
    EXPECT_FALSE(CONSOLE_WriteToken(std::string(szDir) + "/no/such/dir/token", strA));
    std::string strCommand = std::string("rm -rf ") + szDir;
    ASSERT_EQ(system(strCommand.c_str()), 0);
}

TEST(ConsoleToken, ComparisonNeedsTheWholeToken)
{
    const std::string strToken = "00ff00ff";
    EXPECT_TRUE(CONSOLE_TokenEquals("00ff00ff", strToken));
    for (const char *pcGiven : {"", "00ff00f", "00ff00fe", "00ff00ff0", "x0ff00ff"}) {
        EXPECT_FALSE(CONSOLE_TokenEquals(pcGiven, strToken)) << pcGiven;
    }
    EXPECT_FALSE(CONSOLE_TokenEquals("", ""));  // no token made: nothing is accepted
}
