#include "plugin_util.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "boot_config.h"
#include "iso_image.h"
#include "log.h"
#include "plugin_host.h"
#include "prompt.h"
#include "work_dir.h"

namespace fs = std::filesystem;

namespace {

// The utility table as a plug-in sees it.
template <typename Fn>
Fn Slot(PluginUtilSlot eSlot)
{
    return PluginUtil<Fn>(HostUtilTable(), eSlot);
}

class PluginUtilTest : public testing::Test {
protected:
    void SetUp() override
    {
        LOG_SetFile(m_stDir / "test.log");
        LOG_SetCacheCount(1);
        LOG_SetLevel(2);
    }
    std::string Log() { return ReadFile(m_stDir / "test.log"); }
    WorkDir m_stDir;
};

TEST_F(PluginUtilTest, TemplateExpansion)
{
    WriteFile(m_stDir / "menu.tpl", "kernel $K$ $ARGS$\r\nip=$IP$ $IP$\nlast line without end");
    const TemplatePair astPairs[] = {
        {"$ARGS$", "a=$IP$"},  // pair order: $IP$ of this value is replaced by the later pair
        {"$IP$", "10.0.0.5"},
        {"$K$", "$K$/vmlinuz"},  // a value holding its own key does not loop
        {"", "never"},
    };
    Slot<PFN_ExpandTemplate>(UTIL_EXPAND_TEMPLATE)((m_stDir / "menu.tpl").c_str(),
                                                   (m_stDir / "menu").c_str(), astPairs, 4);
    EXPECT_EQ(ReadFile(m_stDir / "menu"),
              "kernel $K$/vmlinuz a=10.0.0.5\nip=10.0.0.5 10.0.0.5\nlast line without end\n");
    // A missing template writes nothing and says so.
    Slot<PFN_ExpandTemplate>(UTIL_EXPAND_TEMPLATE)((m_stDir / "gone.tpl").c_str(),
                                                   (m_stDir / "out").c_str(), astPairs, 2);
    EXPECT_FALSE(fs::exists(m_stDir / "out"));
    EXPECT_NE(Log().find("File " + (m_stDir / "gone.tpl") + " not exist."), std::string::npos);

    WriteFile(m_stDir / "dos.txt", "a\r\nb\r\r\n");
    Slot<PFN_StripCarriageReturns>(UTIL_STRIP_CARRIAGE_RETURNS)((m_stDir / "dos.txt").c_str());
    EXPECT_EQ(ReadFile(m_stDir / "dos.txt"), "a\nb\n");
    EXPECT_FALSE(fs::exists(m_stDir / "dos.txt_TMP"));
}

TEST_F(PluginUtilTest, RegexesAndFiles)
{
    WriteFile(m_stDir / "treeinfo", "[general]\r\nfamily = CentOS Linux\nversion = 7.6.1810\n");
    struct Case {
        const char *pcRegex;
        bool bLineMatches;
    };
    const Case astCases[] = {
        {"^version = 7\\.", true}, {"Linux$", true}, {"^Fedora", false}, {"([", false}};
    for (const Case &stCase : astCases) {
        EXPECT_EQ(Slot<PFN_FileLineMatches>(UTIL_FILE_LINE_MATCHES)((m_stDir / "treeinfo").c_str(),
                                                                    stCase.pcRegex),
                  stCase.bLineMatches)
            << stCase.pcRegex;
    }
    EXPECT_FALSE(UTIL_FileLineMatches((m_stDir / "gone").c_str(), "."));
    EXPECT_TRUE(
        Slot<PFN_RegexMatches>(UTIL_REGEX_MATCHES)("^centos-7.*\\.iso$", "centos-7-x86_64.iso"));
    EXPECT_FALSE(UTIL_RegexMatches("(", "("));
    EXPECT_TRUE(Slot<PFN_FileExists>(UTIL_FILE_EXISTS)((m_stDir / "treeinfo").c_str()));
    EXPECT_FALSE(UTIL_FileExists((m_stDir / "gone").c_str()));
    EXPECT_FALSE(UTIL_FileExists(m_stDir.operator/("").c_str()));  // a directory is no file
}

TEST_F(PluginUtilTest, OsNameAgainstIsoName)
{
    struct Case {
        const char *pcOs;
        const char *pcIso;
        bool bMatch;
    };
    const Case astCases[] = {
        {"RedHat 7", "rhel-server-7.6-x86_64-dvd.iso", true},
        {"Ubuntu Desktop", "ubuntu-18.04.iso", false},
        {"Ubuntu Server 18.04", "ubuntu-18.04-live-server-amd64.iso", true},
        {"SUSE Server 15", "SLE-15-SP1-Installer-DVD-x86_64.iso", true},
        {"Tencent OS 2.4", "tlinux-2.4.iso", true},
        {"CentOS 7", "rhel-7.iso", false},
    };
    for (const Case &stCase : astCases) {
        EXPECT_EQ(Slot<PFN_OsNameMatchesIsoName>(UTIL_OS_NAME_MATCHES_ISO_NAME)(stCase.pcOs,
                                                                                stCase.pcIso),
                  stCase.bMatch)
            << stCase.pcOs << " / " << stCase.pcIso;
    }
}

TEST_F(PluginUtilTest, SourceFilesInADirectoryAndInsideAnImage)
{
    if (std::system("command -v xorriso >/dev/null") != 0) {
        GTEST_SKIP() << "xorriso is not installed";
    }
    m_stDir.Touch("tree/.treeinfo", "[general]\nname = CentOS-7\nversion = 7.9.2009\n");
    m_stDir.Touch("tree/images/pxeboot/vmlinuz", std::string(5000, 'k'));
    std::string strIso = m_stDir / "centos.iso";
    ASSERT_EQ(std::system(
                  ("xorriso -as mkisofs -quiet -R -o '" + strIso + "' '" + (m_stDir / "tree") + "'")
                      .c_str()),
              0);
    IsoImage stImage;
    ASSERT_EQ(IsoOpen(strIso.c_str(), false, &stImage), 0U);
    std::string strTree = m_stDir / "tree";
    // The same questions against the directory (no image) and the image.
    for (const IsoImage *pstImage :
         {static_cast<const IsoImage *>(nullptr), static_cast<const IsoImage *>(&stImage)}) {
        const char *pcSource = pstImage ? strIso.c_str() : strTree.c_str();
        EXPECT_TRUE(Slot<PFN_SourceFileMatches>(UTIL_SOURCE_FILE_MATCHES)(
            pcSource, pstImage, ".treeinfo", "^version = 7\\."));
        EXPECT_FALSE(UTIL_SourceFileMatches(pcSource, pstImage, ".treeinfo", "^version = 8\\."));
        EXPECT_FALSE(UTIL_SourceFileMatches(pcSource, pstImage, "missing.txt", "."));
        std::string strVersion = "unchanged";
        EXPECT_TRUE(Slot<PFN_SourceFileCapture>(UTIL_SOURCE_FILE_CAPTURE)(
            pcSource, pstImage, ".treeinfo", "^version = ([0-9.]+)", &strVersion));
        EXPECT_EQ(strVersion, "7.9.2009");
        strVersion = "unchanged";
        EXPECT_FALSE(
            UTIL_SourceFileCapture(pcSource, pstImage, ".treeinfo", "^arch = (.*)", &strVersion));
        EXPECT_EQ(strVersion, "unchanged");
    }
    EXPECT_NE(Log().find("Failed to find file missing.txt in ISO."), std::string::npos);
    EXPECT_NE(Log().find("Tmp file is "), std::string::npos);
    // No copy is left behind in the working directory.
    EXPECT_FALSE(fs::exists(m_stDir / ".treeinfo"));

    IsoEntry stEntry;
    EXPECT_EQ(Slot<PFN_FindFileInIso>(UTIL_FIND_FILE_IN_ISO)(&stImage, "images/pxeboot/vmlinuz", 0,
                                                             &stEntry),
              0U);
    EXPECT_EQ(stEntry.ullDataLen, 5000U);
    auto pfnCopy = Slot<PFN_CopyFileFromIso>(UTIL_COPY_FILE_FROM_ISO);
    EXPECT_EQ(
        pfnCopy(&stImage, strIso.c_str(), "images/pxeboot/vmlinuz", (m_stDir / "out").c_str()), 0);
    EXPECT_EQ(ReadFile(m_stDir / "out/images/pxeboot/vmlinuz"), std::string(5000, 'k'));
    EXPECT_EQ(pfnCopy(&stImage, strIso.c_str(), "images/missing", (m_stDir / "out").c_str()), 1);
    EXPECT_EQ(
        pfnCopy(&stImage, (m_stDir / "gone.iso").c_str(), ".treeinfo", (m_stDir / "out").c_str()),
        1);
    EXPECT_NE(Log().find("File " + (m_stDir / "gone.iso") + " not exist."), std::string::npos);
    IsoClose(&stImage);
}

TEST_F(PluginUtilTest, CryptStringRoundTripAndKnownVectors)
{
    const unsigned char aucKey[] = "0123456789abcdef";
    const unsigned char aucIv[] = "fedcba9876543210";
    auto pfnCrypt = Slot<PFN_CryptString>(UTIL_CRYPT_STRING);
    // Made with: openssl enc -aes-128-cbc -nopad over the text padded by hand with 0x80 and zeros.
    struct Case {
        const char *pcPlain;
        const char *pcCipher;
    };
    const Case astCases[] = {
        {"kivpxe", "D99632CEF76714AC2946E3225EDE3B55"},
        {"sixteen byte txt", "F2D5E4AE9F29E08C09C2FE1F34195E37D9AAA0FD886B784341E1861A71FD451C"},
    };
    for (const Case &stCase : astCases) {
        std::string strOut;
        pfnCrypt(&strOut, aucKey, 16, aucIv, stCase.pcPlain, 1);
        EXPECT_EQ(strOut, stCase.pcCipher);
        pfnCrypt(&strOut, aucKey, 16, aucIv, stCase.pcCipher, 0);
        EXPECT_EQ(strOut, stCase.pcPlain);
    }
    std::string strCipher;
    pfnCrypt(&strCipher, aucKey, 16, aucIv, "Passw0rd!", 1);
    std::string strLower = strCipher;
    std::transform(strLower.begin(), strLower.end(), strLower.begin(), ::tolower);
    std::string strPlain;
    pfnCrypt(&strPlain, aucKey, 16, aucIv, strLower.c_str(), 2);
    EXPECT_EQ(strPlain, "Passw0rd!");
    // Failures give an empty result: odd length, not hex, bad padding (wrong key), bad key length.
    const unsigned char aucOtherKey[] = "fedcba9876543210";
    const char *apcBad[] = {"D99632CEF76714AC2946E3225EDE3B5", "Z99632CEF76714AC2946E3225EDE3B55",
                            "D996"};
    for (const char *pcBad : apcBad) {
        strPlain = "x";
        pfnCrypt(&strPlain, aucKey, 16, aucIv, pcBad, 0);
        EXPECT_EQ(strPlain, "") << pcBad;
    }
    strPlain = "x";
    pfnCrypt(&strPlain, aucOtherKey, 16, aucIv, "D99632CEF76714AC2946E3225EDE3B55", 0);
    EXPECT_EQ(strPlain, "");
    strPlain = "x";
    pfnCrypt(&strPlain, aucKey, 5, aucIv, "kivpxe", 1);
    EXPECT_EQ(strPlain, "");
}

TEST_F(PluginUtilTest, ServerInfoMenusAndPrompts)
{
    SetHostServerInfo({0xC0A80A01, 0xFFFFFF00, 0xC0A80AFE, 8810});
    SetBlockSizeChoice(1);
    PluginServerInfo stInfo;
    EXPECT_EQ(Slot<PFN_GetServerInfo>(UTIL_GET_SERVER_INFO)(&stInfo), 0);
    EXPECT_EQ(stInfo.uiHttpServerIp, 0xC0A80A01U);
    EXPECT_EQ(stInfo.uiDhcpGateway, 0xC0A80AFEU);
    EXPECT_EQ(stInfo.usHttpPort, 8810);
    EXPECT_EQ(stInfo.uiTftpBlockSize, 2048U);

    ScanBootFiles(BOOT_LOADER_GRUB2);
    std::string strText;
    Slot<PFN_GetMenuDir>(UTIL_GET_MENU_DIR)(&strText);
    EXPECT_EQ(strText, "grub2/grub2.cfg");
    const uint8_t aucMac[6] = {0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
    Slot<PFN_GetClientMenuName>(UTIL_GET_CLIENT_MENU_NAME)(aucMac, 0x0A000005, &strText);
    EXPECT_EQ(strText, "01-52-54-00-12-34-56");

    // Headless answers: the default item, the proposed credentials, progress in the log.
    const std::vector<std::string> vecItems = {"Windows 10 Pro", "Windows 10 Home"};
    EXPECT_EQ(Slot<PFN_ChooseItem>(UTIL_CHOOSE_ITEM)("Edition", &vecItems, 1), 1);
    EXPECT_EQ(UTIL_ChooseItem("Edition", &vecItems, 7), 0);
    const std::vector<std::string> vecNone;
    EXPECT_EQ(UTIL_ChooseItem("Edition", &vecNone, 0), -1);
    std::string strUser = "deploy";
    std::string strPassword = "secret-word";
    EXPECT_EQ(Slot<PFN_AskCredentials>(UTIL_ASK_CREDENTIALS)("Share user", &strUser, &strPassword),
              1);
    EXPECT_EQ(strUser, "deploy");
    Slot<PFN_ProgressShow>(UTIL_PROGRESS_SHOW)("Patching boot.wim", 3);
    Slot<PFN_ProgressAdvance>(UTIL_PROGRESS_ADVANCE)(2, "FERRIT_64.exe");
    Slot<PFN_ProgressClose>(UTIL_PROGRESS_CLOSE)();
    std::string strLog = Log();
    EXPECT_NE(strLog.find("[Edition] 2 items (answered Windows 10 Home)"), std::string::npos);
    EXPECT_NE(strLog.find("[Share user] (answered user deploy)"), std::string::npos);
    EXPECT_EQ(strLog.find("secret-word"), std::string::npos);
    EXPECT_NE(strLog.find("Progress [Patching boot.wim] of 3"), std::string::npos);
    EXPECT_NE(strLog.find("Progress 2: FERRIT_64.exe"), std::string::npos);
    EXPECT_NE(strLog.find("Progress closed"), std::string::npos);

    // An installed handler takes the question; a cancel reaches the plug-in as 0, values untouched.
    PROMPT_SetCredentialsHandler([](CredentialsRequest &stRequest) {
        stRequest.strUser = "changed";
        return false;
    });
    EXPECT_EQ(UTIL_AskCredentials("Share user", &strUser, &strPassword), 0);
    EXPECT_EQ(strUser, "deploy");
    PROMPT_SetCredentialsHandler(nullptr);

    // Without Samba's net, or with a refused share, the result is a failure, never a success.
    if (std::system("command -v net >/dev/null") != 0) {
        EXPECT_NE(
            Slot<PFN_AddShare>(UTIL_ADD_SHARE)("kivtest", (m_stDir / "").c_str(), "kivpxe-share"),
            0);
        EXPECT_NE(Log().find("Samba's \"net\" is not installed"), std::string::npos);
    }
    EXPECT_NE(UTIL_DeleteShare(""), 0);
    // The ACL names one account: anything that would widen it is refused before net runs.
    for (const char *pcAccount : {"", "kiv:F,Everyone", "kiv,Everyone", "kiv\nx"})
        EXPECT_EQ(UTIL_AddShare("kivtest", "/srv", pcAccount), -1) << pcAccount;
}

}  // namespace
