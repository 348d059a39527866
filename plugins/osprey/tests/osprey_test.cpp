// PLUG_OSPREY against a synthetic Windows-shaped source made with wimlib-imagex: matching, the
// image choice, the boot files and the boot WIM, the agent parameter file and the client files.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <filesystem>

#include "osprey_agent_param.h"
#include "osprey_cfgfile.h"
#include "osprey_service.h"
#include "plugin_hostcalls.h"
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
} g_ans;

int Choose(const char *, const std::vector<std::string> *, int iDefault)
{
    ++g_ans.iChooseCalls;
    g_ans.iDefaultOffered = iDefault;
    return g_ans.iChoice;
}
int AskCredentials(const char *, std::string *pstrUser, std::string *pstrPassword)
{
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
int NoShare(const char *, const char *)
{
    return 1;
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
    st.apfnSlot[UTIL_ADD_SHARE] = reinterpret_cast<void *>(&NoShare);
    st.apfnSlot[UTIL_CHOOSE_ITEM] = reinterpret_cast<void *>(&Choose);
    st.apfnSlot[UTIL_ASK_CREDENTIALS] = reinterpret_cast<void *>(&AskCredentials);
    st.apfnSlot[UTIL_PROGRESS_SHOW] = reinterpret_cast<void *>(&NoProgress);
    st.apfnSlot[UTIL_PROGRESS_ADVANCE] = reinterpret_cast<void *>(&NoAdvance);
    st.apfnSlot[UTIL_PROGRESS_CLOSE] = reinterpret_cast<void *>(&NoClose);
    PluginSetHost(&st, "PLUG_OSPREY");
    g_ans = Answers{};
    // Accepts exactly kiv / s3cret, as the share would.
    SetCredentialsCheck([](const std::string &, const std::string &u, const std::string &p,
                           uint32_t) { return u == "kiv" && p == "s3cret"; });
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
    WriteText(
        strTemplate,
        "{\"DOMAIN\": \".\", \"USERNAME\": \"\", \"PASSWORD\": \"\", \"NO_REBOOT\": \"NO\"}\n");

    // Cancelled: nothing written, the template untouched.
    g_ans.bCredentials = false;
    std::string strBefore = ReadText(strTemplate);
    EXPECT_EQ(WriteAgentParameters(strTemplate, req, strCopy), AGENT_PARAM_CANCELLED);
    EXPECT_FALSE(fs::exists(strCopy));
    EXPECT_EQ(ReadText(strTemplate), strBefore);

    // Answered: the template keeps the account with the password encrypted, the copy has it
    // reversed-hex and the share path with single backslashes.
    g_ans.bCredentials = true;
    ASSERT_EQ(WriteAgentParameters(strTemplate, req, strCopy), AGENT_PARAM_OK);
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
    EXPECT_EQ(WriteAgentParameters(strTemplate, req, strCopy), AGENT_PARAM_OK);

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
