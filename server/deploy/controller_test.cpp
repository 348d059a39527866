#include <gtest/gtest.h>

#include "commands.h"
#include "controller.h"
#include "qvdhcp_config.h"
#include "settings.h"

TEST(Controller, SourceHistoryMovesEntriesToTheFront)
{
    struct Case {
        std::vector<std::string> vecBefore;
        const char *pcSource;
        std::vector<std::string> vecAfter;
    } astCases[] = {
        {{}, "/srv/a.iso", {"/srv/a.iso"}},
        {{"/srv/b.iso", "/srv/A.ISO"}, "/srv/a.iso", {"/srv/a.iso", "/srv/b.iso"}},
        {{"/srv/a.iso"}, "/srv/a.iso", {"/srv/a.iso"}},
    };
    for (Case &stCase : astCases) {
        UpdateSourceHistory(stCase.vecBefore, stCase.pcSource);
        EXPECT_EQ(stCase.vecBefore, stCase.vecAfter);
    }
}

TEST(Commands, SwitchesReachDhcpAndTheFilterAsksForAnEmptyWhitelist)
{
    Settings() = ServerSettings{};
    CMD_ToggleDhcpOnlyPxe();
    EXPECT_EQ(g_stDHCPCfg.uiOnlyPXE.load(), 1u);
    CMD_ToggleDhcpOnlyPxe();
    EXPECT_EQ(g_stDHCPCfg.uiOnlyPXE.load(), 0u);
    CMD_ToggleZelVmFilter();
    EXPECT_EQ(g_stDHCPCfg.uiVMFilter.load(), 1u);
    EXPECT_TRUE(CMD_MenuState().bZelVmFilter);
    // The headless answer to message 65 is its default, No: nothing changes.
    EXPECT_FALSE(CMD_MacFilterApply(false, {}));
    EXPECT_EQ(Settings().uiMacFltDeny, 1u);
    EXPECT_TRUE(CMD_MacFilterApply(false, {"00-11-22-33-44-**"}));
    EXPECT_EQ(Settings().uiMacFltDeny, 0u);
    std::string strPattern;
    EXPECT_TRUE(CMD_MacEditCheck("00:11:22:33:44:55", &strPattern));
    EXPECT_EQ(strPattern, "00-11-22-33-44-55");
    EXPECT_FALSE(CMD_MacEditCheck("00:11:22", &strPattern));
    EXPECT_EQ(CMD_PluginListCaption(), "Plugin List");
    EXPECT_TRUE(CMD_SetSourceKind(false));
    EXPECT_FALSE(CMD_MenuState().bIsoFile);
}
