// The root password setting: made at random once, hashed with SHA-512 crypt and a fresh salt.
#include <crypt.h>
#include <gtest/gtest.h>

#include <string>

#include "root_password.h"
#include "settings.h"

TEST(RootPassword, MadeOnlyWhenUnsetAndNeverTheOldFixedOne)
{
    ServerSettings stFirst, stSecond;
    ASSERT_TRUE(EnsureRootPassword(stFirst));
    ASSERT_TRUE(EnsureRootPassword(stSecond));
    EXPECT_GE(stFirst.strRootPassword.size(), 16u);
    EXPECT_TRUE(RootPasswordValid(stFirst.strRootPassword));
    EXPECT_NE(stFirst.strRootPassword, stSecond.strRootPassword);
    EXPECT_NE(stFirst.strRootPassword, "730518");
    std::string strKept = stFirst.strRootPassword;
    EXPECT_FALSE(EnsureRootPassword(stFirst));
    EXPECT_EQ(stFirst.strRootPassword, strKept);
}

TEST(RootPassword, CryptIsSha512WithAFreshSaltAndVerifies)
{
    std::string strHash = CryptRootPassword("s3cret pw");
    ASSERT_EQ(strHash.rfind("$6$", 0), 0u) << strHash;
    EXPECT_NE(strHash, CryptRootPassword("s3cret pw"));
    // crypt() with the hash as setting gives the hash again for the right password only.
    crypt_data stData{};
    EXPECT_EQ(std::string(crypt_r("s3cret pw", strHash.c_str(), &stData)), strHash);
    EXPECT_NE(std::string(crypt_r("s3cret pX", strHash.c_str(), &stData)), strHash);
}

TEST(RootPassword, OnlyTextTheTemplatesCanCarry)
{
    for (const char *pcGood : {"a", "N3w pass-word!", "ünï"})
        EXPECT_TRUE(RootPasswordValid(pcGood));
    for (const char *pcBad : {"", "a<b", "a>b", "a&b", "a\"b", "a\\b", "a\nb", "a\x7f"})
        EXPECT_FALSE(RootPasswordValid(pcBad)) << pcBad;
    EXPECT_FALSE(RootPasswordValid(std::string(129, 'a')));
}
