// Roots, path mapping, redirects, file access and the transfer-ID map.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "iso_image.h"
#include "qvtftp.h"
#include "qvtftp_session.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> g_vecLog;

void CaptureText(int /*iModule*/, const char *pcFormat, ...)
{
    va_list args;
    va_start(args, pcFormat);
    const char *pcText = va_arg(args, const char *);  // the sinks always pass "%s"
    g_vecLog.emplace_back(pcText != nullptr && pcFormat[0] == '%' ? pcText : pcFormat);
    va_end(args);
}

bool Logged(const std::string &szLine)
{
    for (const std::string &szLog : g_vecLog) {
        if (szLog == szLine) {
            return true;
        }
    }
    return false;
}

void WriteFile(const fs::path &stPath, const std::string &szText)
{
    fs::create_directories(stPath.parent_path());
    std::ofstream(stPath, std::ios::binary) << szText;
}

// The whole content of what OpenReqFile opened: exactly its size, from its base.
std::string ReadSession(const QVTFTP_Session &stSession)
{
    std::string szData(stSession.ullFileSize, '\0');
    const ssize_t lRead = pread(stSession.iFileFd, szData.data(), szData.size(),
                                static_cast<off_t>(stSession.ullFileBase));
    return lRead == static_cast<ssize_t>(szData.size()) ? szData : std::string("<short read>");
}

class QvTftpConfig : public ::testing::Test {
protected:
    void SetUp() override
    {
        QV_LogSinks stSinks;
        for (QV_LogSink &stSink : stSinks.astSink) {
            stSink.pfnLog = CaptureText;
        }
        QVTFTP_SetLogFunc(stSinks);
        g_vecLog.clear();
        QVTFTP_Init();
        m_stDir = fs::temp_directory_path() / ("tftp_cfg_" + std::to_string(getpid()));
        fs::remove_all(m_stDir);
        fs::create_directories(m_stDir);
        m_stOldCwd = fs::current_path();
        fs::current_path(m_stDir);
    }

    void TearDown() override
    {
        QVTFTP_Deinit();
        fs::current_path(m_stOldCwd);
        fs::remove_all(m_stDir);
        QVTFTP_SetLogFunc(QV_LogSinks{});
    }

    uint32_t AddRoot(const std::string &szPrefix, const fs::path &stPath,
                     std::vector<QVTFTP_CFG_Rule> vecRules = {})
    {
        const QVTFTP_CFG_Root stRoot{nullptr, szPrefix, stPath.string(), std::move(vecRules)};
        return QVTFTP_CFG_AddRootPath(&stRoot);
    }

    // Opens a request; the served content, or "<code N>" with the TFTP error code.
    std::string Open(const char *pcRequest)
    {
        QVTFTP_Session stSession;
        uint16_t usCode = 99;
        if (QVTFTP_CFG_OpenReqFile(pcRequest, &stSession, &usCode) != 0) {
            return "<code " + std::to_string(usCode) + ">";
        }
        return ReadSession(stSession);
    }

    fs::path m_stDir;
    fs::path m_stOldCwd;
};

TEST_F(QvTftpConfig, MapPath)
{
    QV_Root stTop;
    stTop.strPath = "/srv/pxelinux";
    QV_Root stDriver;
    stDriver.strPrefix = "driver";
    stDriver.strPath = "/srv/driver";
    IsoImage stImage;  // never read by the mapping
    QV_Root stIso;
    stIso.strPrefix = "ISO1";
    stIso.strPath = "/srv/a.iso";
    stIso.pstImage = std::shared_ptr<IsoImage>(&stImage, [](IsoImage *) {});

    struct Case {
        const QV_Root *pstSlot;
        const char *pcRequest;
        const char *pcName;  // nullptr: no match
    };
    const Case astCases[] = {
        {&stTop, "\\pxelinux.cfg\\default", "/srv/pxelinux/pxelinux.cfg/default"},
        {&stTop, "/pxelinux.cfg/default", "/srv/pxelinux/pxelinux.cfg/default"},
        {&stTop, "pxelinux.cfg/default", "/srv/pxelinux/pxelinux.cfg/default"},
        {&stTop, "", nullptr},
        {&stIso, "iso1/boot/x", "boot/x"},
        {&stIso, "ISO1\\boot\\x", "boot/x"},
        {&stIso, "/ISO1/boot/x", "boot/x"},
        {&stIso, "ISO1x/boot", nullptr},
        {&stIso, "/ISO1x/boot", nullptr},
        {&stIso, "ISO1", nullptr},
        {&stIso, "ISO1/", nullptr},
        {&stIso, "boot/x", nullptr},
        {&stDriver, "driver", nullptr},
        {&stDriver, "DRIVER\\net\\e1000.inf", "/srv/driver/net/e1000.inf"},
        {&stDriver, "drivers/x", nullptr},
        {&stDriver, "//driver/net/e1000.inf", "/srv/driver/net/e1000.inf"},
    };
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.pstSlot->strPrefix + " / " + stCase.pcRequest);
        std::string szName = "unset";
        const bool bMatch = QVTFTP_CFG_MapPath(stCase.pcRequest, *stCase.pstSlot, &szName);
        EXPECT_EQ(stCase.pcName != nullptr, bMatch);
        if (stCase.pcName != nullptr) {
            EXPECT_EQ(stCase.pcName, szName);
        }
    }
}

TEST_F(QvTftpConfig, RootSlots)
{
    fs::create_directories(m_stDir / "d");
    WriteFile(m_stDir / "notiso.bin", std::string(40000, 'x'));
    EXPECT_EQ(0u, AddRoot("", m_stDir / "d"));
    EXPECT_EQ(QVTFTP_ERR_EXIST, AddRoot("", m_stDir / "d"));
    EXPECT_EQ(QVTFTP_ERR_FAILED, AddRoot("x", m_stDir / "missing"));
    EXPECT_EQ(QVTFTP_ERR_FAILED, AddRoot("x", m_stDir / "notiso.bin"));
    for (int i = 1; i < 10; ++i) {
        EXPECT_EQ(0u, AddRoot("p" + std::to_string(i), m_stDir / "d"));
    }
    EXPECT_EQ(QVTFTP_ERR_NO_SLOT, AddRoot("p10", m_stDir / "d"));
    EXPECT_TRUE(Logged("Add tftp root p9 " + (m_stDir / "d").string()));
    QVTFTP_CFG_ClearRoots();
    EXPECT_EQ(0u, AddRoot("p10", m_stDir / "d"));
}

TEST_F(QvTftpConfig, DirectoryFilesAndRefusals)
{
    WriteFile(m_stDir / "loader/pxelinux.cfg/default", "menu");
    WriteFile(m_stDir / "drv/a.inf", "driver");
    WriteFile(m_stDir / "secret", "outside");
    fs::create_directories(m_stDir / "loader/dir");
    ASSERT_EQ(0u, AddRoot("", m_stDir / "loader"));
    ASSERT_EQ(0u, AddRoot("driver", m_stDir / "drv"));
    struct Case {
        const char *pcRequest;
        const char *pcResult;
    };
    const Case astCases[] = {
        {"pxelinux.cfg/default", "menu"},
        {"\\pxelinux.cfg\\default", "menu"},
        {"driver/a.inf", "driver"},
        {"driver", "<code 1>"},
        {"dir", "<code 1>"},
        {"nothing", "<code 1>"},
        {"../secret", "<code 2>"},
        {"..\\secret", "<code 2>"},
        {"driver/../../secret", "<code 2>"},
        {"pxelinux.cfg/..", "<code 2>"},
    };
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.pcRequest);
        EXPECT_EQ(stCase.pcResult, Open(stCase.pcRequest));
    }
    EXPECT_TRUE(Logged("Request file nothing not found."));
}

TEST_F(QvTftpConfig, ImageRootsAndRedirects)
{
    if (system("command -v xorriso >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "xorriso is not installed";
    }
    WriteFile(m_stDir / "src/boot/initrd.img", "image initrd");
    WriteFile(m_stDir / "src/boot/vmlinuz", std::string(5000, 'k'));
    WriteFile(m_stDir / "src/empty", "");
    const std::string szCmd = "xorriso -as mkisofs -quiet -R -o " + (m_stDir / "a.iso").string() +
                              " " + (m_stDir / "src").string() + " >/dev/null 2>&1";
    ASSERT_EQ(0, system(szCmd.c_str()));
    WriteFile(m_stDir / "virtualiso/extfile/initrd.patched", "patched initrd");
    ASSERT_EQ(0u, AddRoot("ISO1", m_stDir / "a.iso",
                          {{"boot/missing.img", "absent"}, {"boot/initrd.img", "initrd.patched"}}));
    EXPECT_TRUE(QVTFTP_CFG_Roots()->vRoots.at(0).bOwned);

    EXPECT_EQ("patched initrd", Open("ISO1/boot/initrd.img"));
    EXPECT_TRUE(Logged("Request ISO1/boot/initrd.img match tftp redirect rule boot/initrd.img "
                       "initrd.patched"));
    // GRUB names files from the server's top: the rule applies all the same.
    EXPECT_EQ("patched initrd", Open("/ISO1/boot/initrd.img"));
    EXPECT_EQ("patched initrd", Open("//iso1\\boot\\initrd.img"));
    EXPECT_EQ(std::string(5000, 'k'), Open("iso1/BOOT/VMLINUZ"));
    EXPECT_EQ("", Open("ISO1/empty"));
    EXPECT_EQ("<code 1>", Open("ISO1/boot"));
    EXPECT_EQ("<code 1>", Open("ISO1/boot/missing.img"));
    EXPECT_TRUE(Logged("Tftp redirect file virtualiso/extfile/absent not exist."));

    // With the target gone the image's own file is served.
    fs::remove(m_stDir / "virtualiso/extfile/initrd.patched");
    EXPECT_EQ("image initrd", Open("ISO1/boot/initrd.img"));

    // An image opened elsewhere is used as it is and not owned.
    IsoImage stImage;
    ASSERT_EQ(0u, IsoOpen((m_stDir / "a.iso").c_str(), false, &stImage));
    const QVTFTP_CFG_Root stLent{&stImage, "ISO2", (m_stDir / "a.iso").string(), {}};
    ASSERT_EQ(0u, QVTFTP_CFG_AddRootPath(&stLent));
    EXPECT_FALSE(QVTFTP_CFG_Roots()->vRoots.at(1).bOwned);
    EXPECT_EQ("image initrd", Open("ISO2/boot/initrd.img"));
    QVTFTP_CFG_ClearRoots();
    IsoEntry stEntry;
    EXPECT_EQ(0u, IsoFind(&stImage, "boot/vmlinuz", true, &stEntry)) << "a lent image stays open";
    IsoClose(&stImage);
}

TEST_F(QvTftpConfig, TransferIds)
{
    QVTFTP_CFG_Conf stConf = QVTFTP_CFG_GetConf();
    stConf.usTidFirst = 50000;
    stConf.usTidLast = 50002;
    ASSERT_EQ(0u, QVTFTP_CFG_SetConf(&stConf));
    EXPECT_EQ(50000, QVTFTP_CFG_AllocTID());
    EXPECT_EQ(50001, QVTFTP_CFG_AllocTID());
    EXPECT_EQ(50002, QVTFTP_CFG_AllocTID());
    EXPECT_EQ(0, QVTFTP_CFG_AllocTID());
    EXPECT_EQ(0u, QVTFTP_CFG_FreeTID(50001));
    EXPECT_EQ(QVTFTP_ERR_FAILED, QVTFTP_CFG_FreeTID(50001));
    EXPECT_TRUE(Logged("TID 50001 is not used."));
    EXPECT_EQ(QVTFTP_ERR_FAILED, QVTFTP_CFG_FreeTID(50003));
    EXPECT_TRUE(Logged("Invalid TID 50003."));
    EXPECT_EQ(50001, QVTFTP_CFG_AllocTID());

    // The map holds 16410 ports; a wider range is refused, the controller's one fits.
    stConf.usTidFirst = 1000;
    stConf.usTidLast = 65535;
    EXPECT_EQ(QVTFTP_ERR_FAILED, QVTFTP_CFG_SetConf(&stConf));
    stConf.usTidFirst = 50000;
    stConf.usTidLast = 65000;
    EXPECT_EQ(0u, QVTFTP_CFG_SetConf(&stConf));
    EXPECT_EQ(QVTFTP_ERR_FAILED, QVTFTP_CFG_SetConf(nullptr));
}

}  // namespace
