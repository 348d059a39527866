#include "platform.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

constexpr uint64_t Cap(int iCap)
{
    return uint64_t{1} << iCap;
}

TEST(Platform, PrivilegeDecision)
{
    struct Case {
        unsigned uiEuid;
        uint64_t ulCaps;
        bool bWanted;
    };
    const Case astCases[] = {
        {0, 0, true},
        {1000, 0, false},
        {1000, Cap(CAP_NET_BIND_SERVICE), false},
        {1000, Cap(CAP_NET_RAW), false},
        {1000, Cap(CAP_NET_BIND_SERVICE) | Cap(CAP_NET_RAW), true},
        {1000, Cap(CAP_NET_BIND_SERVICE) | Cap(CAP_NET_ADMIN), true},
        {1000, Cap(CAP_NET_ADMIN) | Cap(CAP_NET_RAW), false},
    };
    for (const Case &stCase : astCases) {
        EXPECT_EQ(PLAT_PrivilegeSufficient(stCase.uiEuid, stCase.ulCaps), stCase.bWanted)
            << stCase.uiEuid << " " << std::hex << stCase.ulCaps;
    }
}

TEST(Platform, LocaleChoosesFirstSetVariable)
{
    struct Case {
        const char *pcAll, *pcMessages, *pcLang;
        bool bChinese;
    };
    const Case astCases[] = {
        {nullptr, nullptr, "zh_CN.UTF-8", true},  {nullptr, nullptr, "en_US.UTF-8", false},
        {nullptr, nullptr, "zh_TW.UTF-8", false}, {"C", nullptr, "zh_CN.UTF-8", false},
        {"", "zh_CN.UTF-8", "en_US.UTF-8", true}, {"zh_CN", "en_US", "en_US", true},
        {nullptr, nullptr, nullptr, false},
    };
    for (const Case &stCase : astCases) {
        EXPECT_EQ(PLAT_LocaleIsChinese(stCase.pcAll, stCase.pcMessages, stCase.pcLang),
                  stCase.bChinese)
            << (stCase.pcAll ? stCase.pcAll : "-") << "/" << (stCase.pcLang ? stCase.pcLang : "-");
    }
}

TEST(Platform, RulesetDropDetection)
{
    struct Case {
        const char *pcName;
        const char *pcRuleset;
        bool bDrops;
    };
    const Case astCases[] = {
        {"empty", "", false},
        {"nft accept policy",
         "table inet filter {\n\tchain input {\n\t\ttype filter hook input priority filter; "
         "policy accept;\n\t\tct state established accept\n\t}\n}\n",
         false},
        {"nft drop policy",
         "table inet filter {\n\tchain input {\n\t\ttype filter hook input priority filter; "
         "policy drop;\n\t}\n}\n",
         true},
        {"nft reject rule in input",
         "table inet filter {\n\tchain input {\n\t\ttype filter hook input priority 0; policy "
         "accept;\n\t\tudp dport 69 reject\n\t}\n}\n",
         true},
        {"nft drop only in output",
         "table inet filter {\n\tchain output {\n\t\ttype filter hook output priority 0; policy "
         "accept;\n\t\ttcp dport 25 drop\n\t}\n}\n",
         false},
        {"iptables drop policy", "*filter\n:INPUT DROP [0:0]\n:FORWARD ACCEPT [0:0]\nCOMMIT\n",
         true},
        {"iptables accept", "*filter\n:INPUT ACCEPT [0:0]\n-A INPUT -i lo -j ACCEPT\nCOMMIT\n",
         false},
        {"iptables reject rule", "*filter\n:INPUT ACCEPT [0:0]\n-A INPUT -p udp -j REJECT\n", true},
        {"iptables forward drop", "*filter\n:INPUT ACCEPT [0:0]\n-A FORWARD -j DROP\n", false},
    };
    for (const Case &stCase : astCases) {
        EXPECT_EQ(PLAT_RulesetMayDrop(stCase.pcRuleset), stCase.bDrops) << stCase.pcName;
    }
}

TEST(Platform, InstanceLockRefusesSecondHolder)
{
    std::string strName = "KIVPXE-core-test-" + std::to_string(getpid());
    EXPECT_TRUE(PLAT_AcquireInstanceLock(strName.c_str()));
    EXPECT_FALSE(PLAT_AcquireInstanceLock(strName.c_str()));
    EXPECT_TRUE(PLAT_AcquireInstanceLock((strName + "-other").c_str()));
}

TEST(Platform, LocalAddressesIncludeLoopbackAndSkipZero)
{
    bool bLoopback = false;
    for (const PLAT_LocalAddress &stAddr : PLAT_LocalAddresses()) {
        EXPECT_NE(stAddr.strAddress, "0.0.0.0");
        EXPECT_FALSE(stAddr.strName.empty());
        if (stAddr.strAddress == "127.0.0.1") {
            bLoopback = true;
            EXPECT_EQ(stAddr.strMask, "255.0.0.0");
            EXPECT_EQ(stAddr.strName, "lo");
        }
    }
    EXPECT_TRUE(bLoopback);
}

TEST(Platform, DataDirectoryFollowsChdir)
{
    namespace fs = std::filesystem;
    fs::path stOld = fs::current_path();
    fs::path stDir = fs::temp_directory_path() / ("kiv-core-datadir-" + std::to_string(getpid()));
    fs::create_directories(stDir);
    EXPECT_EQ(PLAT_EnterDataDirectory(stDir.c_str()), fs::canonical(stDir).string());
    EXPECT_EQ(PLAT_EnterDataDirectory(nullptr), fs::canonical(stDir).string());
    EXPECT_EQ(PLAT_EnterDataDirectory((stDir / "missing").c_str()), "");
    fs::current_path(stOld);
    fs::remove_all(stDir);
}

}  // namespace

TEST(Platform, NeighbourTableLookup)
{
    const std::string strTable =
        "IP address       HW type     Flags       HW address            Mask     Device\n"
        "10.215.0.201     0x1         0x2         52:54:00:1a:00:01     *        br0\n"
        "10.215.0.202     0x1         0x0         00:00:00:00:00:00     *        br0\n"
        "10.215.0.20      0x1         0x2         52:54:00:1a:00:20     *        br0\n"
        "10.215.0.203     0x1         0x2         52:54:00:zz:00:03     *        br0\n";
    struct Case {
        const char *pcName;
        uint32_t uiAddress;
        bool bFound;
        uint8_t ucLast;
    } astCases[] = {
        {"complete entry", 0x0AD700C9, true, 0x01},
        {"a prefix of another address is not it", 0x0AD70014, true, 0x20},
        {"incomplete entry", 0x0AD700CA, false, 0},
        {"malformed MAC", 0x0AD700CB, false, 0},
        {"absent", 0x0AD700CC, false, 0},
    };
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.pcName);
        uint8_t aucMac[6] = {};
        EXPECT_EQ(PLAT_FindNeighbour(strTable, stCase.uiAddress, aucMac), stCase.bFound);
        if (stCase.bFound) {
            EXPECT_EQ(aucMac[0], 0x52);
            EXPECT_EQ(aucMac[5], stCase.ucLast);
        }
    }
    EXPECT_FALSE(PLAT_FindNeighbour("", 0x0AD700C9, nullptr));
}
