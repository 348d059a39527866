// Roots, redirect rules and virtual URLs over a directory tree made in a temporary directory,
// which is also the working (data) directory of the test.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include <glib.h>
#include <glib/gstdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qvhttp_config.h"

namespace {

void WriteFile(const std::string &strPath, size_t uiSize)
{
    std::ofstream(strPath, std::ios::binary) << std::string(uiSize, 'x');
}

class QvHttpConfig : public ::testing::Test {
protected:
    void SetUp() override
    {
        char *pcDir = g_dir_make_tmp("qvhttp-http-XXXXXX", nullptr);
        ASSERT_NE(pcDir, nullptr);
        m_strDir = pcDir;
        g_free(pcDir);
        ASSERT_EQ(chdir(m_strDir.c_str()), 0);
        for (const char *pcSub : {"src", "src/sub", "kick", "virtualiso", "virtualiso/extfile"}) {
            ASSERT_EQ(g_mkdir(pcSub, 0755), 0);
        }
        WriteFile("src/a.txt", 1000);
        WriteFile("src/sub/b.cfg", 10);
        WriteFile("src.iso", 3000);
        WriteFile("kick/ks.cfg", 20);
        WriteFile("virtualiso/extfile/menu.1", 77);
        WriteFile("virtualiso/extfile/a.alt", 55);
        WriteFile("virtualiso/extfile/drv.iso", 4096);
        ASSERT_EQ(mkfifo("src/pipe", 0644), 0);

        QVHTTP_Root stSrc;
        stSrc.strPrefix = "ISO1";
        stSrc.strPath = m_strDir + "/src";
        for (auto [pcPattern, pcTarget] :
             {std::pair{"boot/menu.cfg", "menu.1"}, std::pair{"a.txt", "a.alt"},
              std::pair{"gone/x.cfg", "missing"}}) {
            stSrc.vRules.push_back(QVHTTP_RedtRule{pcPattern, pcTarget});
        }
        ASSERT_EQ(QVHTTP_CFG_AddRootPath(stSrc), 0u);
        QVHTTP_Root stKick;
        stKick.strPrefix = "kickstart";
        stKick.strPath = m_strDir + "/kick";
        ASSERT_EQ(QVHTTP_CFG_AddRootPath(stKick), 0u);
    }

    void TearDown() override
    {
        QVHTTP_CFG_ClearRoots();
        std::string strCmd = "rm -rf '" + m_strDir + "'";
        ASSERT_EQ(system(strCmd.c_str()), 0);
    }

    std::string m_strDir;
};

TEST_F(QvHttpConfig, RequestPathsResolveInsideTheirRoots)
{
    struct Case {
        const char *pcURI;
        uint32_t uiRet;
        uint32_t uiIsDir;
        const char *pcPath;  // relative to the test directory
        uint64_t ullSize;
    } astCases[] = {
        {"/ISO1", 0, 1, "src", 0},
        {"/iso1/", 0, 1, "src", 0},
        {"/ISO1/sub/", 0, 1, "src/sub", 0},
        {"//ISO1/sub/b.cfg", 0, 0, "src/sub/b.cfg", 10},
        {"/ISO1/SUB/b.cfg", QVHTTP_ERR_NOT_FOUND, 0, "", 0},  // host names keep their case
        {"/kickstart/", 0, 1, "kick", 0},
        {"/kickstart/ks.cfg", 0, 0, "kick/ks.cfg", 20},
        {"/kickstart/missing.cfg", QVHTTP_ERR_NOT_FOUND, 0, "", 0},
        {"/ISO1x/a.txt", QVHTTP_ERR_NOT_FOUND, 0, "", 0},
        {"/ISO1/pipe", QVHTTP_ERR_NOT_FOUND, 0, "", 0},
        {"/ISO1/../x", QVHTTP_ERR_FAILED, 0, "", 0},
        {"/ISO1/sub/..", QVHTTP_ERR_FAILED, 0, "", 0},
        {"../src/a.txt", QVHTTP_ERR_FAILED, 0, "", 0},
        {"/kickstart/../src/a.txt", QVHTTP_ERR_FAILED, 0, "", 0},
        // Redirects: a missing file, a real file overridden, and a rule whose target is missing.
        {"/ISO1/boot/menu.cfg", 0, 0, "virtualiso/extfile/menu.1", 77},
        {"/ISO1/a.txt", 0, 0, "virtualiso/extfile/a.alt", 55},
        {"/ISO1/gone/x.cfg", QVHTTP_ERR_NOT_FOUND, 0, "", 0},
        // Whole images: a directory source answers its sibling "<dir>.iso".
        {"/ISO1/_RAWISO_.iso", 0, 0, "src.iso", 3000},
        {"/ISO1/_VIRTISO_.iso", 0, 0, "src.iso", 3000},
        {"/kickstart/_RAWISO_.iso", QVHTTP_ERR_NOT_FOUND, 0, "", 0},
        {"/x/_VIRTDRVISO_/drv.iso", 0, 0, "virtualiso/extfile/drv.iso", 4096},
        {"/FERRIT/Install", QVHTTP_ERR_NOT_FOUND, 0, "", 0},
    };
    for (const Case &stCase : astCases) {
        QVHTTP_OpenResult stResult;
        QVHTTP_Request stReq;
        stReq.strPath = stCase.pcURI;
        uint32_t uiRet = QVHTTP_CFG_OpenReqURI(stReq, stResult);
        EXPECT_EQ(uiRet, stCase.uiRet) << stCase.pcURI;
        if (uiRet != 0 || stCase.uiRet != 0) {
            continue;
        }
        EXPECT_EQ(stResult.uiIsDir, stCase.uiIsDir) << stCase.pcURI;
        EXPECT_EQ(stResult.uiIsImage, 0u) << stCase.pcURI;
        std::string strPath = stResult.szPath;
        // Paths come either absolute under the test directory or relative to it.
        if (strPath.rfind(m_strDir + "/", 0) == 0) {
            strPath = strPath.substr(m_strDir.size() + 1);
        }
        EXPECT_EQ(strPath, stCase.pcPath) << stCase.pcURI;
        EXPECT_EQ(stResult.ullSize, stCase.ullSize) << stCase.pcURI;
        EXPECT_EQ(stResult.pstVirtIso, nullptr) << stCase.pcURI;  // nothing registered
    }
}

TEST_F(QvHttpConfig, OverlongPathIsNotCutIntoAnotherFile)
{
    // Cut at 1023 bytes this would name "src/a.txt" or a directory of it.
    std::string strURI = "/ISO1/a.txt" + std::string(2000, '/');
    QVHTTP_OpenResult stResult;
    QVHTTP_Request stReq;
    stReq.strPath = strURI;
    EXPECT_EQ(QVHTTP_CFG_OpenReqURI(stReq, stResult), QVHTTP_ERR_NOT_FOUND);
}

TEST_F(QvHttpConfig, RootTableRefusesDuplicatesMissingPathsAndAnEleventhRoot)
{
    struct Case {
        const char *pcPrefix;
        std::string strPath;
        uint32_t uiRet;
    } astCases[] = {
        // The same prefix and path, without regard to case, is there already; the same prefix
        // with another path is one more place to look, after the first.
        {"iso1", m_strDir + "/SRC", QVHTTP_ERR_EXIST},
        {"ISO1", m_strDir + "/kick", 0},
        {"nothing", m_strDir + "/does-not-exist", QVHTTP_ERR_FAILED},
        {"notaniso", m_strDir + "/src/a.txt", QVHTTP_ERR_FAILED},
    };
    for (const Case &stCase : astCases) {
        QVHTTP_Root stRoot;
        stRoot.strPrefix = stCase.pcPrefix;
        stRoot.strPath = stCase.strPath;
        EXPECT_EQ(QVHTTP_CFG_AddRootPath(stRoot), stCase.uiRet) << stCase.pcPrefix;
    }
    for (unsigned i = 3; i < QVHTTP_ROOT_SLOTS; ++i) {
        QVHTTP_Root stRoot;
        stRoot.strPrefix = "r" + std::to_string(i);
        stRoot.strPath = m_strDir + "/kick";
        ASSERT_EQ(QVHTTP_CFG_AddRootPath(stRoot), 0u);
    }
    QVHTTP_Root stRoot;
    stRoot.strPrefix = "eleventh";
    stRoot.strPath = m_strDir + "/kick";
    EXPECT_EQ(QVHTTP_CFG_AddRootPath(stRoot), QVHTTP_ERR_NO_SLOT);
}

TEST(QvHttpReport, ReportUrlsAndImagesAreKnown)
{
    struct Case {
        const char *pcURI;
        uint32_t uiReport;
    } astCases[] = {
        {"/kickstart/FERRIT/Install", 1},
        {"/kickstart/FERRIT/InstallFinish", 1},
        {"/kickstart/FERRIT/Reboot", 1},
        {"/PXEClientInstallEnd", 1},
        {"/kickstart/virturl_report_client_info", 1},
        {"/ISO1/_VIRTISO_.iso", 1},
        {"/ISO1/boot/vmlinuz", 0},
        {"/ISO1/x.iso.txt", 0},
        {"/kickstart/ferrit/install", 0},
    };
    for (const Case &stCase : astCases) {
        EXPECT_EQ(QVHTTP_IsReportURI(stCase.pcURI), stCase.uiReport) << stCase.pcURI;
    }
}

}  // namespace
