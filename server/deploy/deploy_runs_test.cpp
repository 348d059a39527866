#include "deploy_runs.h"

#include <gtest/gtest.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <unistd.h>

#include <string>

#include "msg_table.h"

namespace {

class DeployRuns : public ::testing::Test {
protected:
    void SetUp() override
    {
        char szTemplate[] = "/tmp/kiv-runs-XXXXXX";
        m_strDir = g_mkdtemp(szTemplate);
        getcwd(m_szOld, sizeof(m_szOld));
        ASSERT_EQ(chdir(m_strDir.c_str()), 0);
        MSG_SetChinese(false);
        RUNS_Reset();
    }
    void TearDown() override
    {
        RUNS_Reset();
        ASSERT_EQ(chdir(m_szOld), 0);
        std::string strCmd = "rm -rf '" + m_strDir + "'";
        ASSERT_EQ(system(strCmd.c_str()), 0);
    }
    std::string m_strDir;
    char m_szOld[4096] = {};
};

ClientRow Row(const std::string &strAddress, const std::string &strMac,
              const std::string &strStatus)
{
    ClientRow stRow;
    stRow.strAddress = strAddress;
    stRow.strMac = strMac;
    stRow.strStatus = strStatus;
    return stRow;
}

// A run is kept with its counts and rows, survives a restart (read back from the file), and its
// CSV quotes a status holding a comma or quote.
TEST_F(DeployRuns, KeptReadBackAndExported)
{
    RUNS_Started("/srv/iso/debian,12.iso", "Debian 12");
    ASSERT_TRUE(RUNS_Stopped(
        {Row("10.0.0.5", "52-54-00-00-00-01", "Install Finished(time: 4m2s)"),
         Row("10.0.0.6", "52-54-00-00-00-02", "Failed to download file: (HTTP) /a \"b\",c"),
         Row("10.0.0.7", "N/A", "Installing OS ...")}));
    RUNS_Reset();
    const Json::Value &stRuns = RUNS_All();
    ASSERT_EQ(stRuns.size(), 1u);
    EXPECT_EQ(stRuns[0]["source"].asString(), "/srv/iso/debian,12.iso");
    EXPECT_EQ(stRuns[0]["os"].asString(), "Debian 12");
    EXPECT_EQ(stRuns[0]["finished"].asUInt(), 1u);
    EXPECT_EQ(stRuns[0]["failed"].asUInt(), 1u);
    EXPECT_EQ(stRuns[0]["clients"].asUInt(), 3u);
    EXPECT_FALSE(stRuns[0]["start"].asString().empty());
    EXPECT_FALSE(stRuns[0]["stop"].asString().empty());
    EXPECT_EQ(
        RUNS_Csv(0),
        "ip,mac,phase,status\r\n"
        "10.0.0.5,52-54-00-00-00-01,finished,Install Finished(time: 4m2s)\r\n"
        "10.0.0.6,52-54-00-00-00-02,failed,\"Failed to download file: (HTTP) /a \"\"b\"\",c\"\r\n"
        "10.0.0.7,N/A,installing,Installing OS ...\r\n");
    EXPECT_EQ(RUNS_Csv(1), "");
    EXPECT_EQ(RUNS_Csv(-1), "");
}

// Only the last 100 runs stay; a stop without a start adds nothing; a damaged file starts anew
// instead of failing every stop.
TEST_F(DeployRuns, BoundedAndRobust)
{
    EXPECT_TRUE(RUNS_Stopped({}));
    EXPECT_EQ(RUNS_All().size(), 0u);
    for (int i = 0; i < 105; ++i) {
        RUNS_Started("/srv/" + std::to_string(i), "OS");
        ASSERT_TRUE(RUNS_Stopped({}));
    }
    RUNS_Reset();
    ASSERT_EQ(RUNS_All().size(), DEPLOY_RUNS_MAX);
    EXPECT_EQ(RUNS_All()[0]["source"].asString(), "/srv/5");
    EXPECT_EQ(RUNS_All()[99]["source"].asString(), "/srv/104");

    ASSERT_TRUE(g_file_set_contents("conf/history.json", "{not json", -1, nullptr));
    RUNS_Reset();
    EXPECT_EQ(RUNS_All().size(), 0u);
    EXPECT_TRUE(g_file_test("conf/history.json.damaged", G_FILE_TEST_EXISTS));
    RUNS_Started("/srv/new", "OS");
    ASSERT_TRUE(RUNS_Stopped({}));
    RUNS_Reset();
    EXPECT_EQ(RUNS_All().size(), 1u);
}

}  // namespace
