#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "core/answer_file.h"
#include "core/http_get.h"
#include "temp_dir.h"

namespace ferrit {
namespace {

std::string Fixture(const char *name)
{
    std::ifstream in(std::string(KIV_SOURCE_DIR) + "/agent/tests/fixtures/" + name,
                     std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int Count(const std::string &text, const std::string &part)
{
    int n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(FilterFirmwareSections, KeepsOnlyTheBootedFirmwaresSections)
{
    test::TempDir dir;
    dir.Write("unattended_temp.xml", Fixture("unattend_auto.xml"));
    FilterFirmwareSections("unattended_temp.xml", "unattended.xml", true);
    std::string uefi = dir.Read("unattended.xml");
    EXPECT_EQ(Count(uefi, "KIV_LABEL"), 0);
    EXPECT_EQ(Count(uefi, "<Type>EFI</Type>"), 1);
    EXPECT_EQ(Count(uefi, "<PartitionID>3</PartitionID>"), 1);
    EXPECT_EQ(Count(uefi, "<PartitionID>1</PartitionID>"), 0);
    EXPECT_EQ(Count(uefi, "</unattend>"), 1);

    FilterFirmwareSections("unattended_temp.xml", "unattended.xml", false);
    std::string bios = dir.Read("unattended.xml");
    EXPECT_EQ(Count(bios, "KIV_LABEL"), 0);
    EXPECT_EQ(Count(bios, "<Type>EFI</Type>"), 0);
    EXPECT_EQ(Count(bios, "<PartitionID>1</PartitionID>"), 1);
    EXPECT_EQ(Count(bios, "<CreatePartition "), 1);

    // an unclosed dropped section drops the rest; a missing download gives an empty file
    dir.Write("unattended_temp.xml", "a\n<KIV_LABEL_UEFI>\nb\n</unattend>\n");
    FilterFirmwareSections("unattended_temp.xml", "unattended.xml", false);
    EXPECT_EQ(dir.Read("unattended.xml"), "a\n");
    std::filesystem::remove(dir.path() / "unattended_temp.xml");
    FilterFirmwareSections("unattended_temp.xml", "unattended.xml", false);
    EXPECT_EQ(dir.Read("unattended.xml"), "");
}

TEST(AnswerFileMarkers, InstallTypeLanguageAndHttpDiskUrl)
{
    test::TempDir dir;
    dir.Write("auto.xml", Fixture("unattend_auto.xml"));
    dir.Write("manual.xml", Fixture("unattend_manual.xml"));
    EXPECT_FALSE(IsManualInstall("auto.xml"));
    EXPECT_TRUE(IsManualInstall("manual.xml"));
    EXPECT_FALSE(IsManualInstall("absent.xml"));

    std::string url;
    ASSERT_EQ(ReadHttpDiskUrl("auto.xml", url), 0);
    EXPECT_EQ(url, "http://192.168.1.1:8810/ISO1/_RAWISO_.iso");
    dir.Write("long.xml", "<!-- HTTPDISKURL=http://h/" + std::string(400, 'x') + " -->\n");
    ASSERT_EQ(ReadHttpDiskUrl("long.xml", url), 0);
    EXPECT_EQ(url.size(), 255u);
    EXPECT_EQ(ReadHttpDiskUrl("absent.xml", url), 1);

    AdjustLanguage("auto.xml", true);
    std::string zh = dir.Read("auto.xml");
    EXPECT_NE(zh.find("<UserLocale>zh-CN; en-US</UserLocale>"),
              std::string::npos);  // first per line only
    EXPECT_EQ(Count(zh, "en-US"), 1);
    AdjustLanguage("manual.xml", false);
    EXPECT_NE(dir.Read("manual.xml").find("<UserLocale>en-US; zh-CN</UserLocale>"),
              std::string::npos);
}

TEST(FirstRunBatch, Unix2Dos)
{
    test::TempDir dir;
    dir.Write("TmpFirstRun.bat", "@echo off\nwget.exe http://x/y -O z\r\nexit\n");
    ASSERT_TRUE(Unix2Dos("TmpFirstRun.bat", "FirstRun.bat"));
    EXPECT_EQ(dir.Read("FirstRun.bat"), "@echo off\r\nwget.exe http://x/y -O z\r\nexit\r\n");
    EXPECT_FALSE(Unix2Dos("absent.bat", "FirstRun2.bat"));
}

TEST(HttpReply, BodyEndsAtTheUnattendTag)
{
    EXPECT_EQ(HttpReplyBody(
                  "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n<unattend/></unattend>trailing\r\n"),
              "<unattend/></unattend>");
    EXPECT_EQ(HttpReplyBody("HTTP/1.1 200 OK\r\n\r\nline1\nline2\n"), "line1\nline2\n");
    EXPECT_EQ(HttpReplyBody("HTTP/1.1 200 OK\r\nno end of head"), "");
    EXPECT_EQ(
        HttpRequestText("/a b"),
        "GET /a b HTTP/1.1\r\nAccept:text/html,application/xhtml+xml,image/webp,*/*;q=0.8\r\n\r\n");
}

}  // namespace
}  // namespace ferrit
