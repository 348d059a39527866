#include "qv_file.h"
#include "qv_log_sink.h"
#include "qv_text.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include <string>
#include <vector>

namespace {

std::vector<std::pair<int, std::string>> g_lines;

void RecordSink(int iModule, const char *pcFormat, ...)
{
    va_list args;
    va_start(args, pcFormat);
    const char *pcText = va_arg(args, const char *);
    va_end(args);
    EXPECT_STREQ("%s", pcFormat);
    g_lines.emplace_back(iModule, pcText);
}

TEST(QvLogSinks, LevelsRouteToTheirSinkAndHigherLevelsDrop)
{
    g_lines.clear();
    QV_LogSinks stSinks;
    stSinks.astSink[0] = {RecordSink, 4};
    stSinks.astSink[1] = {RecordSink, 5};
    // No DBG sink installed: level 0 lines are dropped.
    QV_LogSinksEmit(stSinks, 2, "log %d", 1);
    QV_LogSinksEmit(stSinks, 1, "dig %s", "x");
    QV_LogSinksEmit(stSinks, 0, "dbg");
    QV_LogSinksEmit(stSinks, 3, "too high");
    ASSERT_EQ(2u, g_lines.size());
    EXPECT_EQ(std::make_pair(4, std::string("log 1")), g_lines[0]);
    EXPECT_EQ(std::make_pair(5, std::string("dig x")), g_lines[1]);
}

TEST(QvLogSinks, LongTextIsCutAt2047Bytes)
{
    g_lines.clear();
    QV_LogSinks stSinks;
    stSinks.astSink[0] = {RecordSink, 1};
    QV_LogSinksEmit(stSinks, 2, "%s", std::string(5000, 'a').c_str());
    ASSERT_EQ(1u, g_lines.size());
    EXPECT_EQ(2047u, g_lines[0].second.size());
}

TEST(QvText, IpAndMacForms)
{
    EXPECT_EQ("192.168.1.100", QV_IpText(0xC0A80164));
    uint32_t uiIp = 0;
    ASSERT_TRUE(QV_IpParse("10.1.2.100", &uiIp));
    EXPECT_EQ(0x0A010264u, uiIp);
    EXPECT_FALSE(QV_IpParse("10.1.2", &uiIp));
    EXPECT_FALSE(QV_IpParse(nullptr, &uiIp));
    const uint8_t aucMac[6] = {0x52, 0x54, 0x00, 0xAB, 0xcd, 0x01};
    EXPECT_EQ("52-54-00-ab-cd-01", QV_MacText(aucMac));
}

TEST(QvText, IpValidTakesOnlyFourDottedBytes)
{
    const std::pair<const char *, bool> astCases[] = {
        {"1.2.3.4", 1},   {"0.0.0.0", 1},    {"255.255.255.255", 1}, {"010.001.2.3", 1},
        {"256.1.1.1", 0}, {"1.2.3.256", 0},  {"1.2.3", 0},           {"1.2.3.4.5", 0},
        {"1x2x3x4", 0},   {"1.2.3.4 ", 0},   {" 1.2.3.4", 0},        {"", 0},
        {"1.2.3.-4", 0},  {"1234.1.1.1", 0}, {"a.b.c.d", 0},         {"1..2.3", 0},
    };
    for (auto [pcText, iValid] : astCases) {
        EXPECT_EQ(QV_IpValid(pcText), iValid) << pcText;
    }
    EXPECT_FALSE(QV_IpValid(nullptr));
}

}  // namespace

// A save replaces the file whole and leaves no temporary file; a save that cannot be made leaves
// the old file untouched; stale temporary files of the save helper are removed, nothing else.
TEST(QvFile, SaveReplacesWholeAndStaleTemporaryFilesGo)
{
    namespace fs = std::filesystem;
    fs::path stDir = fs::temp_directory_path() / ("qv_file_test_" + std::to_string(getpid()));
    fs::create_directories(stDir);
    std::string strFile = (stDir / "orv.json").string();
    ASSERT_TRUE(QV_SaveFile(strFile, "old"));
    ASSERT_TRUE(QV_SaveFile(strFile, "new content"));
    std::ifstream stIn(strFile);
    std::string strRead((std::istreambuf_iterator<char>(stIn)), std::istreambuf_iterator<char>());
    EXPECT_EQ(strRead, "new content");
    EXPECT_FALSE(QV_SaveFile((stDir / "missing" / "x.json").string(), "x"));

    for (const char *pcName :
         {"orv.json.tmp.123", "dhcp_db.json.tmp.9", "a.tmp", "b.tmp.12a", "c.tmp.", ".tmp.5"}) {
        std::ofstream((stDir / pcName).string()) << "x";
    }
    EXPECT_EQ(QV_RemoveStaleSaves(stDir.string()), 2u);
    std::set<std::string> setLeft;
    for (const auto &stEntry : fs::directory_iterator(stDir)) {
        setLeft.insert(stEntry.path().filename().string());
    }
    EXPECT_EQ(setLeft,
              (std::set<std::string>{"orv.json", "a.tmp", "b.tmp.12a", "c.tmp.", ".tmp.5"}));
    fs::remove_all(stDir);
}

TEST(QvText, PrintableEscapesControlBytesAndInvalidUtf8)
{
    struct Case {
        std::string strIn, strOut;
    } astCases[] = {
        {"plain/path.cfg", "plain/path.cfg"},
        {"x\nCLIENT 1 Install Finished", "x\\x0aCLIENT 1 Install Finished"},
        {"a\rb\tc\x1b[2Jd\x7f", "a\\x0db\\x09c\\x1b[2Jd\\x7f"},
        {std::string("nul\0x", 5), "nul\\x00x"},
        {"\\Boot\\BCD", "\\Boot\\BCD"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xff\xfe", "\\xff\\xfe"},
        {"\xc3\x28", "\\xc3("},
        {"\xc0\xaf", "\\xc0\\xaf"},           // overlong "/"
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},  // surrogate
        {"\xc2\x85", "\\xc2\\x85"},           // C1 control (NEL)
        {"\xe2\x82", "\\xe2\\x82"},           // cut sequence
    };
    for (const Case &stCase : astCases) {
        EXPECT_EQ(QV_Printable(stCase.strIn), stCase.strOut) << stCase.strOut;
    }
}

TEST(QvText, RandomTextUsesTheAlphabetAndDiffers)
{
    std::string strFirst = QV_RandomText("ab", 64);
    ASSERT_EQ(strFirst.size(), 64u);
    EXPECT_EQ(strFirst.find_first_not_of("ab"), std::string::npos);
    EXPECT_NE(strFirst, QV_RandomText("ab", 64));
    EXPECT_EQ(QV_RandomText("ab", 257), "");
    EXPECT_EQ(QV_RandomText("", 4), "");
}
