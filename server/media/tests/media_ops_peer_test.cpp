// WIM access against wimlib-imagex, and ISO extraction of xorriso and UDF images.
#include <gtest/gtest.h>

#include <glib.h>
#include <wimlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "iso_detect.h"
#include "iso_extract.h"
#include "temp_dir.h"
#include "wim_access.h"

namespace fs = std::filesystem;

namespace {

bool Have(const char *pcTool)
{
    return std::system((std::string("command -v ") + pcTool + " >/dev/null").c_str()) == 0;
}

void Write(const std::string &strPath, const std::string &strText)
{
    fs::create_directories(fs::path(strPath).parent_path());
    std::ofstream(strPath, std::ios::binary) << strText;
}

std::string Read(const std::string &strPath)
{
    std::ifstream stIn(strPath, std::ios::binary);
    std::ostringstream stText;
    stText << stIn.rdbuf();
    return stText.str();
}

int Shell(const std::string &strCommand)
{
    return std::system((strCommand + " >/dev/null 2>&1").c_str());
}

// The names in strDir that are temporary siblings of an extraction.
std::vector<std::string> PartialTrees(const std::string &strDir)
{
    std::vector<std::string> vecNames;
    for (const auto &stEntry : fs::directory_iterator(strDir)) {
        std::string strName = stEntry.path().filename();
        if (strName.find(".partial-") != std::string::npos) {
            vecNames.push_back(strName);
        }
    }
    return vecNames;
}

TEST(WimAccess, ImageNamesAndFilesAddedToImageTwo)
{
    if (!Have("wimlib-imagex")) {
        GTEST_SKIP() << "wimlib-imagex (wimtools) is not installed";
    }
    TempDir stDir;
    Write(stDir.Path("a/readme.txt"), "image a");
    std::string strWim = stDir.Path("boot.wim");
    ASSERT_EQ(Shell("wimlib-imagex capture " + stDir.Path("a") + " " + strWim + " A"), 0);
    ASSERT_EQ(Shell("wimlib-imagex append " + stDir.Path("a") + " " + strWim + " B"), 0);
    ASSERT_EQ(Shell("wimlib-imagex append " + stDir.Path("a") + " " + strWim + " C"), 0);
    std::vector<std::string> vecNames = {"stale"};
    EXPECT_EQ(GetWimImageNames(strWim.c_str(), &vecNames), 0);
    EXPECT_EQ(vecNames, (std::vector<std::string>{"A", "B", "C"}));

    Write(stDir.Path("agent/FERRIT_64.exe"), "agent binary");
    Write(stDir.Path("agent/Ferrit.json"), "{\"server\": \"10.0.0.1\"}");
    const WimAddPair astPairs[] = {
        {stDir.Path("agent/FERRIT_64.exe"), "/Windows/System32/FERRIT_64.exe"},
        {stDir.Path("agent/Ferrit.json"), "/Ferrit.json"},
    };
    ASSERT_EQ(AddFilesToWim(strWim.c_str(), astPairs, 2), 0);
    ASSERT_EQ(
        Shell("wimlib-imagex extract " + strWim +
              " 2 /Windows/System32/FERRIT_64.exe /Ferrit.json --dest-dir=" + stDir.Path("out")),
        0);
    EXPECT_EQ(Read(stDir.Path("out/FERRIT_64.exe")), "agent binary");
    EXPECT_EQ(Read(stDir.Path("out/Ferrit.json")), "{\"server\": \"10.0.0.1\"}");
    // Images 1 and 3 are untouched.
    FILE *pstList = popen(("wimlib-imagex dir " + strWim + " 1").c_str(), "r");
    ASSERT_NE(pstList, nullptr);
    char szLine[512];
    std::string strListing;
    while (fgets(szLine, sizeof(szLine), pstList) != nullptr) {
        strListing += szLine;
    }
    pclose(pstList);
    EXPECT_NE(strListing.find("/readme.txt"), std::string::npos);
    EXPECT_EQ(strListing.find("FERRIT"), std::string::npos);

    // A single-image WIM has no image 2; a missing file is wimlib's open error.
    std::string strSingle = stDir.Path("single.wim");
    ASSERT_EQ(Shell("wimlib-imagex capture " + stDir.Path("a") + " " + strSingle + " Only"), 0);
    EXPECT_EQ(AddFilesToWim(strSingle.c_str(), astPairs, 2), WIMLIB_ERR_INVALID_IMAGE);
    EXPECT_EQ(GetWimImageNames(strSingle.c_str(), &vecNames), 0);
    EXPECT_EQ(vecNames, std::vector<std::string>{"Only"});
    EXPECT_EQ(GetWimImageNames(stDir.Path("gone.wim").c_str(), &vecNames), WIMLIB_ERR_OPEN);
    EXPECT_TRUE(vecNames.empty());
}

// Collects a job's events; the test's callback may cancel the job at a given file.
struct Recorder {
    std::mutex mtx;
    std::vector<IsoExtractEvent> vecEvents;
    void Add(const IsoExtractEvent &stEvent)
    {
        std::lock_guard<std::mutex> stLock(mtx);
        vecEvents.push_back(stEvent);
    }
};

TEST(IsoExtract, RefusalsAndTheProposedDestination)
{
    TempDir stDir;
    EXPECT_EQ(IsoExtractDefaultDestination("/srv/iso/win10.iso"), "/srv/iso/win10");
    EXPECT_EQ(IsoExtractDefaultDestination(".iso"), "");
    Write(stDir.Path("not.iso"), std::string(40000, 'x'));
    IsoExtractJob stJob;
    EXPECT_EQ(stJob.Start("", stDir.Path("out"), nullptr), 15);
    EXPECT_EQ(stJob.Start(stDir.Path("not.iso"), "", nullptr), 15);
    EXPECT_EQ(stJob.Start(stDir.Path("not.iso"), stDir.Path("out"), nullptr), 18);
    EXPECT_EQ(stJob.Status(), IsoExtractStatus::Idle);
}

TEST(IsoExtract, ReaderProgressAndCancel)
{
    if (!Have("xorriso")) {
        GTEST_SKIP() << "xorriso is not installed";
    }
    TempDir stDir;
    for (int i = 0; i < 10; ++i) {
        Write(stDir.Path("tree/dir" + std::to_string(i % 3) + "/file" + std::to_string(i) + ".txt"),
              std::string(3000 + i, 'a' + i));
    }
    std::string strIso = stDir.Path("linux.iso");
    ASSERT_EQ(Shell("xorriso -as mkisofs -R -o " + strIso + " " + stDir.Path("tree")), 0);
    ASSERT_EQ(Shell("mkdir " + stDir.Path("blocked") + " && touch " + stDir.Path("blocked/x")), 0);
    EXPECT_EQ(IsoExtractJob().Start(strIso, stDir.Path("blocked/x/out"), nullptr), 10);

    // An existing destination keeps what the image does not hold; what it does hold is replaced.
    Write(stDir.Path("full/keep.txt"), "operator's");
    Write(stDir.Path("full/dir1/file4.txt"), "old");
    Recorder stAll;
    IsoExtractJob stJob;
    ASSERT_EQ(stJob.Start(strIso, stDir.Path("full") + "/",
                          [&](const IsoExtractEvent &stEvent) { stAll.Add(stEvent); }),
              0);
    EXPECT_EQ(stJob.Wait(), IsoExtractStatus::Finished);
    EXPECT_EQ(stJob.Destination(), stDir.Path("full"));
    ASSERT_EQ(stAll.vecEvents.size(), 11U);
    for (uint32_t i = 0; i < 10; ++i) {
        EXPECT_EQ(stAll.vecEvents[i].uiDone, i + 1);
        EXPECT_EQ(stAll.vecEvents[i].uiTotal, 10U);
        EXPECT_EQ(stAll.vecEvents[i].strFileName.rfind("file", 0), 0U)
            << stAll.vecEvents[i].strFileName;
    }
    EXPECT_TRUE(stAll.vecEvents.back().bDone);
    EXPECT_EQ(stAll.vecEvents.back().eStatus, IsoExtractStatus::Finished);
    EXPECT_EQ(Read(stDir.Path("full/dir1/file4.txt")), std::string(3004, 'e'));
    EXPECT_EQ(Read(stDir.Path("full/keep.txt")), "operator's");

    // Held at the fourth file: a second start is refused while the worker runs; then cancelled,
    // the rest never comes and what came out is removed: no tree is left to be taken for the
    // source.
    Recorder stPart;
    IsoExtractJob stCancelled;
    std::mutex mtxHold;
    std::condition_variable cvHold;
    bool bHeld = false;
    bool bRelease = false;
    ASSERT_EQ(stCancelled.Start(strIso, stDir.Path("part"),
                                [&](const IsoExtractEvent &stEvent) {
                                    stPart.Add(stEvent);
                                    if (stEvent.uiDone == 4) {
                                        std::unique_lock<std::mutex> stLock(mtxHold);
                                        bHeld = true;
                                        cvHold.notify_all();
                                        cvHold.wait(stLock, [&] { return bRelease; });
                                    }
                                }),
              0);
    {
        std::unique_lock<std::mutex> stLock(mtxHold);
        cvHold.wait(stLock, [&] { return bHeld; });
        EXPECT_EQ(stCancelled.Start(strIso, stDir.Path("other"), nullptr), 13);
        stCancelled.Cancel();
        bRelease = true;
        cvHold.notify_all();
    }
    EXPECT_EQ(stCancelled.Wait(), IsoExtractStatus::Cancelled);
    ASSERT_EQ(stPart.vecEvents.size(), 5U);
    EXPECT_EQ(stPart.vecEvents.back().eStatus, IsoExtractStatus::Cancelled);
    EXPECT_FALSE(fs::exists(stDir.Path("part")));
    EXPECT_EQ(PartialTrees(stDir.Path("")), std::vector<std::string>{});
}

TEST(IsoExtract, UdfImageThroughSevenZip)
{
    if (!Have("7z") || !Have("genisoimage")) {
        GTEST_SKIP() << "7z (p7zip-full) or genisoimage is not installed";
    }
    TempDir stDir;
    Write(stDir.Path("media/sources/boot.wim"), std::string(10000, 'w'));
    Write(stDir.Path("media/setup.exe"), "setup");
    std::string strIso = stDir.Path("win10.iso");
    ASSERT_EQ(Shell("genisoimage -quiet -udf -o " + strIso + " " + stDir.Path("media")), 0);
    ASSERT_TRUE(IsUdfFile(strIso.c_str()));
    Recorder stEvents;
    IsoExtractJob stJob;
    ASSERT_EQ(stJob.Start(strIso, IsoExtractDefaultDestination(strIso),
                          [&](const IsoExtractEvent &stEvent) { stEvents.Add(stEvent); }),
              0);
    EXPECT_TRUE(stJob.UsesArchiver());
    EXPECT_EQ(stJob.Wait(), IsoExtractStatus::Finished);
    EXPECT_EQ(Read(stDir.Path("win10/sources/boot.wim")), std::string(10000, 'w'));
    EXPECT_EQ(Read(stDir.Path("win10/setup.exe")), "setup");
    ASSERT_FALSE(stEvents.vecEvents.empty());
    EXPECT_TRUE(stEvents.vecEvents.back().bDone);
    // 7z's percentage, never going back.
    for (size_t i = 0; i + 1 < stEvents.vecEvents.size(); ++i) {
        EXPECT_EQ(stEvents.vecEvents[i].uiTotal, 100U);
        EXPECT_LE(stEvents.vecEvents[i].uiDone, 100U);
        EXPECT_LE(i == 0 ? 0 : stEvents.vecEvents[i - 1].uiDone, stEvents.vecEvents[i].uiDone);
    }
    EXPECT_EQ(PartialTrees(stDir.Path("")), std::vector<std::string>{});

    // A UDF image 7z cannot read ends as a failure, and leaves no tree behind.
    std::string strBroken = stDir.Path("broken.iso");
    std::string strImage = Read(strIso);
    strImage.resize(strImage.size() / 2);
    Write(strBroken, strImage);
    if (IsUdfFile(strBroken.c_str())) {
        ASSERT_EQ(stJob.Start(strBroken, stDir.Path("broken"), nullptr), 0);
        EXPECT_EQ(stJob.Wait(), IsoExtractStatus::Failed);
        EXPECT_FALSE(fs::exists(stDir.Path("broken")));
    }
    EXPECT_EQ(PartialTrees(stDir.Path("")), std::vector<std::string>{});
}

// A 7z that has written everything but has not ended yet (held by a wrapper first in PATH) is
// ended by a cancel at once, with whatever it started, and its tree is removed.
TEST(IsoExtract, CancelEndsSevenZipAndRemovesItsTree)
{
    if (!Have("7z") || !Have("genisoimage")) {
        GTEST_SKIP() << "7z (p7zip-full) or genisoimage is not installed";
    }
    TempDir stDir;
    Write(stDir.Path("media/sources/install.wim"), std::string(100000, 'i'));
    std::string strIso = stDir.Path("win.iso");
    ASSERT_EQ(Shell("genisoimage -quiet -udf -o " + strIso + " " + stDir.Path("media")), 0);
    gchar *pcReal = g_find_program_in_path("7z");
    std::string strReal = pcReal;
    g_free(pcReal);
    Write(stDir.Path("bin/7z"), "#!/bin/sh\n" + strReal + " \"$@\"\ntouch " +
                                    stDir.Path("extracted") + "\nexec sleep 120\n");
    fs::permissions(stDir.Path("bin/7z"), fs::perms::owner_all);
    std::string strPath = getenv("PATH");
    setenv("PATH", (stDir.Path("bin") + ":" + strPath).c_str(), 1);
    IsoExtractJob stJob;
    int iStarted = stJob.Start(strIso, stDir.Path("win"), nullptr);
    setenv("PATH", strPath.c_str(), 1);
    ASSERT_EQ(iStarted, 0);
    for (int i = 0; i < 600 && !fs::exists(stDir.Path("extracted")); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(fs::exists(stDir.Path("extracted")));
    std::vector<std::string> vecPartial = PartialTrees(stDir.Path(""));
    ASSERT_EQ(vecPartial.size(), 1U);
    EXPECT_TRUE(fs::exists(stDir.Path(vecPartial[0] + "/sources/install.wim")));
    EXPECT_TRUE(stJob.Running());
    stJob.Cancel();
    auto tmCancel = std::chrono::steady_clock::now();
    EXPECT_EQ(stJob.Wait(), IsoExtractStatus::Cancelled);
    // Well under the wrapper's two minutes: the sleeping child was ended too.
    EXPECT_LT(std::chrono::steady_clock::now() - tmCancel, std::chrono::seconds(60));
    EXPECT_FALSE(fs::exists(stDir.Path("win")));
    EXPECT_EQ(PartialTrees(stDir.Path("")), std::vector<std::string>{});
}

}  // namespace
