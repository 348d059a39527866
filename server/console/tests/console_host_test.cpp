// The console's Host header check.
#include <gtest/gtest.h>
#include <glib.h>

#include <string>

#include "console_host.h"
#include "local_addresses.h"

TEST(ConsoleHost, OnlyTheConsolesOwnNamesAndPort)
{
    const auto vecLoop = CONSOLE_HostNames("127.0.0.1");
    const auto vecOne = CONSOLE_HostNames("10.0.0.5");
    struct Case {
        const std::vector<std::string> *pvecNames;
        std::string strHost;
        uint16_t usPort;
        bool bAllowed;
    } astCases[] = {
        {&vecLoop, "127.0.0.1:8800", 8800, true},
        {&vecLoop, "localhost:8800", 8800, true},
        {&vecLoop, "LocalHost:8800", 8800, true},
        {&vecLoop, "[::1]:8800", 8800, true},
        {&vecLoop, std::string(g_get_host_name()) + ":8800", 8800, true},
        {&vecLoop, "127.0.0.1", 80, true},
        {&vecLoop, "127.0.0.1", 8800, false},  // no port: only right for port 80
        {&vecLoop, "127.0.0.1:8801", 8800, false},
        {&vecLoop, "evil.example:8800", 8800, false},
        {&vecLoop, "evil.example", 80, false},
        {&vecLoop, "127.0.0.1.evil.example:8800", 8800, false},
        {&vecLoop, "", 8800, false},
        {&vecLoop, ":8800", 8800, false},
        {&vecLoop, "[::1]", 8800, false},
        {&vecOne, "10.0.0.5:8800", 8800, true},
        {&vecOne, "127.0.0.1:8800", 8800, false},  // not listened on
        {&vecOne, "localhost:8800", 8800, false},
    };
    for (const Case &stCase : astCases) {
        EXPECT_EQ(CONSOLE_HostAllowed(stCase.strHost, *stCase.pvecNames, stCase.usPort),
                  stCase.bAllowed)
            << stCase.strHost;
    }
}

TEST(ConsoleHost, AnyAddressTakesEveryLocalAddress)
{
    SetLocalAddressProvider([] {
        return std::vector<PLAT_LocalAddress>{{"192.168.7.1", "255.255.255.0", "eth0"},
                                              {"10.1.2.3", "255.0.0.0", "eth1"}};
    });
    RefreshLocalAddresses();
    const auto vecAny = CONSOLE_HostNames("0.0.0.0");
    SetLocalAddressProvider({});
    RefreshLocalAddresses();
    EXPECT_TRUE(CONSOLE_HostAllowed("192.168.7.1:8800", vecAny, 8800));
    EXPECT_TRUE(CONSOLE_HostAllowed("10.1.2.3:8800", vecAny, 8800));
    EXPECT_TRUE(CONSOLE_HostAllowed("localhost:8800", vecAny, 8800));
    EXPECT_FALSE(CONSOLE_HostAllowed("192.168.7.2:8800", vecAny, 8800));
    EXPECT_FALSE(CONSOLE_HostAllowed("attacker.example:8800", vecAny, 8800));
}
