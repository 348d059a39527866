#include "plugin_host.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include "log.h"
#include "msg_table.h"
#include "prompt.h"
#include "work_dir.h"

namespace fs = std::filesystem;

namespace {

class PluginHostTest : public testing::Test {
protected:
    void SetUp() override
    {
        MSG_SetChinese(false);
        PROMPT_SetHandler([this](const PromptRequest &stRequest) {
            m_vecPrompts.push_back(stRequest.strText);
            return stRequest.eDefault;
        });
        fs::create_directories(m_stDir / "plugin");
    }
    void TearDown() override
    {
        UnloadPlugins();
        PROMPT_SetHandler(nullptr);
    }
    // Puts a built test plug-in into the plugin folder under a name.
    void Install(const char *pcBuilt, const std::string &strName)
    {
        fs::copy_file(pcBuilt, m_stDir / ("plugin/" + strName));
    }
    int MatchCalls(const std::string &strName)
    {
        for (const PluginEntry &stEntry : LoadedPlugins()) {
            if (stEntry.strFileName == strName) {
                return reinterpret_cast<int (*)()>(
                    dlsym(stEntry.pvHandle, "TestPlugin_MatchCalls"))();
            }
        }
        return -1;
    }
    WorkDir m_stDir;
    std::vector<std::string> m_vecPrompts;
};

TEST_F(PluginHostTest, LoadsInOrderRefusesBrokenOnesAndHandsOutTheTable)
{
    Install(TEST_PLUGIN_GENERIC, "PLUG_HERON.so");
    Install(TEST_PLUGIN_WINDOWS, "PLUG_OSPREY.so");
    Install(TEST_PLUGIN_NO_VIRTISO, "PLUG_NOVIRT.so");
    Install(TEST_PLUGIN_NO_ENV, "PLUG_NOENV.so");
    Install(TEST_PLUGIN_GENERIC, "README.txt");
    fs::create_directories(m_stDir / "plugin/dir.so");
    EXPECT_EQ(LoadPlugins(), 2);
    ASSERT_EQ(LoadedPlugins().size(), 2U);
    EXPECT_EQ(LoadedPlugins()[0].strFileName, "PLUG_OSPREY.so");
    EXPECT_EQ(LoadedPlugins()[1].strFileName, "PLUG_HERON.so");  // always last
    std::sort(m_vecPrompts.begin(), m_vecPrompts.end());
    EXPECT_EQ(m_vecPrompts, (std::vector<std::string>{
                                "Load PLUG_NOENV.so failed, please check the log for detail",
                                "Load PLUG_NOVIRT.so failed, please check the log for detail"}));
    // The list for the console and the extra boot option records.
    ASSERT_EQ(PluginList().size(), 2U);
    EXPECT_EQ(PluginList()[1].strDescription, "Test centos\r\n-- centos OS");
    std::string strChinese;
    PluginList()[1].pfnGetDesc(1, &strChinese);
    EXPECT_EQ(strChinese.rfind("测试 ", 0), 0U);
    EXPECT_EQ(PluginDescriptions()[0].strFileName, "PLUG_OSPREY.so");
    // Each plug-in got the host's table, with slots 0-24 filled and the rest null.
    auto pfnTable = reinterpret_cast<const PluginUtilTable *(*)()>(
        dlsym(LoadedPlugins()[0].pvHandle, "TestPlugin_Table"));
    ASSERT_EQ(pfnTable(), &HostUtilTable());
    for (int i = 0; i < PLUGIN_UTIL_SLOTS; ++i) {
        EXPECT_EQ(HostUtilTable().apfnSlot[i] != nullptr, i < UTIL_SLOT_COUNT) << "slot " << i;
    }
    EXPECT_EQ(ActivePlugin(), nullptr);
    EXPECT_EQ(ActivePluginFileName(), "");
}

TEST_F(PluginHostTest, LoadPluginResults)
{
    EXPECT_EQ(LoadPlugin(fs::path(TEST_PLUGIN_NO_VIRTISO).parent_path(),
                         fs::path(TEST_PLUGIN_NO_VIRTISO).filename()),
              -1);
    EXPECT_EQ(LoadPlugin(fs::path(TEST_PLUGIN_NO_ENV).parent_path(),
                         fs::path(TEST_PLUGIN_NO_ENV).filename()),
              -1);
    EXPECT_EQ(LoadPlugin(m_stDir / "plugin", "missing.so"), -1);
    EXPECT_EQ(LoadPlugin(fs::path(TEST_PLUGIN_GENERIC).parent_path(),
                         fs::path(TEST_PLUGIN_GENERIC).filename()),
              0);
    EXPECT_EQ(LoadedPlugins().size(), 1U);
    EXPECT_TRUE(m_vecPrompts.empty());  // LoadPlugin itself only logs
}

TEST_F(PluginHostTest, MatchingOrderAndActiveEntry)
{
    Install(TEST_PLUGIN_GENERIC, "PLUG_HERON.so");
    Install(TEST_PLUGIN_WINDOWS, "PLUG_OSPREY.so");
    ASSERT_EQ(LoadPlugins(), 2);
    struct Case {
        const char *pcSource;
        int iResult;
        const char *pcActive;
        int iHeronCalls;
        int iOspreyCalls;
    };
    const Case astCases[] = {
        {"/iso/windows/win10.iso", 1, "PLUG_OSPREY.so", 0, 1},
        {"/iso/Windows/centos.iso", 1, "PLUG_HERON.so", 1, 1},
        {"/iso/centos7.iso", 1, "PLUG_HERON.so", 1, 0},
        {"/iso/win10.iso", 1, "PLUG_OSPREY.so", 1, 1},
        {"/iso/other.iso", 0, nullptr, 1, 1},
    };
    for (const Case &stCase : astCases) {
        for (const PluginEntry &stEntry : LoadedPlugins()) {
            reinterpret_cast<void (*)()>(dlsym(stEntry.pvHandle, "TestPlugin_Reset"))();
        }
        std::string strBefore = ActivePluginFileName();
        EXPECT_EQ(MatchPlugin(stCase.pcSource, nullptr), stCase.iResult) << stCase.pcSource;
        EXPECT_EQ(MatchCalls("PLUG_HERON.so"), stCase.iHeronCalls) << stCase.pcSource;
        EXPECT_EQ(MatchCalls("PLUG_OSPREY.so"), stCase.iOspreyCalls) << stCase.pcSource;
        // No match leaves the previous active plug-in as it was.
        EXPECT_EQ(ActivePluginFileName(), stCase.pcActive ? stCase.pcActive : strBefore)
            << stCase.pcSource;
    }
    MatchPlugin("/iso/win10.iso", nullptr);
    ASSERT_NE(ActivePlugin(), nullptr);
    std::string strType;
    ActivePlugin()->pfnGetOSType(&strType);
    EXPECT_EQ(strType, "win10");
    EXPECT_EQ(ActivePluginEntry()->stApi.pfnIsISOMatch, ActivePlugin()->pfnIsISOMatch);
}

TEST_F(PluginHostTest, OnlyTheGenericPluginAndAWindowsSource)
{
    Install(TEST_PLUGIN_GENERIC, "PLUG_HERON.so");
    ASSERT_EQ(LoadPlugins(), 1);
    EXPECT_EQ(MatchPlugin("/iso/windows_server.iso", nullptr), 0);
    EXPECT_EQ(MatchCalls("PLUG_HERON.so"), 1);
}

TEST_F(PluginHostTest, OsTypeTableAndExtraBootOptions)
{
    ASSERT_TRUE(LoadOsTypeTable(std::string(KIV_SOURCE_DIR) + "/data/conf/os_type.json"));
    EXPECT_EQ(OsTypeOfName("CentOS 7.6 x86_64"), "centos");
    EXPECT_EQ(OsTypeOfName("Red Hat Enterprise Linux 8"), "redhat");
    EXPECT_EQ(OsTypeOfName("Plan 9"), "unknown");
    WriteFile(m_stDir / "bad.json", "{\"key\": \"X\"}");
    EXPECT_FALSE(LoadOsTypeTable(m_stDir / "bad.json"));
    EXPECT_EQ(OsTypeOfName("CentOS 7"), "unknown");

    const std::vector<ExtBootOption> vecOptions = {
        {"CentOS 7", true, "  nomodeset \r\n", "\tinst.text "},
        {"Ubuntu", false, "quiet", "quiet"},
        {"Debian", true, "   ", ""},
    };
    struct Case {
        const char *pcOs;
        bool bUefi;
        const char *pcResult;
    };
    const Case astCases[] = {
        {"CentOS 7", false, "nomodeset"}, {"CentOS 7", true, "inst.text"}, {"Ubuntu", false, " "},
        {"Debian", false, " "},           {"Debian", true, " "},           {"Fedora", true, " "},
    };
    for (const Case &stCase : astCases) {
        EXPECT_EQ(ExtBootOptionFor(vecOptions, stCase.pcOs, stCase.bUefi), stCase.pcResult)
            << stCase.pcOs << stCase.bUefi;
    }
}

}  // namespace
