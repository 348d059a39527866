#include "log.h"

#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <thread>
#include <vector>

#include "qv_log_sink.h"
#include "test_support.h"

namespace {

class LogTest : public testing::Test {
protected:
    void SetUp() override
    {
        LOG_SetEnabled(true);
        LOG_SetFile(m_stDir / "current.log");
        LOG_Flush();  // lines left by an earlier test go to this file and are cleared below
        WriteFile(m_stDir / "current.log", "");
        LOG_SetLevel(2);
        LOG_SetCacheCount(1);
    }
    std::string Text() const { return ReadFile(m_stDir / "current.log"); }
    TempDir m_stDir;
};

TEST_F(LogTest, LineFormat)
{
    LOG_Print(0, "ORV", "hello %d", 5);
    LOG_PrintKind(1, "%s", "lease");
    static const std::regex reLine(
        R"(%(\d+)( +)(\d{4})/(\d\d)/(\d\d) (\d\d):(\d\d):(\d\d)\.(\d{3}) \[([A-Z_]*)\] (.*) )");
    std::istringstream stIn(Text());
    std::string strLine;
    std::vector<std::smatch> vecMatches;
    std::vector<std::string> vecLines;
    while (std::getline(stIn, strLine)) {
        vecLines.push_back(strLine);
    }
    ASSERT_EQ(vecLines.size(), 2U);
    EXPECT_EQ(Text().back(), '\n');
    unsigned auiNumber[2];
    const char *apcName[] = {"ORV", "DHCP_LOG"};
    const char *apcMessage[] = {"hello 5", "lease"};
    time_t lNow = time(nullptr);
    tm stNow{};
    localtime_r(&lNow, &stNow);
    for (int i = 0; i < 2; ++i) {
        std::smatch stMatch;
        ASSERT_TRUE(std::regex_match(vecLines[i], stMatch, reLine)) << vecLines[i];
        auiNumber[i] = std::stoul(stMatch[1]);
        // The number is left-aligned in three columns, then one blank.
        EXPECT_EQ(stMatch[1].length() + stMatch[2].length(),
                  std::max<size_t>(3, stMatch[1].length()) + 1);
        EXPECT_EQ(std::stoi(stMatch[3]), stNow.tm_year + 1900);
        EXPECT_EQ(stMatch[10], apcName[i]);
        EXPECT_EQ(stMatch[11], apcMessage[i]);
    }
    EXPECT_EQ(auiNumber[1], auiNumber[0] + 1);
}

TEST_F(LogTest, CategoryFilterPerLevel)
{
    // Rows: global level 0, 1, 2. Columns: categories 0..9.
    const bool abPasses[3][10] = {
        {false, true, false, false, true, false, false, true, false, false},
        {true, true, true, false, true, true, false, true, true, false},
        {true, true, true, true, true, true, true, true, true, true},
    };
    for (int iLevel = 0; iLevel < 3; ++iLevel) {
        LOG_SetLevel(iLevel);
        for (int iCategory = 0; iCategory < 10; ++iCategory) {
            WriteFile(m_stDir / "current.log", "");
            LOG_PrintKind(iCategory, "%s", "x");
            std::string strWanted = std::string("[") + LOG_CategoryName(iCategory) + "] x \n";
            bool bFound = Text().find(strWanted) != std::string::npos;
            EXPECT_EQ(bFound, abPasses[iLevel][iCategory])
                << "level " << iLevel << " category " << iCategory;
        }
    }
    WriteFile(m_stDir / "current.log", "");
    LOG_PrintKind(10, "%s", "out of range");
    LOG_PrintKind(-1, "%s", "out of range");
    EXPECT_EQ(Text(), "");
}

TEST_F(LogTest, ServesAsServiceSink)
{
    // TFTP's sinks: its level 2 goes to TFTP_LOG, 1 to TFTP_DIG, 0 to TFTP_DBG.
    QV_LogSinks stSinks;
    for (int i = 0; i < 3; ++i) {
        stSinks.astSink[i] = {LOG_PrintKind, 4 + i};
    }
    LOG_SetLevel(1);
    QV_LogSinksEmit(stSinks, 2, "sent %d blocks", 7);
    QV_LogSinksEmit(stSinks, 1, "retry %s", "x");
    QV_LogSinksEmit(stSinks, 0, "packet dump");
    std::string strText = Text();
    EXPECT_NE(strText.find("[TFTP_LOG] sent 7 blocks \n"), std::string::npos);
    EXPECT_NE(strText.find("[TFTP_DIG] retry x \n"), std::string::npos);
    EXPECT_EQ(strText.find("TFTP_DBG"), std::string::npos);
}

TEST_F(LogTest, PrintLevelAgainstGlobalLevel)
{
    for (int iGlobal = 0; iGlobal < 3; ++iGlobal) {
        LOG_SetLevel(iGlobal);
        for (unsigned uiLevel = 0; uiLevel < 3; ++uiLevel) {
            WriteFile(m_stDir / "current.log", "");
            LOG_Print(uiLevel, "PXEDLG", "m");
            EXPECT_EQ(!Text().empty(), uiLevel <= static_cast<unsigned>(iGlobal))
                << "global " << iGlobal << " line " << uiLevel;
        }
    }
}

TEST_F(LogTest, LongMessagesAreCut)
{
    std::string strLong(10000, 'a');
    LOG_Print(0, "M", "%s", strLong.c_str());
    LOG_PrintKind(1, "%s", strLong.c_str());
    std::string strText = Text();
    EXPECT_NE(strText.find("[M] " + std::string(8191, 'a') + " \n"), std::string::npos);
    EXPECT_NE(strText.find("[DHCP_LOG] " + std::string(2047, 'a') + " \n"), std::string::npos);
}

TEST_F(LogTest, CacheCountBatchesWrites)
{
    LOG_SetCacheCount(10);
    for (int i = 0; i < 9; ++i) {
        LOG_Print(0, "M", "line %d", i);
    }
    EXPECT_EQ(Text(), "");
    EXPECT_EQ(LOG_GetPendingCount(), 9U);
    LOG_Print(0, "M", "line 9");
    EXPECT_EQ(LOG_GetPendingCount(), 0U);
    std::string strText = Text();
    EXPECT_EQ(std::count(strText.begin(), strText.end(), '\n'), 10);
    EXPECT_LT(strText.find("line 0"), strText.find("line 9"));
}

TEST_F(LogTest, UnwritableFileKeepsLinesPending)
{
    LOG_SetFile(m_stDir / "missing-dir/x.log");
    LOG_Print(0, "M", "first");
    LOG_Print(0, "M", "second");
    EXPECT_EQ(LOG_GetPendingCount(), 2U);
    LOG_SetFile(m_stDir / "current.log");
    LOG_Flush();
    EXPECT_EQ(LOG_GetPendingCount(), 0U);
    std::string strText = Text();
    ASSERT_NE(strText.find("first"), std::string::npos);
    EXPECT_LT(strText.find("first"), strText.find("second"));
}

TEST_F(LogTest, DisabledLogRecordsNothingAndKeepsPending)
{
    LOG_SetCacheCount(5);
    LOG_Print(0, "M", "before");
    LOG_SetEnabled(false);
    LOG_Print(0, "M", "while off");
    LOG_Flush();
    EXPECT_EQ(Text(), "");
    EXPECT_EQ(LOG_GetPendingCount(), 1U);
    LOG_SetEnabled(true);
    LOG_Flush();
    EXPECT_NE(Text().find("before"), std::string::npos);
    EXPECT_EQ(Text().find("while off"), std::string::npos);
}

TEST_F(LogTest, ConcurrentLinesAreNumberedInOrder)
{
    LOG_SetCacheCount(7);
    std::vector<std::thread> vecThreads;
    for (int t = 0; t < 4; ++t) {
        vecThreads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                LOG_PrintKind(1 + 3 * (t % 3), "thread %d line %d", t, i);
            }
        });
    }
    for (std::thread &stThread : vecThreads) {
        stThread.join();
    }
    LOG_Flush();
    std::istringstream stIn(Text());
    std::string strLine;
    long lPrevious = -1;
    int iLines = 0;
    while (std::getline(stIn, strLine)) {
        long lNumber = std::stol(strLine.substr(1));
        if (lPrevious >= 0) {
            EXPECT_EQ(lNumber, lPrevious + 1);
        }
        EXPECT_EQ(strLine.back(), ' ');
        lPrevious = lNumber;
        ++iLines;
    }
    EXPECT_EQ(iLines, 800);
}

TEST_F(LogTest, DeleteHistoryKeepsCurrentFile)
{
    TempDir stData;
    std::filesystem::create_directories(stData / "log/folder.log");
    for (const char *pcName :
         {"20261209_010203.log", "20261210_000000.log", "current.log", "notes.txt"}) {
        WriteFile(stData / (std::string("log/") + pcName), "x");
    }
    LOG_SetFile(stData / "log/current.log");
    EXPECT_EQ(LOG_DeleteHistory(stData.Path().string()), 2U);
    EXPECT_TRUE(std::filesystem::exists(stData / "log/current.log"));
    EXPECT_TRUE(std::filesystem::exists(stData / "log/notes.txt"));
    EXPECT_TRUE(std::filesystem::is_directory(stData / "log/folder.log"));
    EXPECT_FALSE(std::filesystem::exists(stData / "log/20261210_000000.log"));
    LOG_SetFile(m_stDir / "current.log");
}

TEST(LogName, DefaultFileNameCarriesTheStartTime)
{
    EXPECT_TRUE(std::regex_match(LOG_DefaultFileName("/srv/kiv"),
                                 std::regex(R"(/srv/kiv/log/20\d{6}_\d{6}\.log)")))
        << LOG_DefaultFileName("/srv/kiv");
}

}  // namespace
