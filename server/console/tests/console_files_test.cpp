// The file chooser's listings: directories first, files filtered by suffix in any case, a path
// that is no directory answered with an error; OS pictures only by plain type names.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "console_files.h"

namespace fs = std::filesystem;

TEST(ConsoleFiles, ListingFiltersAndSorts)
{
    fs::path stDir = fs::temp_directory_path() / ("kiv-files-" + std::to_string(getpid()));
    fs::create_directories(stDir / "zdir");
    fs::create_directories(stDir / "adir");
    for (const char *pcName : {"b.ISO", "a.iso", "notes.txt"}) {
        std::ofstream(stDir / pcName) << "x";
    }
    Json::Value stList = CONSOLE_ListDirectory(stDir.string() + "/adir/..", false, ".iso");
    ASSERT_FALSE(stList.isMember("error"));
    EXPECT_EQ(stList["path"].asString(), stDir.string());
    EXPECT_EQ(stList["parent"].asString(), stDir.parent_path().string());
    std::vector<std::string> vecNames;
    for (const Json::Value &stEntry : stList["entries"]) {
        vecNames.push_back(stEntry["name"].asString() + (stEntry["dir"].asBool() ? "/" : ""));
    }
    EXPECT_EQ(vecNames, (std::vector<std::string>{"adir/", "zdir/", "a.iso", "b.ISO"}));
    EXPECT_EQ(CONSOLE_ListDirectory(stDir.string(), true, "")["entries"].size(), 2u);
    EXPECT_EQ(CONSOLE_ListDirectory(stDir.string(), false, "")["entries"].size(), 5u);
    EXPECT_TRUE(CONSOLE_ListDirectory((stDir / "a.iso").string(), false, "").isMember("error"));
    EXPECT_TRUE(CONSOLE_ListDirectory((stDir / "missing").string(), false, "").isMember("error"));
    fs::remove_all(stDir);
}

TEST(ConsoleFiles, PictureTypesArePlainNames)
{
    std::string strData;
    for (const char *pcType : {"", "../conf/orv", "a/b", "x.png", "linux\n"}) {
        EXPECT_FALSE(CONSOLE_ReadOsPicture(pcType, &strData)) << pcType;
    }
}
