// The dialogs' checks: each refusal shows its message and changes nothing; accepted input lands
// in the settings and the boot configuration.
#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

#include "boot_config.h"
#include "console_dialogs.h"
#include "msg_table.h"
#include "prompt.h"
#include "settings.h"

namespace {

class ConsoleDialogs : public ::testing::Test {
protected:
    void SetUp() override
    {
        MSG_SetChinese(false);
        Settings() = ServerSettings{};
        Settings().strRootPassword = "Start-pw1";
        PROMPT_SetHandler([this](const PromptRequest &stRequest) {
            m_vecShown.push_back(stRequest.strText);
            return m_eAnswer;
        });
    }
    void TearDown() override { PROMPT_SetHandler(nullptr); }

    Json::Value ServerArgs()
    {
        Json::Value stArgs = DLG_ServerConfigGet();
        stArgs.removeMember("bootLists");
        return stArgs;
    }
    std::vector<std::string> m_vecShown;
    PromptAnswer m_eAnswer = PromptAnswer::Ok;
};

}  // namespace

TEST_F(ConsoleDialogs, ServerConfigurationRefusalsInOrder)
{
    struct Case {
        const char *pcMask, *pcGateway;
        bool bXxx1;
        const char *pcDisk;
        int iMessage;  // -1: accepted
    };
    const Case astCases[] = {
        {"0.0.0.0", "10.0.0.1", false, "/dev/sda", 111},
        {"nonsense", "10.0.0.1", false, "/dev/sda", 111},
        {"255.255.255.0", "0.0.0.0", false, "/dev/sda", 112},
        {"255.255.255.0", "0.0.0.0", true, "200G", 113},
        {"255.255.255.0", "0.0.0.0", true, "sda", 113},
        {"255.255.255.0", "0.0.0.0", true, "200GB", -1},
        {"255.255.0.0", "10.0.0.1", false, "/dev/nvme0n1", -1},
    };
    for (const Case &stCase : astCases) {
        m_vecShown.clear();
        ServerSettings stBefore = Settings();
        std::string strDiskBefore = BootConfig().strInsDiskName;
        Json::Value stArgs = ServerArgs();
        stArgs["mask"] = stCase.pcMask;
        stArgs["gateway"] = stCase.pcGateway;
        stArgs["xxx1"] = stCase.bXxx1;
        stArgs["disk"] = stCase.pcDisk;
        bool bAccepted = DLG_ServerConfigApply(stArgs);
        if (stCase.iMessage < 0) {
            EXPECT_TRUE(bAccepted) << stCase.pcDisk;
            EXPECT_TRUE(m_vecShown.empty());
            EXPECT_EQ(BootConfig().strInsDiskName, stCase.pcDisk);
        } else {
            EXPECT_FALSE(bAccepted) << stCase.pcMask << " " << stCase.pcDisk;
            ASSERT_EQ(m_vecShown.size(), 1u);
            EXPECT_EQ(m_vecShown[0], MSG_Text(stCase.iMessage));
            EXPECT_EQ(Settings().uiDhcpMask, stBefore.uiDhcpMask);
            EXPECT_EQ(BootConfig().strInsDiskName, strDiskBefore);
        }
    }
    EXPECT_EQ(Settings().uiDhcpMask, 0xFFFF0000u);
    EXPECT_EQ(BootConfig().strDiskName, "/dev/nvme0n1");
}

TEST_F(ConsoleDialogs, ServerConfigurationNameServersAndDomain)
{
    struct Case {
        const char *pcDns, *pcDomain;
        const char *pcPrompt;  // nullptr: accepted
    };
    const Case astCases[] = {
        {"10.0.0.53, 10.0.0.54", "lab.example", nullptr},
        {"", "", nullptr},
        {"10.0.0.1,10.0.0.2,10.0.0.3,10.0.0.4", "", "name server addresses"},
        {"10.0.0.300", "", "name server addresses"},
        {"", "lab example", "valid domain name"},
    };
    Settings().vecDhcpDns = {"192.168.0.1"};
    Settings().strDhcpDomain = "before";
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.pcDns);
        m_vecShown.clear();
        ServerSettings stBefore = Settings();
        Json::Value stArgs = ServerArgs();
        stArgs["dns"] = stCase.pcDns;
        stArgs["domain"] = stCase.pcDomain;
        stArgs["proxy"] = stCase.pcPrompt == nullptr && std::string(stCase.pcDns).empty();
        stArgs["relay"] = !stArgs["proxy"].asBool();
        stArgs["ipv6Ra"] = stArgs["proxy"];
        EXPECT_EQ(DLG_ServerConfigApply(stArgs), stCase.pcPrompt == nullptr);
        if (stCase.pcPrompt == nullptr) {
            EXPECT_TRUE(m_vecShown.empty());
            EXPECT_EQ(Settings().strDhcpDomain, stCase.pcDomain);
            EXPECT_EQ(Settings().uiDhcpProxy, stArgs["proxy"].asBool() ? 1u : 0u);
            EXPECT_EQ(Settings().uiDhcpRelay, stArgs["relay"].asBool() ? 1u : 0u);
            EXPECT_EQ(Settings().uiIpv6Ra, stArgs["ipv6Ra"].asBool() ? 1u : 0u);
            EXPECT_EQ(DLG_ServerConfigGet()["ipv6Ra"], stArgs["ipv6Ra"]);
            // What the dialog shows next is what was typed, blanks removed.
            std::string strTyped = stCase.pcDns;
            strTyped.erase(std::remove(strTyped.begin(), strTyped.end(), ' '), strTyped.end());
            EXPECT_EQ(DLG_ServerConfigGet()["dns"].asString(), strTyped);
        } else {
            ASSERT_EQ(m_vecShown.size(), 1u);
            EXPECT_NE(m_vecShown[0].find(stCase.pcPrompt), std::string::npos);
            EXPECT_EQ(Settings().vecDhcpDns, stBefore.vecDhcpDns);
            EXPECT_EQ(Settings().strDhcpDomain, stBefore.strDhcpDomain);
        }
    }
}

TEST_F(ConsoleDialogs, ServerConfigurationNumbersOutsideTheirRangeAreRefused)
{
    for (const char *pcField :
         {"tftpTimeout", "retransmit", "httpPort", "menuTimeout", "keyTimeout"}) {
        for (Json::Value stBad : {Json::Value(0), Json::Value(100000), Json::Value("12x")}) {
            m_vecShown.clear();
            Json::Value stArgs = ServerArgs();
            stArgs[pcField] = stBad;
            EXPECT_FALSE(DLG_ServerConfigApply(stArgs)) << pcField;
            ASSERT_EQ(m_vecShown.size(), 1u);
            EXPECT_NE(m_vecShown[0].find("Please enter an integer between 1 and"),
                      std::string::npos);
        }
    }
    Json::Value stArgs = ServerArgs();
    stArgs["httpPort"] = 65535;
    stArgs["bcdBlock"] = 4;
    EXPECT_TRUE(DLG_ServerConfigApply(stArgs));
    EXPECT_EQ(Settings().usHttpPort, 65535);
    EXPECT_EQ(TftpBlockSize(), 16384u);
    // the Windows source mode: shown and taken back
    EXPECT_FALSE(ServerArgs()["httpDisk"].asBool());
    stArgs["httpDisk"] = true;
    EXPECT_TRUE(DLG_ServerConfigApply(stArgs));
    EXPECT_EQ(Settings().uiHttpDiskMode, 1u);
    EXPECT_TRUE(ServerArgs()["httpDisk"].asBool());
}

TEST_F(ConsoleDialogs, RootPasswordIsShownAndChangedOnlyToOneTheTemplatesCanCarry)
{
    EXPECT_EQ(ServerArgs()["rootPassword"].asString(), "Start-pw1");
    for (const char *pcBad : {"", "a<b", "a&b", "quo\"te", "back\\slash", "new\nline"}) {
        m_vecShown.clear();
        Json::Value stArgs = ServerArgs();
        stArgs["rootPassword"] = pcBad;
        EXPECT_FALSE(DLG_ServerConfigApply(stArgs)) << pcBad;
        EXPECT_EQ(m_vecShown.size(), 1u);
        EXPECT_EQ(Settings().strRootPassword, "Start-pw1");
    }
    Json::Value stArgs = ServerArgs();
    stArgs["rootPassword"] = "N3w pass-word!";
    EXPECT_TRUE(DLG_ServerConfigApply(stArgs));
    EXPECT_EQ(Settings().strRootPassword, "N3w pass-word!");
}

TEST_F(ConsoleDialogs, NfsProductKeyAndBootOptionChecks)
{
    struct Case {
        bool (*pfnApply)(const Json::Value &);
        const char *pcKey;
        const char *pcText;
        int iMessage;
    };
    Settings().vecExtBootOpt = {{"Ubuntu", true, "", ""}};
    const Case astCases[] = {
        {DLG_NfsApply, "url", "192.168.0.100:/home/share/ubuntu", -1},
        {DLG_NfsApply, "url", "nfs://server/share", 72},
        {DLG_NfsApply, "url", "192.168.0.100: ", 72},
        {DLG_WinKeyApply, "key", "ABCDE-12345-FGHIJ-67890-KLMNO", -1},
        {DLG_WinKeyApply, "key", "", -1},
        {DLG_WinKeyApply, "key", "ABCDE 12345", 152},
        {DLG_WinKeyApply, "key", "ABCDE-12345-FGHIJ-67890-KLMNO-PQRS", 152},
        {DLG_ExtBootApply, "legacy", "quiet splash", -1},
        {DLG_ExtBootApply, "legacy", "quiet 中文", 68},
    };
    for (const Case &stCase : astCases) {
        m_vecShown.clear();
        Json::Value stArgs;
        stArgs[stCase.pcKey] = stCase.pcText;
        stArgs["index"] = 0;
        EXPECT_EQ(stCase.pfnApply(stArgs), stCase.iMessage < 0) << stCase.pcText;
        if (stCase.iMessage >= 0) {
            ASSERT_EQ(m_vecShown.size(), 1u) << stCase.pcText;
            EXPECT_EQ(m_vecShown[0], MSG_Text(stCase.iMessage));
        }
    }
    EXPECT_EQ(Settings().strNfsShareUrl, "192.168.0.100:/home/share/ubuntu");
    EXPECT_EQ(Settings().strWinkey, "");
    EXPECT_EQ(Settings().vecExtBootOpt[0].strLegacyOpt, "quiet splash");
}

TEST_F(ConsoleDialogs, InactiveBootOptionKeepsItsTextsAndActiveIsStoredAtOnce)
{
    Settings().vecExtBootOpt = {{"Debian", false, "old", "old"}};
    Json::Value stArgs;
    stArgs["index"] = 0;
    stArgs["legacy"] = "new";
    EXPECT_TRUE(DLG_ExtBootApply(stArgs));
    EXPECT_EQ(Settings().vecExtBootOpt[0].strLegacyOpt, "old");
    stArgs["active"] = true;
    EXPECT_TRUE(DLG_ExtBootActive(stArgs));
    EXPECT_TRUE(Settings().vecExtBootOpt[0].bEnabled);
    stArgs["index"] = 5;
    EXPECT_FALSE(DLG_ExtBootActive(stArgs));
}
