// PLUG_OSPREY against a synthetic Windows-shaped source made with wimlib-imagex: matching, the
// image choice, the boot files and the boot WIM, the agent parameter file and the client files.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <filesystem>
#include <set>

#include "core/answer_file.h"
#include "core/disk_select.h"
#include "fake_system.h"
#include "temp_dir.h"

#include "osprey_agent_param.h"
#include "osprey_cfgfile.h"
#include "osprey_service.h"
#include "plugin_hostcalls.h"
#include "plugin_util.h"
#include "plugin_match.h"
#include "plugin_util.h"
#include "wim_access.h"
#include "test_host.h"

using test_host::ReadText;

using test_host::WriteText;
namespace fs = std::filesystem;

namespace {

// What the test answers for the host.
struct Answers {
    int iChoice = 0;  // index chosen, -1 cancels
    int iChooseCalls = 0;
    int iDefaultOffered = -1;
    bool bCredentials = true;  // the operator confirms
    std::string strUser = "kiv", strPassword = "s3cret";
    uint32_t uiBlockSize = 1408;
    std::vector<std::string> vecRoots;
    std::vector<std::string> vecProposed;  // the accounts the credentials dialog offered
    std::vector<std::string> vecShares;    // "add NAME ACCOUNT" / "delete NAME"
    int iShareResult = 0;
    std::string strDedicated;  // the password last given to the dedicated account
} g_ans;

int Choose(const char *, const std::vector<std::string> *, int iDefault)
{
    ++g_ans.iChooseCalls;
    g_ans.iDefaultOffered = iDefault;
    return g_ans.iChoice;
}
int AskCredentials(const char *, std::string *pstrUser, std::string *pstrPassword)
{
    g_ans.vecProposed.push_back(*pstrUser);
    if (!g_ans.bCredentials) return 0;
    *pstrUser = g_ans.strUser;
    *pstrPassword = g_ans.strPassword;
    return 1;
}
int ServerInfo(PluginServerInfo *pst)
{
    pst->uiHttpServerIp = 0x0a000001;
    pst->usHttpPort = 8810;
    pst->uiTftpBlockSize = g_ans.uiBlockSize;
    return 0;
}
uint32_t AddRoot(const char *, const char *pcDir)
{
    g_ans.vecRoots.push_back(pcDir);
    return 0;
}
int AddShare(const char *pcName, const char *, const char *pcAccount)
{
    g_ans.vecShares.push_back(std::string("add ") + pcName + " " + pcAccount);
    return g_ans.iShareResult;
}
int DeleteShare(const char *pcName)
{
    g_ans.vecShares.push_back(std::string("delete ") + pcName);
    return 0;
}
void NoProgress(const char *, uint32_t) {}
void NoAdvance(uint32_t, const char *) {}
void NoClose() {}

void InstallHost(const std::string &strMenuDir = "pxelinux/pxelinux.cfg")
{
    test_host::Install(strMenuDir);
    PluginUtilTable st = PluginHostTable();
    st.apfnSlot[UTIL_GET_WIM_IMAGE_NAMES] = reinterpret_cast<void *>(&GetWimImageNames);
    st.apfnSlot[UTIL_ADD_FILES_TO_WIM] = reinterpret_cast<void *>(&AddFilesToWim);
    st.apfnSlot[UTIL_REGEX_MATCHES] = reinterpret_cast<void *>(&UTIL_RegexMatches);
    st.apfnSlot[UTIL_CRYPT_STRING] = reinterpret_cast<void *>(&UTIL_CryptString);
    st.apfnSlot[UTIL_GET_SERVER_INFO] = reinterpret_cast<void *>(&ServerInfo);
    st.apfnSlot[UTIL_ADD_TFTP_ROOT] = reinterpret_cast<void *>(&AddRoot);
    st.apfnSlot[UTIL_ADD_SHARE] = reinterpret_cast<void *>(&AddShare);
    st.apfnSlot[UTIL_DELETE_SHARE] = reinterpret_cast<void *>(&DeleteShare);
    st.apfnSlot[UTIL_CHOOSE_ITEM] = reinterpret_cast<void *>(&Choose);
    st.apfnSlot[UTIL_ASK_CREDENTIALS] = reinterpret_cast<void *>(&AskCredentials);
    st.apfnSlot[UTIL_PROGRESS_SHOW] = reinterpret_cast<void *>(&NoProgress);
    st.apfnSlot[UTIL_PROGRESS_ADVANCE] = reinterpret_cast<void *>(&NoAdvance);
    st.apfnSlot[UTIL_PROGRESS_CLOSE] = reinterpret_cast<void *>(&NoClose);
    PluginSetHost(&st, "PLUG_OSPREY");
    g_ans = Answers{};
    // Accepts exactly kiv / s3cret and the dedicated account's last password, as the share
    // would; the dedicated account is never touched on this machine.
    SetSambaReadiness([](uint32_t) { return std::string(); });
    SetAccountSetter([](const std::string &, const std::string &strPassword) {
        g_ans.strDedicated = strPassword;
        return true;
    });
    SetCredentialsCheck([](const std::string &, const std::string &u, const std::string &p,
                           uint32_t) {
        return (u == "kiv" && p == "s3cret") || (u == "kivpxe-share" && p == g_ans.strDedicated);
    });
}

// A WIM of the given images, each holding the files {path, content}.
void MakeWim(const std::string &strWim, const std::vector<std::string> &vecNames,
             const std::vector<std::pair<std::string, std::string>> &vecFiles,
             const std::string &strScratch)
{
    for (size_t i = 0; i < vecNames.size(); ++i) {
        std::string strDir = strScratch + "/img" + std::to_string(i);
        for (const auto &[strPath, strText] : vecFiles) WriteText(strDir + "/" + strPath, strText);
        std::vector<std::string> argv = {"wimlib-imagex", i == 0 ? "capture" : "append", strDir,
                                         strWim, vecNames[i]};
        if (i + 1 == vecNames.size()) argv.push_back("--boot");
        ASSERT_EQ(test_host::Run(argv), 0) << strWim;
    }
}

// A Windows-shaped source: install.wim with the given images, a two-image boot.wim holding the
// boot manager files, boot/boot.sdi and autorun.inf.
std::string MakeSource(const test_host::WorkDir &work, const std::vector<std::string> &vecImages,
                       bool b64)
{
    std::string strSrc = work.Path("win-src");
    fs::create_directories(strSrc + "/sources");
    MakeWim(strSrc + "/sources/install.wim", vecImages, {{"Windows/notepad.exe", "np"}},
            work.Path("scratch-i"));
    MakeWim(strSrc + "/sources/boot.wim", {"Microsoft Windows PE", "Microsoft Windows Setup"},
            {{"Windows/Boot/PXE/pxeboot.n12", "PXEBOOT"},
             {"Windows/Boot/PXE/bootmgr.exe", "BOOTMGR"},
             {"Windows/Boot/EFI/bootmgfw.efi", "BOOTMGFW"},
             {"setup.exe", "setup"}},
            work.Path("scratch-b"));
    WriteText(strSrc + "/boot/boot.sdi", "SDI");
    WriteText(strSrc + "/autorun.inf",
              b64 ? "[AutoRun.Amd64]\r\nopen=setup.exe\r\nlabel=x64 media\r\n"
                  : "[AutoRun]\r\nopen=setup.exe\r\n");
    return strSrc;
}

const char *PROFILE = R"([
 {"OSName": "Windows 10", "PXEDefaultCfg": "win.menu", "AutoRespCfg": "win.xml", "BootWimPath": "sources/boot.wim",
  "OSMatchRequest": [{"Condition": "WimContains", "Path": "sources/install.wim", "MatchRegex": "Windows 10"}]},
 {"OSName": "Windows Server 2016", "PXEDefaultCfg": "win.menu", "AutoRespCfg": "win.xml", "BootWimPath": "sources/boot.wim",
  "OSMatchRequest": [{"Condition": "WimContains", "Path": "sources/install.wim", "MatchRegex": "Server 2016"}]}
])";

// The data directory the plug-in works in: profile, templates, agent files (stand-ins).
void MakeDataDir(const test_host::WorkDir &work)
{
    WriteText(work.Path("plugin/plug_osprey.json"), PROFILE);
    WriteText(work.Path("pxelinux/pxelinux.cfg/win.menu"),
              "PXE OSPREY/boot/pxeboot.n12 $CLIENT_MAC$\n");
    WriteText(work.Path("kickstart/win.xml"),
              "<unattend>\n<!-- PRODUCT_KEY_FLAG <Key>XXXXX-XXXXX-XXXXX-XXXXX-XXXXX</Key> "
              "PRODUCT_KEY_FLAG -->\n<Index>$IMAGE_INDEX$</Index>\n</unattend>\n");
    WriteText(work.Path("kickstart/windows_install_first_cmd.bat"), "echo $SERVER_IP$\n");
    for (const char *pcBits : {"32", "64"}) {
        WriteText(work.Path(std::string("Ferrit/FERRIT_") + pcBits + ".exe"),
                  std::string("agent") + pcBits);
        WriteText(work.Path(std::string("Ferrit/wget_") + pcBits + ".exe"),
                  std::string("wget") + pcBits);
    }
    WriteText(work.Path("Ferrit/winpeshl.ini"),
              "[LaunchApps]\r\n%SYSTEMROOT%\\System32\\FERRIT.exe\r\n");
    WriteText(work.Path("Ferrit/wim_param.bin"), std::string(100, '\0'));
    WriteText(
        work.Path("Ferrit/Ferrit.json"),
        "{\"DOMAIN\": \".\", \"USERNAME\": \"\", \"PASSWORD\": \"\", \"NO_REBOOT\": \"NO\"}\n");
    fs::create_directories(work.Path("pxelinux/OSPREY/boot/optimize"));
    for (const char *pc : {"bcd_tftp_1408", "bcd_uefi_tftp_1408", "bcd_tftp_4096"})
        WriteText(work.Path(std::string("pxelinux/OSPREY/boot/optimize/") + pc), pc);
}

ServiceStartRequest StartRequest(const std::string &strSrc)
{
    ServiceStartRequest r;
    r.server_ip = 0x0a000001;
    r.server_mask = 0xffffff00;
    r.source_dir = strSrc;
    r.http_port = 8810;
    return r;
}

TEST(OspreyMatch, WimImageNamesAndTheBootWimDecide)
{
    test_host::WorkDir work;
    InstallHost();
    MakeDataDir(work);
    ASSERT_EQ(LoadProfile(OSPREY_FLAVOR), 1) << test_host::Logs().back();
    EXPECT_TRUE(fs::is_directory(work.Path("driver/Windows/Windows_Server_2016")));
    struct {
        const char *pcName;
        std::vector<std::string> vecImages;
        bool bRemoveBootWim;
        const char *pcActive;  // null: no match
    } cases[] = {
        {"client images", {"Windows 10 Pro", "Windows 10 Education"}, false, "Windows 10"},
        {"server images", {"Windows Server 2016 SERVERSTANDARD"}, false, "Windows Server 2016"},
        {"no boot WIM", {"Windows 10 Pro"}, true, nullptr},
        {"unknown images", {"Something Else"}, false, nullptr},
    };
    for (const auto &c : cases) {
        fs::remove_all(work.Path("win-src"));
        std::string strSrc = MakeSource(work, c.vecImages, true);
        if (c.bRemoveBootWim) fs::remove(strSrc + "/sources/boot.wim");
        ActiveOs() = nullptr;
        EXPECT_EQ(IsIsoMatch(strSrc.c_str(), nullptr), c.pcActive ? 1 : 0) << c.pcName;
        if (c.pcActive && ActiveOs()) {
            EXPECT_EQ(ActiveOs()->strOSName, c.pcActive) << c.pcName;
        }
    }
}

TEST(OspreyService, ImageChoiceBootFilesWimAndStop)
{
    struct {
        const char *pcName;
        std::vector<std::string> vecImages;
        int iChoice;
        bool b64;
        int iCalls, iDefault;
        const char *pcIndex, *pcError;
    } cases[] = {
        {"one image, no question", {"Windows 10 Pro"}, 5, false, 0, -1, "1", ""},
        {"datacenter preselected",
         {"Windows Server 2016 SERVERSTANDARD", "Windows Server 2016 SERVERDATACENTER",
          "Windows Server 2016 SERVERSTANDARDCORE"},
         2,
         true,
         1,
         1,
         "3",
         ""},
        {"cancelled",
         {"Windows 10 Pro", "Windows 10 Home"},
         -1,
         true,
         1,
         1,
         "",
         "User canceled the operation"},
    };
    for (const auto &c : cases) {
        test_host::WorkDir work;
        InstallHost();
        MakeDataDir(work);
        ASSERT_EQ(LoadProfile(OSPREY_FLAVOR), 1);
        std::string strSrc = MakeSource(work, c.vecImages, c.b64);
        ASSERT_EQ(IsIsoMatch(strSrc.c_str(), nullptr), 1) << c.pcName;
        g_ans.iChoice = c.iChoice;
        ServiceStartRequest req = StartRequest(strSrc);
        int iResult = OspreyServiceStart(&req);
        EXPECT_EQ(req.error_text, c.pcError) << c.pcName;
        EXPECT_EQ(iResult != 0, *c.pcError != '\0') << c.pcName;
        EXPECT_EQ(g_ans.iChooseCalls, c.iCalls) << c.pcName;
        if (c.iCalls) {
            EXPECT_EQ(g_ans.iDefaultOffered, c.iDefault) << c.pcName;
        }
        if (*c.pcError) continue;
        EXPECT_EQ(OspreyImageIndex(), c.pcIndex) << c.pcName;
        EXPECT_EQ(OspreyImageName(), c.vecImages[std::stoi(c.pcIndex) - 1]);
        EXPECT_EQ(g_ans.vecRoots, (std::vector<std::string>{work.Path("pxelinux/OSPREY"), strSrc}));
        std::string strBoot = work.Path("pxelinux/OSPREY/boot/");
        EXPECT_EQ(ReadText(strBoot + "boot.sdi"), "SDI");
        EXPECT_EQ(ReadText(strBoot + "bcd"), "bcd_tftp_1408");
        EXPECT_EQ(ReadText(work.Path("pxelinux/OSPREY/Boot/BCD")), "bcd_tftp_1408");
        EXPECT_EQ(ReadText(work.Path("pxelinux/OSPREY/Boot/UEFI/BCD")), "bcd_uefi_tftp_1408");
        EXPECT_EQ(ReadText(strBoot + "bcd_uefi"), "bcd_uefi_tftp_1408");
        EXPECT_EQ(ReadText(strBoot + "pxeboot.n12"), "PXEBOOT");
        EXPECT_EQ(ReadText(work.Path("pxelinux/OSPREY/bootmgr.exe")), "BOOTMGR");
        EXPECT_EQ(ReadText(work.Path("pxelinux/pxelinux.efi.windows")), "BOOTMGFW");
        EXPECT_FALSE(fs::exists(work.Path("Ferrit/Ferrit.json.tmp")));
        // The seven files in the Setup image, the agent of the source's architecture.
        std::string strList;
        ASSERT_EQ(test_host::Run({"wimlib-imagex", "dir", strBoot + "KIVBoot.wim", "2"}, &strList),
                  0);
        for (const char *pc : {"/Windows/System32/FERRIT.exe", "/Windows/System32/wget.exe",
                               "/Windows/System32/winpeshl.ini", "/Windows/System32/Ferrit.json",
                               "/$WinPEDriver$", "/Windows/System32/wim_param.bin"})
            EXPECT_NE(strList.find(pc), std::string::npos) << c.pcName << " " << pc;
        ASSERT_EQ(test_host::Run({"wimlib-imagex", "extract", strBoot + "KIVBoot.wim", "2",
                                  "/Windows/System32/FERRIT.exe", "/Windows/System32/Ferrit.json",
                                  "--dest-dir=" + work.Path("out"), "--no-acls"}),
                  0);
        EXPECT_EQ(ReadText(work.Path("out/FERRIT.exe")), c.b64 ? "agent64" : "agent32") << c.pcName;
        EXPECT_NE(ReadText(work.Path("out/Ferrit.json"))
                      .find("\"IMAGE_INDEX\" : \"" + std::string(c.pcIndex) + "\""),
                  std::string::npos);

        OspreyServiceStop();
        for (const char *pc : {"boot.sdi", "KIVBoot.wim", "bcd", "bcd_uefi", "pxeboot.n12"})
            EXPECT_FALSE(fs::exists(strBoot + pc)) << pc;
        EXPECT_FALSE(fs::exists(work.Path("pxelinux/pxelinux.efi.windows")));
        EXPECT_FALSE(fs::exists(work.Path("pxelinux/OSPREY/Boot")));
        EXPECT_TRUE(fs::exists(strBoot + "optimize/bcd_tftp_1408"));
    }
}

// configure.py stores the operator's own account as the dialog does: the plug-in reads it back
// and uses it without a question; root is refused.
TEST(OspreyAgentParam, ConfigureStoresTheOperatorsAccount)
{
    test_host::WorkDir work;
    InstallHost();
    MakeDataDir(work);
    WriteText(work.Path("pw"), "s3cret\n");
    std::string strTool = std::string(KIV_SOURCE_DIR) + "/tools/configure.py";
    auto configure = [&](const std::string &strUser) {
        return test_host::Run({"python3", strTool, work.Path(), "--windows-mode", "share",
                               "--windows-user", strUser, "--windows-password-file",
                               work.Path("pw")});
    };
    EXPECT_NE(configure("root"), 0);
    ASSERT_EQ(configure("WORKGROUP\\kiv"), 0);
    std::string strTemplate = ReadText(work.Path("Ferrit/Ferrit.json"));
    EXPECT_NE(strTemplate.find("\"USERNAME\" : \"kiv\""), std::string::npos) << strTemplate;
    EXPECT_NE(strTemplate.find("\"DOMAIN\" : \"WORKGROUP\""), std::string::npos);
    EXPECT_NE(strTemplate.find("\"NO_REBOOT\" : \"NO\""), std::string::npos);
    EXPECT_EQ(strTemplate.find("s3cret"), std::string::npos);
    auto at = strTemplate.find("\"PASSWORD\" : \"") + 14;
    EXPECT_EQ(DecryptTemplatePassword(strTemplate.substr(at, strTemplate.find('"', at) - at)),
              "s3cret");
    EXPECT_NE(ReadText(work.Path("conf/orv.json")).find("\"http_disk_mode\": 0"),
              std::string::npos);
    g_ans.bCredentials = false;
    auto fnShare = [](const std::string &strUser) {
        return AddShare(OSPREY_SHARE_NAME, "/srv/win", strUser.c_str()) == 0;
    };
    ServiceStartRequest req = StartRequest("/srv/win");
    EXPECT_EQ(WriteAgentParameters(work.Path("Ferrit/Ferrit.json"), req,
                                   work.Path("Ferrit/Ferrit.json.tmp"), fnShare),
              AGENT_PARAM_OK);
    EXPECT_TRUE(g_ans.vecProposed.empty());
    EXPECT_EQ(g_ans.vecShares, std::vector<std::string>{"add KIVPXE_ISO1 kiv"});
}

// A start that fails after the share was added (the operator cancels the credentials of their
// own account) removes the share and the boot files it placed.
TEST(OspreyService, FailedStartLeavesNoShareBehind)
{
    test_host::WorkDir work;
    InstallHost();
    MakeDataDir(work);
    ASSERT_EQ(LoadProfile(OSPREY_FLAVOR), 1);
    std::string strSrc = MakeSource(work, {"Windows 10 Pro"}, true);
    ASSERT_EQ(IsIsoMatch(strSrc.c_str(), nullptr), 1);
    WriteText(work.Path("Ferrit/Ferrit.json"),
              "{\"DOMAIN\": \".\", \"USERNAME\": \"kiv\", \"PASSWORD\": \"\"}\n");
    g_ans.bCredentials = false;
    ServiceStartRequest req = StartRequest(strSrc);
    EXPECT_NE(OspreyServiceStart(&req), 0);
    EXPECT_EQ(req.error_text, "User stop the operation");
    EXPECT_EQ(g_ans.vecShares,
              (std::vector<std::string>{"add KIVPXE_ISO1 kiv", "delete KIVPXE_ISO1"}));
    for (const char *pc : {"boot/boot.sdi", "boot/KIVBoot.wim", "boot/bcd", "Boot"})
        EXPECT_FALSE(fs::exists(work.Path("pxelinux/OSPREY/") + pc)) << pc;
}

// The stores the data tree ships, placed where the boot manager of each firmware asks for them
// (the DHCP service names the UEFI one in option 252): each names the loader of its firmware.
TEST(OspreyService, EachFirmwareReadsTheStoreOfItsLoader)
{
    test_host::WorkDir work;
    InstallHost();
    MakeDataDir(work);
    std::string strOptimize = work.Path("pxelinux/OSPREY/boot/optimize");
    fs::remove_all(strOptimize);
    ASSERT_EQ(test_host::Run({"/usr/bin/python3",
                              std::string(KIV_SOURCE_DIR) + "/tools/datadir/make-bcd.py",
                              strOptimize, "pxelinux"}),
              0)
        << "python3-hivex (tools/packages/osprey.list)";
    ASSERT_EQ(LoadProfile(OSPREY_FLAVOR), 1);
    std::string strSrc = MakeSource(work, {"Windows 10 Pro"}, true);
    ASSERT_EQ(IsIsoMatch(strSrc.c_str(), nullptr), 1);
    ServiceStartRequest req = StartRequest(strSrc);
    ASSERT_EQ(OspreyServiceStart(&req), 0) << req.error_text;
    struct Case {
        const char *pcStore, *pcLoader;
    } astCases[] = {{"Boot/BCD", "\\windows\\system32\\boot\\winload.exe"},
                    {"Boot/UEFI/BCD", "\\windows\\system32\\boot\\winload.efi"}};
    for (const Case &c : astCases) {
        std::string strLoader;
        ASSERT_EQ(
            test_host::Run({"hivexget", work.Path("pxelinux/OSPREY/") + c.pcStore,
                            "\\Objects\\{7619dcc8-fafe-11d9-b411-000476eba25f}\\Elements\\12000002",
                            "Element"},
                           &strLoader),
            0)
            << c.pcStore;
        EXPECT_EQ(strLoader, std::string(c.pcLoader) + "\n") << c.pcStore;
    }
    OspreyServiceStop();
    EXPECT_FALSE(fs::exists(work.Path("pxelinux/OSPREY/Boot")));
}

TEST(OspreyService, OptimizedBcdFollowsTheBlockSize)
{
    const std::pair<uint32_t, const char *> cases[] = {
        {1408, "bcd_tftp_1408"}, {4096, "bcd_tftp_4096"}, {8192, ""}};
    for (const auto &[uiSize, pcExpected] : cases) {
        test_host::WorkDir work;
        InstallHost();
        MakeDataDir(work);
        g_ans.uiBlockSize = uiSize;
        CopyOptimizedBcd(work.Path("pxelinux/OSPREY/boot"));
        EXPECT_EQ(ReadText(work.Path("pxelinux/OSPREY/boot/bcd")), pcExpected) << uiSize;
        EXPECT_EQ(fs::exists(work.Path("pxelinux/OSPREY/boot/bcd_uefi")), uiSize == 1408) << uiSize;
    }
}

TEST(OspreyAgentParam, EncodingsAndTemplatePassword)
{
    test_host::WorkDir work;
    InstallHost();
    EXPECT_EQ(ReversedHex("abc"), "636261");
    EXPECT_EQ(ReversedHex(""), "");
    std::string strCipher = EncryptTemplatePassword("pa\\ss word");
    EXPECT_EQ(strCipher.size(), 32u);
    EXPECT_EQ(strCipher.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(DecryptTemplatePassword(strCipher), "pa\\ss word");
    EXPECT_EQ(DecryptTemplatePassword("00112233"), "");
}

TEST(OspreyAgentParam, CopyLayoutCredentialsAndCancel)
{
    test_host::WorkDir work;
    InstallHost();
    std::string strTemplate = work.Path("Ferrit/Ferrit.json"),
                strCopy = work.Path("Ferrit/Ferrit.json.tmp");
    ServiceStartRequest req = StartRequest("/srv/win");
    auto fnShare = [](const std::string &strUser) {
        return AddShare(OSPREY_SHARE_NAME, "/srv/win", strUser.c_str()) == 0;
    };
    g_ans.iShareResult = 0;

    // No account stored: the dedicated account with a fresh password, no question, the
    // template untouched, the share for that account only.
    std::string strEmpty =
        "{\"DOMAIN\": \".\", \"USERNAME\": \"\", \"PASSWORD\": \"\", \"NO_REBOOT\": \"NO\"}\n";
    WriteText(strTemplate, strEmpty);
    std::vector<std::string> vecSet;
    SetAccountSetter([&](const std::string &strUser, const std::string &strPassword) {
        vecSet.push_back(strUser + " " + strPassword);
        return true;
    });
    SetCredentialsCheck([&](const std::string &, const std::string &u, const std::string &p,
                            uint32_t) { return "kivpxe-share " + p == vecSet.back() && u != ""; });
    g_ans.bCredentials = false;
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(WriteAgentParameters(strTemplate, req, strCopy, fnShare), AGENT_PARAM_OK);
    ASSERT_EQ(vecSet.size(), 2u);
    EXPECT_NE(vecSet[0], vecSet[1]) << "a fresh password at each start";
    std::string strPassword = vecSet[1].substr(vecSet[1].find(' ') + 1);
    EXPECT_GE(strPassword.size(), 20u);
    std::string strDedicated = ReadText(strCopy);
    EXPECT_NE(strDedicated.find("\"USERNAME\" : \"kivpxe-share\""), std::string::npos);
    EXPECT_NE(strDedicated.find("\"PASSWORD\" : \"" + ReversedHex(strPassword) + "\""),
              std::string::npos);
    EXPECT_EQ(ReadText(strTemplate), strEmpty);
    EXPECT_TRUE(g_ans.vecProposed.empty()) << "asked " << g_ans.vecProposed.size() << " times";
    EXPECT_EQ(g_ans.vecShares, (std::vector<std::string>{"add KIVPXE_ISO1 kivpxe-share",
                                                         "add KIVPXE_ISO1 kivpxe-share"}));
    // Samba cannot take the account: no question, a clear failure.
    SetAccountSetter([](const std::string &, const std::string &) { return false; });
    EXPECT_EQ(WriteAgentParameters(strTemplate, req, strCopy, fnShare), AGENT_PARAM_NO_ACCOUNT);
    EXPECT_TRUE(g_ans.vecProposed.empty());
    InstallHost();  // the test host's account and check again

    // The operator's own account, whose stored password fails: asked, proposing that account
    // (never the server's own); cancelled: nothing written, the template untouched.
    WriteText(strTemplate, "{\"DOMAIN\": \".\", \"USERNAME\": \"kiv\", \"PASSWORD\": \"\", "
                           "\"NO_REBOOT\": \"NO\"}\n");
    std::remove(strCopy.c_str());
    g_ans.bCredentials = false;
    std::string strBefore = ReadText(strTemplate);
    EXPECT_EQ(WriteAgentParameters(strTemplate, req, strCopy, fnShare), AGENT_PARAM_CANCELLED);
    EXPECT_FALSE(fs::exists(strCopy));
    EXPECT_EQ(ReadText(strTemplate), strBefore);
    EXPECT_EQ(g_ans.vecProposed, std::vector<std::string>{"kiv"});

    // Answered: the template keeps the account with the password encrypted, the copy has it
    // reversed-hex and the share path with single backslashes.
    g_ans.bCredentials = true;
    g_ans.vecShares.clear();
    ASSERT_EQ(WriteAgentParameters(strTemplate, req, strCopy, fnShare), AGENT_PARAM_OK);
    EXPECT_EQ(g_ans.vecShares.back(), "add KIVPXE_ISO1 kiv");
    EXPECT_EQ(ReadText(strCopy), "{\n"
                                 "   \"DOMAIN\" : \".\",\n"
                                 "   \"HTTP_PORT\" : \"8810\",\n"
                                 "   \"IMAGE_INDEX\" : \"" +
                                     OspreyImageIndex() +
                                     "\",\n"
                                     "   \"KIV_PXE_SHARE_PATH\" : \"\\\\10.0.0.1\\KIVPXE_ISO1\",\n"
                                     "   \"NO_REBOOT\" : \"NO\",\n"
                                     "   \"PASSWORD\" : \"746572633373\",\n"
                                     "   \"SERVER_IP\" : \"10.0.0.1\",\n"
                                     "   \"SERVER_MASK\" : \"255.255.255.0\",\n"
                                     "   \"USERNAME\" : \"kiv\"\n"
                                     "}\n");
    std::string strTemplateNow = ReadText(strTemplate);
    EXPECT_NE(strTemplateNow.find("\"USERNAME\" : \"kiv\""), std::string::npos);
    EXPECT_EQ(strTemplateNow.find("s3cret"), std::string::npos);

    // The stored account now passes without a question.
    g_ans.bCredentials = false;
    g_ans.vecProposed.clear();
    EXPECT_EQ(WriteAgentParameters(strTemplate, req, strCopy, fnShare), AGENT_PARAM_OK);
    EXPECT_TRUE(g_ans.vecProposed.empty());

    // HTTP-disk mode: no share path, credentials as in the template; a broken template is -1.
    WriteText(strTemplate, "{\"DOMAIN\": \".\"}");
    ASSERT_EQ(WriteAgentParametersHttpDisk(strTemplate, req, strCopy), AGENT_PARAM_OK);
    EXPECT_EQ(ReadText(strCopy).find("KIV_PXE_SHARE_PATH"), std::string::npos);
    WriteText(strTemplate, "{broken");
    EXPECT_EQ(WriteAgentParametersHttpDisk(strTemplate, req, strCopy), AGENT_PARAM_BAD_TEMPLATE);
}

TEST(OspreyCfgFile, ClientFilesProductKeyAndDiskUrl)
{
    test_host::WorkDir work;
    InstallHost();
    MakeDataDir(work);
    ASSERT_EQ(LoadProfile(OSPREY_FLAVOR), 1);
    ActiveOs() = &OsList()[0];
    ClientCfgRequest r;
    r.server_ip = 0x0a000001;
    r.client_ip = 0xc0a8010a;
    r.mask = 0xffffff00;
    const uint8_t mac[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
    std::copy(mac, mac + 6, r.mac);
    r.http_disk_url = "http://10.0.0.1:8810/ISO1/_RAWISO_.iso";
    r.auto_install = 1;
    r.client_token = "tok77";
    for (bool bKey : {false, true}) {
        r.winkey_enable = bKey;
        r.winkey = "AAAAA-BBBBB-CCCCC-DDDDD-EEEEE";
        ASSERT_EQ(OspreyMakeCfgFile(&r, "2"), 0);
        std::string strAuto = ReadText(work.Path("kickstart/01-00-1a-2b-3c-4d-5e.auto"));
        std::string strExpected =
            bKey ? "  <Key>AAAAA-BBBBB-CCCCC-DDDDD-EEEEE</Key>  \r\n"
                 : "<!-- PRODUCT_KEY_FLAG <Key>XXXXX-XXXXX-XXXXX-XXXXX-XXXXX</Key> "
                   "PRODUCT_KEY_FLAG -->\r\n";
        EXPECT_EQ(strAuto,
                  "<!-- HTTPDISKURL=http://10.0.0.1:8810/ISO1/_RAWISO_.iso -->\r\n<unattend>\r\n" +
                      strExpected + "<Index>2</Index>\r\n</unattend>\r\n");
    }
    EXPECT_EQ(ReadText(work.Path("pxelinux/pxelinux.cfg/01-00-1a-2b-3c-4d-5e")),
              "PXE OSPREY/boot/pxeboot.n12 00-1a-2b-3c-4d-5e\n");
    EXPECT_EQ(ReadText(work.Path("kickstart/01-00-1a-2b-3c-4d-5e.first")), "echo 10.0.0.1\n");
    std::vector<TemplatePair> vec = OspreyPlaceholderTable(r, OsList()[0], 8810, "2");
    ASSERT_EQ(vec.size(), size_t(OSPREY_PLACEHOLDER_COUNT));
    EXPECT_EQ(vec[0].strKey, "$HTTP_DISK_URL$");
    EXPECT_EQ(vec[30].strKey, "$CLIENT_IP_B0$");
    EXPECT_EQ(vec[30].strValue, "10");
    EXPECT_EQ(vec[43].strKey, "$DRIVER_PATH$");
    EXPECT_EQ(vec[43].strValue, "driver/Windows/Windows_10");
    EXPECT_EQ(vec[45].strValue, "300");
    EXPECT_EQ(vec[49].strKey, "$CLIENT_TOKEN$");
    EXPECT_EQ(vec[49].strValue, "tok77");
}

}  // namespace

namespace {

// The shipped profile loads with every loader's templates, recognises a Windows 10 source, and
// its answer file expands to well-formed XML with the HTTP-disk line in front.
TEST(OspreyShipped, ProfileTemplatesAndAnswerFile)
{
    test_host::WorkDir work;
    fs::copy(std::string(KIV_SOURCE_DIR) + "/data", work.Path(), fs::copy_options::recursive);
    for (const char *pcMenuDir : {"pxelinux/pxelinux.cfg", "grub2/grub2.cfg", "ipxe/ipxe.cfg"}) {
        InstallHost(pcMenuDir);
        ASSERT_EQ(LoadProfile(OSPREY_FLAVOR), 1) << pcMenuDir << ": " << test_host::Logs().back();
        EXPECT_EQ(OsList().size(), 9u);
    }
    EXPECT_TRUE(fs::is_directory(work.Path("driver/Windows/Windows_Server_2012_R2")));
    std::string strSrc = MakeSource(work, {"Windows 10 Home", "Windows 10 Pro"}, true);
    ASSERT_EQ(IsIsoMatch(strSrc.c_str(), nullptr), 1);
    EXPECT_EQ(ActiveOs()->strOSName, "Windows 10");

    ClientCfgRequest r;
    r.uefi = 1;
    r.server_ip = 0x0a000001;
    r.client_ip = 0x0a000010;
    r.mask = 0xffffff00;
    r.boot_file[CLIENT_BOOT_FILE_ROOT_PASSWORD] = "s3cret-Test";
    r.http_disk_url = "http://10.0.0.1:8810/ISO1/_RAWISO_.iso";
    r.auto_install = 1;
    r.winkey_enable = 1;
    r.winkey = "AAAAA-BBBBB-CCCCC-DDDDD-EEEEE";
    ASSERT_EQ(OspreyMakeCfgFile(&r, "2"), 0);
    std::string strAuto = work.Path("kickstart/01-00-00-00-00-00-00.auto");
    std::string strText = ReadText(strAuto);
    EXPECT_EQ(strText.rfind("<!-- HTTPDISKURL=http://10.0.0.1:8810/ISO1/_RAWISO_.iso -->\r\n", 0),
              0u);
    EXPECT_NE(strText.find("<Key>AAAAA-BBBBB-CCCCC-DDDDD-EEEEE</Key>"), std::string::npos);
    EXPECT_NE(strText.find("<Value>2</Value>"), std::string::npos);
    EXPECT_EQ(strText.find('$'), std::string::npos) << "placeholder left";
    EXPECT_EQ(test_host::Run({"xmllint", "--noout", strAuto}), 0);
    EXPECT_NE(ReadText(work.Path("ipxe/ipxe.cfg/01-00-00-00-00-00-00"))
                  .find("chain tftp://10.0.0.1/OSPREY/boot/bootmgfw.efi"),
              std::string::npos);
    EXPECT_NE(ReadText(work.Path("kickstart/01-00-00-00-00-00-00.first"))
                  .find("tftp -i 10.0.0.1 GET kickstart/FERRIT/InstallFinish"),
              std::string::npos);
}

// Every shipped answer file as a client gets it: expanded by the plug-in for each firmware and
// disk rule, then taken through the agent's chain (firmware sections, disk choice with USB disks
// refused, language). Setup must still get a well-formed file that installs to the chosen disk.
TEST(OspreyShipped, EveryAnswerFileSurvivesTheAgent)
{
    test_host::WorkDir work;
    fs::copy(std::string(KIV_SOURCE_DIR) + "/data", work.Path(), fs::copy_options::recursive);
    InstallHost();
    ASSERT_EQ(LoadProfile(OSPREY_FLAVOR), 1) << test_host::Logs().back();
    std::set<std::string> setShipped, setChecked;
    for (const auto &entry : fs::directory_iterator(work.Path("kickstart"))) {
        std::string strName = entry.path().filename();
        if (strName.rfind("osprey-", 0) == 0 && entry.path().extension() == ".xml")
            setShipped.insert(strName);
    }
    auto xpath = [&](const std::string &strFile, const std::string &strExpr) {
        std::string strOut;
        test_host::Run({"xmllint", "--xpath", strExpr, strFile}, &strOut);
        while (!strOut.empty() && strOut.back() == '\n') strOut.pop_back();
        return strOut;
    };
    for (auto &os : OsList()) {
        for (int iUefi : {0, 1}) {
            const std::string &strTemplate = iUefi ? os.strAutoRespCfgUEFI : os.strAutoRespCfg;
            if (!setChecked.insert(strTemplate + std::to_string(iUefi)).second) continue;
            for (uint8_t ucBySize : {0, 1}) {
                SCOPED_TRACE(strTemplate + (iUefi ? " uefi" : " bios") +
                             (ucBySize ? " by-size" : " by-name"));
                ActiveOs() = &os;
                ClientCfgRequest r;
                r.uefi = iUefi;
                r.server_ip = 0x0a000001;
                r.client_ip = 0x0a000010;
                r.mask = 0xffffff00;
                r.auto_install = 1;
                r.disk_select = ucBySize;
                r.disk_size_gb = 480;
                ASSERT_EQ(OspreyMakeCfgFile(&r, "1"), 0);
                std::string strAuto = ReadText(work.Path("kickstart/01-00-00-00-00-00-00.auto"));

                ferrit::test::TempDir agentDir;
                agentDir.Write(ferrit::kAnswerDownload, strAuto);
                ferrit::test::FakeSystem sys;
                sys.uefi = iUefi;
                auto disk = [](int iNumber, uint32_t uiBus, uint32_t uiGb) {
                    ferrit::DiskInfo d;
                    d.szPath = "\\\\?\\disk" + std::to_string(iNumber);
                    d.iNumber = iNumber;
                    d.uiBusType = uiBus;
                    d.uiSizeGb = uiGb;
                    return d;
                };
                sys.disks = {disk(0, 7, 16), disk(1, 17, 250), disk(2, 11, 500)};  // USB first
                ferrit::AgentContext ctx(sys);
                ctx.params.szForbiddenUsbDisk = "YES";  // as shipped in Ferrit.json
                ferrit::FilterFirmwareSections(ferrit::kAnswerDownload, ferrit::kAnswerFile,
                                               sys.uefi);
                ferrit::SelectTargetDisk(ctx, ferrit::kAnswerFile);
                ferrit::AdjustLanguage(ferrit::kAnswerFile, false);
                EXPECT_FALSE(ferrit::IsManualInstall(ferrit::kAnswerFile));
                const int iDisk = ucBySize ? 2 : 1;
                EXPECT_EQ(ferrit::ReadDiskId(ferrit::kAnswerFile), iDisk);

                std::string strFile = (agentDir.path() / ferrit::kAnswerFile).string();
                ASSERT_EQ(test_host::Run({"xmllint", "--noout", strFile}), 0);
                auto el = [](const char *pc) {
                    return std::string("*[local-name()='") + pc + "']";
                };
                // one InstallTo per Setup component (x86 and amd64 in some templates)
                std::string strTo = "//" + el("InstallTo");
                std::string strCount = xpath(strFile, "count(" + strTo + ")");
                EXPECT_NE(strCount, "0");
                std::string strDisk = "[.='" + std::to_string(iDisk) + "']";
                auto count = [&](const std::string &strPath) {
                    return xpath(strFile, "count(" + strPath + ")");
                };
                EXPECT_EQ(count(strTo + "/" + el("DiskID") + strDisk), strCount);
                EXPECT_EQ(count(strTo + "/" + el("PartitionID") + (iUefi ? "[.='3']" : "[.='2']")),
                          strCount);
                EXPECT_EQ(count("//" + el("Disk") + "/" + el("DiskID") + strDisk), strCount);
                EXPECT_EQ(count("//" + el("DiskID")), std::to_string(2 * std::stoi(strCount)));
                EXPECT_EQ(count("//" + el("CreatePartition") + "/" + el("Type") + "[.='EFI']"),
                          iUefi ? strCount : "0");
            }
        }
    }
    std::set<std::string> setUsed;
    for (const auto &os : OsList()) setUsed.insert({os.strAutoRespCfg, os.strAutoRespCfgUEFI});
    EXPECT_EQ(setUsed, setShipped) << "every shipped answer file is used by a record";
}

}  // namespace

namespace {

// The shared object as the host loads it: the eleven exports, the description in profile order
// with the active record marked, the OS type before and after a start, no virtual ISO.
TEST(OspreyShipped, SharedObjectExports)
{
    test_host::WorkDir work;
    InstallHost();
    MakeDataDir(work);
    std::string strSrc = MakeSource(work, {"Windows Server 2016 SERVERSTANDARD"}, true);
    void *pv = dlopen(KIV_BINARY_DIR "/plugins/PLUG_OSPREY.so", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(pv, nullptr) << dlerror();
    for (const char *pc : PLUGIN_EXPORT_NAMES) EXPECT_NE(dlsym(pv, pc), nullptr) << pc;
    reinterpret_cast<PFN_SetUtilCB>(dlsym(pv, "EXPORT_PLUGIN_API_SetUtilCB"))(&PluginHostTable());
    ASSERT_EQ(reinterpret_cast<PFN_CheckEnv>(dlsym(pv, "EXPORT_PLUGIN_API_CheckEnv"))(), 1);
    auto pfnType = reinterpret_cast<PFN_GetOSType>(dlsym(pv, "EXPORT_PLUGIN_API_GetOSType"));
    std::string strType;
    pfnType(&strType);
    EXPECT_EQ(strType, "Windows");
    ASSERT_EQ(reinterpret_cast<PFN_IsISOMatch>(dlsym(pv, "EXPORT_PLUGIN_API_IsISOMatch"))(
                  strSrc.c_str(), nullptr),
              1);
    std::string strDesc;
    reinterpret_cast<PFN_GetDesc>(dlsym(pv, "EXPORT_PLUGIN_API_GetDesc"))(0, &strDesc);
    EXPECT_NE(strDesc.find("Name: Osprey Server   \r\n"), std::string::npos);
    EXPECT_NE(strDesc.find("  -- Windows 10\r\n  -- Windows Server 2016  (* Current Active)\r\n"),
              std::string::npos);
    ServiceStartRequest req = StartRequest(strSrc);
    req.http_disk_mode = 1;  // no driver build present: refused with the reason
    EXPECT_NE(reinterpret_cast<PFN_ServiceStart>(dlsym(pv, "EXPORT_PLUGIN_API_ServiceStart"))(&req),
              0);
    EXPECT_NE(req.error_text.find("httpdisk_64.sys"), std::string::npos) << req.error_text;
    pfnType(&strType);
    EXPECT_EQ(strType, "Windows Server 2016 SERVERSTANDARD");
    PluginVirtIsoInfo stVirt;
    stVirt.usSupported = 7;
    reinterpret_cast<PFN_GetVirtISOInfo>(dlsym(pv, "EXPORT_PLUGIN_API_GetVirtISOInfo"))(&stVirt);
    EXPECT_EQ(stVirt.usSupported, 0);
    reinterpret_cast<PFN_ServiceStop>(dlsym(pv, "EXPORT_PLUGIN_API_ServiceStop"))(&req);
    EXPECT_FALSE(fs::exists(work.Path("pxelinux/OSPREY/boot/KIVBoot.wim")));
    dlclose(pv);
}

}  // namespace

namespace {

// The real Samba path: kivpxe-share made and given a password by smbpasswd, the usershare added
// by the host, the agent parameter file's password tried with smbclient against a real smbd.
// Run by osprey_samba_test.sh inside private mount and network namespaces (a private /etc, so
// neither this machine's users nor its Samba are touched).
TEST(OspreySamba, DedicatedAccountReadsTheShareOnly)
{
    if (getenv("KIV_SAMBA_NS") == nullptr)
        GTEST_SKIP() << "run inside its namespaces by osprey_samba_test.sh";
    test_host::WorkDir work;
    InstallHost();
    SetAccountSetter(nullptr);
    SetCredentialsCheck(nullptr);
    // What the start asks first: smbd answers on the server address, usershares are allowed.
    EXPECT_EQ(SambaMissingPiece(0x7f000001), "");
    EXPECT_NE(SambaMissingPiece(0x7f000002)
                  .find("needs smbd running: nothing answers on "
                        "127.0.0.2 TCP 445"),
              std::string::npos);
    std::string strSrc = work.Path("src");
    WriteText(strSrc + "/sources/install.wim", "WIM");
    fs::permissions(work.Path(), fs::perms::all);  // smbd serves it as kivpxe-share
    WriteText(work.Path("Ferrit/Ferrit.json"),
              "{\"DOMAIN\": \".\", \"USERNAME\": \"\", \"PASSWORD\": \"\"}\n");
    ServiceStartRequest req = StartRequest(strSrc);
    req.server_ip = 0x7f000001;
    auto fnShare = [&](const std::string &strUser) {
        return UTIL_AddShare(OSPREY_SHARE_NAME, strSrc.c_str(), strUser.c_str()) == 0;
    };
    std::string strCopy = work.Path("Ferrit/Ferrit.json.tmp");
    std::vector<std::string> vecPasswords;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(WriteAgentParameters(work.Path("Ferrit/Ferrit.json"), req, strCopy, fnShare),
                  AGENT_PARAM_OK)
            << ::testing::PrintToString(test_host::Logs());
        std::string strCopyText = ReadText(strCopy);
        const std::string strKey = "\"PASSWORD\" : \"";
        auto at = strCopyText.find(strKey) + strKey.size();
        std::string strHex = strCopyText.substr(at, strCopyText.find('"', at) - at);
        std::string strClear;
        for (size_t j = strHex.size(); j >= 2; j -= 2)
            strClear += char(std::stoi(strHex.substr(j - 2, 2), nullptr, 16));
        vecPasswords.push_back(strClear);
    }
    const std::string strShare = "//127.0.0.1/KIVPXE_ISO1";
    auto smb = [&](const std::string &strUser, const std::string &strPassword,
                   const std::string &strCommand) {
        WriteText(work.Path("auth"),
                  "username = " + strUser + "\npassword = " + strPassword + "\n");
        std::vector<std::string> argv = {"smbclient", strShare, "-t", "10", "-c", strCommand};
        if (strUser.empty())
            argv.push_back("-N");
        else
            argv.insert(argv.end(), {"-A", work.Path("auth")});
        std::string strOut;
        int iRc = test_host::Run(argv, &strOut);
        return std::make_pair(iRc, strOut);
    };
    auto [iRead, strRead] =
        smb("kivpxe-share", vecPasswords[1], "get sources/install.wim " + work.Path("got.wim"));
    EXPECT_EQ(iRead, 0) << strRead;
    EXPECT_EQ(ReadText(work.Path("got.wim")), "WIM");
    WriteText(work.Path("up.txt"), "x");
    auto [iPut, strPut] =
        smb("kivpxe-share", vecPasswords[1], "put " + work.Path("up.txt") + " up.txt");
    EXPECT_NE(strPut.find("NT_STATUS_ACCESS_DENIED"), std::string::npos) << strPut;
    EXPECT_FALSE(fs::exists(strSrc + "/up.txt"));
    EXPECT_NE(smb("kivpxe-share", vecPasswords[0], "ls").first, 0)
        << "the old password still works";
    EXPECT_NE(smb("", "", "ls").first, 0) << "a guest reads the share";
    // the account has no home and no login shell
    std::string strPasswd;
    test_host::Run({"getent", "passwd", "kivpxe-share"}, &strPasswd);
    EXPECT_NE(strPasswd.find(":/nonexistent:/usr/sbin/nologin"), std::string::npos) << strPasswd;
    EXPECT_FALSE(fs::exists("/nonexistent"));
    ASSERT_EQ(UTIL_DeleteShare(OSPREY_SHARE_NAME), 0);
    EXPECT_NE(smb("kivpxe-share", vecPasswords[1], "ls").first, 0);
    // usershares off (the private smb.conf of this namespace)
    ASSERT_EQ(test_host::Run({"sed", "-i", "s/usershare max shares = 10/usershare max shares = 0/",
                              "/etc/samba/smb.conf"}),
              0);
    EXPECT_NE(SambaMissingPiece(0x7f000001).find("needs Samba usershares"), std::string::npos);
}

}  // namespace
