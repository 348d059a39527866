#include <gtest/gtest.h>

#include "core/network.h"
#include "fake_system.h"
#include "temp_dir.h"

namespace ferrit {
namespace {
using test::Adapter;

TEST(ChooseAdapter, ServerSubnetThenSingleCandidate)
{
    test::TempDir dir;
    const std::array<std::uint8_t, 6> a{0, 0, 0, 0, 0, 1}, b{0, 0, 0, 0, 0, 2};
    const std::uint32_t server = 0xC0A80101;  // 192.168.1.1
    struct Case {
        std::vector<AdapterInfo> adapters;
        bool stopOnLinkLocal;
        int result;
        const char *ip;
        const char *mac;
    } cases[] = {
        {{Adapter(a, 1, "10.0.0.5", "255.255.255.0"),
          Adapter(b, 2, "192.168.1.7", "255.255.255.0")},
         false,
         0,
         "192.168.1.7",
         "00-00-00-00-00-02"},
        {{Adapter(a, 1, "10.0.0.5", "255.255.255.0")}, false, 0, "10.0.0.5", "00-00-00-00-00-01"},
        {{Adapter(a, 1, "10.0.0.5", "255.255.255.0"), Adapter(b, 2, "172.16.0.9", "255.255.0.0")},
         false,
         -1,
         "",
         ""},
        {{Adapter(a, 1, "0.0.0.0", "0.0.0.0"), Adapter(b, 2, "169.254.3.4", "255.255.0.0")},
         false,
         -1,
         "",
         ""},
        {{Adapter(a, 1, "169.254.3.4", "255.255.0.0"),
          Adapter(b, 2, "192.168.1.7", "255.255.255.0")},
         true,
         -10,
         "",
         ""},
        {{Adapter(a, 1, "127.0.0.1", "255.0.0.0"), Adapter(b, 2, "192.168.1.9", "255.255.255.0")},
         false,
         0,
         "192.168.1.9",
         "00-00-00-00-00-02"},
    };
    for (const auto &c : cases) {
        std::string ip, mac;
        EXPECT_EQ(ChooseAdapter(c.adapters, server, c.stopOnLinkLocal, ip, mac), c.result);
        EXPECT_EQ(ip, c.ip);
        EXPECT_EQ(mac, c.mac);
    }
}

TEST(WmicListing, ParsesAdaptersAndDisableCommands)
{
    test::TempDir dir;
    NicListing one = ParseNicListing({"0      ", "4", "1      52:54:00:12:34:56  Ethernet  ",
                                      "7   00:15:5D:AB:CD:EF  Local Area Connection 2 ", ""});
    ASSERT_EQ(one.entries.size(), 2u);
    EXPECT_EQ(one.entries[0].iIndex, 1);
    EXPECT_EQ(one.entries[0].mac, (std::array<std::uint8_t, 6>{0x52, 0x54, 0, 0x12, 0x34, 0x56}));
    EXPECT_EQ(one.entries[0].szName, "Ethernet");
    EXPECT_EQ(one.entries[1].szName, "Local Area Connection 2");
    EXPECT_EQ(one.iMaclessCount, 2);
    EXPECT_EQ(one.iMaclessIndex, 4);
    // two MAC-less lines: one command per listed MAC
    auto many = DisableOtherNicsCommands(one);
    ASSERT_EQ(many.size(), 2u);
    EXPECT_EQ(many[1], "cmd /c wmic path win32_networkadapter where "
                       "MacAddress=\"00:15:5D:AB:CD:EF\" call disable > "
                       "disable.log 2>&1");
    NicListing single = ParseNicListing({"4", "1      52:54:00:12:34:56  Ethernet"});
    EXPECT_EQ(DisableOtherNicsCommands(single),
              std::vector<std::string>{"cmd /c wmic path win32_networkadapter where index!=4 call "
                                       "disable > disable.log 2>&1"});
    EXPECT_EQ(DisableOtherNicsCommands(ParseNicListing({})),
              std::vector<std::string>{"cmd /c wmic path win32_networkadapter where index!=999 "
                                       "call disable > disable.log 2>&1"});

    const std::array<std::uint8_t, 6> mac{0x52, 0x54, 0, 0x12, 0x34, 0x56};
    EXPECT_TRUE(ListingHasMac({"", "52:54:00:12:34:56  "}, &mac));
    EXPECT_FALSE(ListingHasMac({"00:15:5D:AB:CD:EF"}, &mac));
    EXPECT_TRUE(ListingHasMac({"00:15:5D:AB:CD:EF"}, nullptr));
    EXPECT_FALSE(ListingHasMac({"", "   "}, nullptr));
}

TEST(BringUpNetwork, WithoutPxeRecordUsesDhcp)
{
    test::TempDir dir;
    test::FakeSystem sys;
    AgentContext ctx(sys);
    BringUpNetwork(ctx);
    EXPECT_EQ(sys.log, (std::vector<std::string>{"wpe 0", "wpe 1"}));
}

TEST(BringUpNetwork, PxeAddressSetByNetshWithoutWmic)
{
    test::TempDir dir;
    test::FakeSystem sys;
    AgentContext ctx(sys);
    ctx.params.szDhcpDisable = "YES";  // without wmic nothing is isolated
    ctx.params.uiServerIp = 0x0A000001;
    ctx.pxe.cookie = {99, 130, 83, 99};
    ctx.pxe.mac = {0x52, 0x54, 0, 1, 2, 3};
    ctx.pxe.ip = "10.0.0.42";
    ctx.pxe.mask = "255.255.255.0";
    sys.adapters = {Adapter(ctx.pxe.mac, 7, "10.0.0.42", "255.255.255.0")};
    BringUpNetwork(ctx);
    std::vector<std::string> expected = {
        "wpe 4", "exec cmd /c netcfg.exe -winpe > netcfg.log 2>&1",
        "exec cmd /c netcfg.exe -winpe > netcfg.log 2>&1",
        "exec cmd /c netsh interface ip set address name=7 source=static addr=10.0.0.42 "
        "mask=255.255.255.0 gateway= > "
        "netsh.log 2>&1"};
    EXPECT_EQ(sys.log, expected);
    EXPECT_TRUE(WaitForAddress(ctx));
    EXPECT_EQ(ctx.szClientMac, "52-54-00-01-02-03");
    EXPECT_EQ(sys.status[StatusField::Network], "Success");

    sys.adapters.clear();
    EXPECT_FALSE(WaitForAddress(ctx));
    EXPECT_EQ(sys.status[StatusField::Network], "Fail NOIP");
    EXPECT_EQ(sys.status[StatusField::Source], "......");
}

TEST(BringUpNetwork, StaticFailureFallsBackToDhcp)
{
    test::TempDir dir;
    test::FakeSystem sys;
    AgentContext ctx(sys);
    ctx.pxe.cookie = {99, 130, 83, 99};
    ctx.pxe.mac = {0x52, 0x54, 0, 1, 2, 3};
    ctx.pxe.ip = "10.0.0.42";
    sys.adapters = {
        Adapter({9, 9, 9, 9, 9, 9}, 3, "0.0.0.0", "0.0.0.0")};  // the PXE MAC never shows
    BringUpNetwork(ctx);
    ASSERT_GE(sys.log.size(), 2u);
    EXPECT_EQ(sys.log[sys.log.size() - 2], "wpe 0");
    EXPECT_EQ(sys.log.back(), "wpe 1");
}

}  // namespace
}  // namespace ferrit
