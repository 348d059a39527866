// Placeholders, profile loading and the order of the matching passes.
#include <gtest/gtest.h>

#include "heron_placeholders.h"
#include "plugin_match.h"
#include "plugin_profile.h"
#include "test_host.h"

using test_host::WriteText;

namespace {

const ProfileFlavor FLAVOR = {"plug_heron.json", "driver/Linux"};

ClientCfgRequest Request()
{
    ClientCfgRequest r;
    r.server_ip = 0xc0a80a01;  // 192.168.10.1
    r.client_ip = 0xc0a80a65;  // 192.168.10.101
    r.mask = 0xfffff000;       // 20 bits
    r.gateway = 0xc0a80afe;
    const uint8_t mac[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
    std::copy(mac, mac + 6, r.mac);
    r.boot_file[0] = "pxelinux.1408.0";
    r.boot_file[1] = "grub2.x64efi.all.0";
    r.boot_file[2] = "s3cret-Test";
    r.root_password_crypt = "$6$salt$hash";
    r.client_token = "tok42";
    r.disk_name = "/dev/nvme0n1";
    r.ext_boot_opt = " console=ttyS0,$HTTP_PORT$ ks=$KS_URL$";
    r.auto_install = 1;
    r.bkimg_index = 3;
    r.logo_timeout = 5;
    return r;
}

std::string Value(const std::vector<TemplatePair> &vec, const std::string &strKey)
{
    for (const TemplatePair &p : vec)
        if (p.strKey == strKey) return p.strValue;
    return "<missing>";
}

TEST(HeronPlaceholders, TableHoldsFiftyTwoPairsInOrderWithEveryForm)
{
    OsRecord os;
    os.strOSName = "Debian 12";
    os.strBootLabel = "Install Debian";
    os.strBuildinLegacyOpt = " quiet";
    os.strBuildinUefiOpt = " efi=1";
    ClientCfgRequest r = Request();
    EsxiModuleLists lists;
    PlaceholderInput in{&r, &os, 8080, "driver/Linux/Debian_12", false, &lists};
    bool bSanboot = true;
    std::vector<TemplatePair> vec = BuildPlaceholderTable(in, &bSanboot);
    ASSERT_EQ(vec.size(), size_t(PLACEHOLDER_COUNT));
    EXPECT_EQ(vec[0].strKey, "$KS_URL$");
    EXPECT_EQ(vec[3].strKey, "$EXT_BOOT_OPT$");
    EXPECT_EQ(vec[29].strKey, "$CLIENT_IP_B0$");
    EXPECT_EQ(vec[33].strKey, "$CLIENT_MAC_B0$");
    EXPECT_EQ(vec[51].strKey, "$DISK_SIZE_GB$");
    EXPECT_FALSE(bSanboot);
    const std::pair<const char *, const char *> cases[] = {
        {"$KS_URL$", "http://192.168.10.1:8080/kickstart/01-00-1a-2b-3c-4d-5e.auto"},
        {"$KS_POSTFIX$", "auto"},
        {"$ISCSI_DEPLOY$", "NO"},
        // the request's options, then the built-in legacy ones, with later placeholders filled
        {"$EXT_BOOT_OPT$", " console=ttyS0,8080 "
                           "ks=http://192.168.10.1:8080/kickstart/01-00-1a-2b-3c-4d-5e.auto quiet"},
        {"$BIOS_MODE$", "LEGACY"},
        {"$ARCH_TYPE$", "X86_64"},
        {"$SANBOOT_MODE$", "NO"},
        {"$ROOT_PWD$", "s3cret-Test"},
        {"$ROOT_PWD_CRYPT$", "$6$salt$hash"},
        {"$CLIENT_TOKEN$", "tok42"},
        {"$DISK_SHORT_NAME$", "nvme0n1"},
        {"$PXE_IMG_PATH$", "ISO1"},
        {"$SERVER_MASK$", "255.255.240.0"},
        {"$CLIENT_MASK_BIT$", "20"},
        {"$CLIENT_IP$", "192.168.10.101"},
        {"$CLIENT_MAC$", "00-1a-2b-3c-4d-5e"},
        {"$CLIENT_MAC_DASH_UPPER$", "00-1A-2B-3C-4D-5E"},
        {"$CLIENT_MAC_COLON_LOWER$", "00:1a:2b:3c:4d:5e"},
        {"$CLIENT_MAC_COLON_UPPER$", "00:1A:2B:3C:4D:5E"},
        {"$GATEWAY_IP$", "192.168.10.254"},
        {"$HTTP_IMG_URL$", "http://192.168.10.1:8080/ISO1"},
        {"$CLIENT_IP_B0$", "101"},
        {"$CLIENT_IP_B3$", "192"},
        {"$CLIENT_MAC_B1$", "1A"},
        {"$BOOT_FILE_NAME$", "pxelinux.1408.0"},
        {"$BKIMG_INDEX$", "03"},
        {"$DRIVER_PATH$", "driver/Linux/Debian_12"},
        {"$ORV_DRIVER_FMT$", " "},
        {"$VMW_RAW_MOD_PATH_LIST$", "123"},
        {"$VMW_RAW_MOD_FILE_LIST$", "123"},
        {"$DISK_SELECT_TYPE$", "by-name"},
        {"$DISK_SIZE_GB$", "300"},
    };
    for (const auto &[pcKey, pcValue] : cases) EXPECT_EQ(Value(vec, pcKey), pcValue) << pcKey;
}

TEST(HeronPlaceholders, UefiHttpManualBySizeAndDriverImage)
{
    OsRecord os;
    os.strBuildinUefiOpt = " efi=1";
    os.strUpdateDriverInitOpt = "dd";
    os.stVirt.ext_file[1] = "driver/Linux/X/orv_driver.img";
    os.stVirt.int_file[1] = "/drv/orv.img";
    struct Case {
        const char *pcBootFile;
        int iUefi;
        const char *pcFmt, *pcVirt;
    } cases[] = {
        {"ipxe.efi.0", 1, "initrd  http://192.168.10.1:8080/driver/Linux/X/orv_driver.img",
         "/drv/orv.img"},
        {"grub2.x64efi.all.0", 1, "driver/Linux/X/orv_driver.img", "/drv/orv.img"},
        {"pxelinux.1408.0", 0, ",driver/Linux/X/orv_driver.img", ",/drv/orv.img"},
    };
    for (const Case &c : cases) {
        ClientCfgRequest r = Request();
        r.uefi = c.iUefi;
        r.arch = 11;
        r.http_image = 1;
        r.auto_install = 0;
        r.disk_select = 1;
        r.disk_size_gb = 200;
        r.ext_boot_opt = " ";
        r.boot_file[c.iUefi] = c.pcBootFile;
        EsxiModuleLists lists;
        PlaceholderInput in{&r, &os, 8080, "driver/Linux/X", true, &lists};
        bool bSanboot = false;
        std::vector<TemplatePair> vec = BuildPlaceholderTable(in, &bSanboot);
        EXPECT_EQ(Value(vec, "$ORV_DRIVER_FMT$"), c.pcFmt);
        EXPECT_EQ(Value(vec, "$VIRT_ORV_DRIVER_FMT$"), c.pcVirt);
        EXPECT_EQ(Value(vec, "$ORV_DRIVER_NAME$"), "orv_driver.img");
        // iPXE on UEFI can only load the driver image from inside the virtual ISO
        EXPECT_EQ(bSanboot, std::string(c.pcBootFile) == "ipxe.efi.0") << c.pcBootFile;
        EXPECT_EQ(Value(vec, "$KS_URL$"),
                  "http://192.168.10.1:8080/kickstart/01-00-1a-2b-3c-4d-5e.manual");
        EXPECT_EQ(Value(vec, "$PXE_IMG_PATH$"), "http://192.168.10.1:8080/ISO1");
        EXPECT_EQ(Value(vec, "$ARCH_TYPE$"), "ARM64");
        EXPECT_EQ(Value(vec, "$DISK_SELECT_TYPE$"), "by-size");
        EXPECT_EQ(Value(vec, "$DISK_SIZE_GB$"), "200");
        EXPECT_EQ(Value(vec, "$EXT_BOOT_OPT$"), c.iUefi ? " dd  efi=1" : " dd ");
    }
}

TEST(HeronPlaceholders, SanbootSwitchFollowsKeysAndUseType)
{
    struct Case {
        int iUefi, iUseType;
        bool bBiosOnly, bExpected;
    } cases[] = {
        {0, 1, false, true}, {0, 0, false, false}, {0, 0, true, true}, {1, 1, false, false}};
    for (const Case &c : cases) {
        OsRecord os;
        os.stVirt.bios_cfgfile = "isolinux.cfg";
        os.stVirt.bios_sanboot_only = c.bBiosOnly;
        os.bVirtIso = true;
        ClientCfgRequest r = Request();
        r.ipxe_sanboot = 1;
        r.uefi = c.iUefi;
        r.sanboot_use_type = c.iUseType;
        EsxiModuleLists lists;
        PlaceholderInput in{&r, &os, 80, "driver/Linux/X", false, &lists};
        bool bSanboot = false;
        EXPECT_EQ(Value(BuildPlaceholderTable(in, &bSanboot), "$SANBOOT_MODE$"),
                  c.bExpected ? "YES" : "NO");
        EXPECT_EQ(bSanboot, c.bExpected);
    }
}

// A data directory with one OS whose templates exist, then one change per case.
struct ProfileCase {
    const char *pcName;
    std::string strJson;
    const char *pcLog;
};

const char *const GOOD_OS = R"({"OSName":"Test OS","PXEDefaultCfg":"t.bios","AutoRespCfg":"t.ks",)"
                            R"("OSMatchRequest":[{"Condition":"Exist","Path":"x"}]})";

TEST(HeronProfile, EachFailureIsLoggedAndFailsTheLoad)
{
    const ProfileCase cases[] = {
        {"missing", "", "is not found."},
        {"unparsable", "[{", "Failed to parse json file plug_heron.json."},
        {"object root", "{}", "Failed to parse json file plug_heron.json."},
        {"number element", "[1]", "Invalid OS config in plug_heron.json."},
        {"null OSName", R"([{"PXEDefaultCfg":"t.bios","AutoRespCfg":"t.ks","OSMatchRequest":[]}])",
         "Invalid OS config in plug_heron.json."},
        {"UEFI null",
         R"([{"OSName":"A","SupportUEFI":1,"PXEDefaultCfg":"t.bios","AutoRespCfg":"t.ks","OSMatchRequest":[]}])",
         "Invalid OS config in plug_heron.json(UEFI config NULL)."},
        {"missing menu",
         R"([{"OSName":"A","PXEDefaultCfg":"none","AutoRespCfg":"t.ks","OSMatchRequest":[]}])",
         "pxelinux/pxelinux.cfg/none is not exist."},
        {"missing answer file",
         R"([{"OSName":"A","PXEDefaultCfg":"t.bios","AutoRespCfg":"none","OSMatchRequest":[]}])",
         "kickstart/none is not exist."},
        {"no match rules", R"([{"OSName":"A","PXEDefaultCfg":"t.bios","AutoRespCfg":"t.ks"}])",
         "Invalid OS config in plug_heron.json."},
        {"rule without path",
         R"([{"OSName":"A","PXEDefaultCfg":"t.bios","AutoRespCfg":"t.ks","OSMatchRequest":[{"Condition":"Exist"}]}])",
         "Invalid OS config in plug_heron.json."},
        {"rule without regex",
         R"([{"OSName":"A","PXEDefaultCfg":"t.bios","AutoRespCfg":"t.ks","OSMatchRequest":[{"Condition":"Contains","Path":"p"}]}])",
         "Invalid OS config in plug_heron.json."},
    };
    for (const ProfileCase &c : cases) {
        test_host::WorkDir work;
        test_host::Install();
        WriteText(work.Path("pxelinux/pxelinux.cfg/t.bios"), "menu\n");
        WriteText(work.Path("kickstart/t.ks"), "ks\n");
        if (std::string(c.pcName) != "missing")
            WriteText(work.Path("plugin/plug_heron.json"), c.strJson);
        EXPECT_EQ(LoadProfile(FLAVOR), 0) << c.pcName;
        EXPECT_TRUE(test_host::Logged(c.pcLog)) << c.pcName << ": no log line " << c.pcLog;
    }
}

TEST(HeronProfile, KeysDefaultsAndDerivedFields)
{
    test_host::WorkDir work;
    test_host::Install();
    WriteText(work.Path("pxelinux/pxelinux.cfg/t.bios"), "menu\n");
    WriteText(work.Path("kickstart/t.ks"), "ks\n");
    WriteText(work.Path("driver/Linux/CentOS_7/dd.img"), "");
    WriteText(work.Path("plugin/plug_heron.json"), std::string("[null,") + GOOD_OS + R"(,
      {"OSName":"Future Version X","DriverPathAlias":"CentOS 7","PXEDefaultCfg":"t.bios","AutoRespCfg":"t.ks",
       "Arch":"I386_32","NfsExport":"yes","SupportISCSIDeploy":[1],"Publish":{},
       "FileRedirect":[{"RawPath":"a","NewPath":"b"},{"RawPath":"","NewPath":"c"}],
       "VmwareDriver":[{"V00File":"virtualiso/extfile/net/net.v00","Payload":"net","Operation":"add"},{"V00File":"x.v00","Payload":"","Operation":"add"}],
       "BuildinLegacyExtBootOpt":[{"DependFile":"$DRIVER_PATH$/dd.img","BootOpt":"dd"},{"DependFile":"nope","BootOpt":"no"}],
       "BuildinUEFIExtBootOpt":[{"DependFile":"","BootOpt":"efi"}],
       "OSMatchRequest":null,
       "VirtualISOCfg":{"uefi_cfgfile":"grub.cfg","ext_file2":"$DRIVER_PATH$/orv_driver.img","uefi_sanboot_only":1}}])");
    ASSERT_EQ(LoadProfile(FLAVOR), 1);
    ASSERT_EQ(OsList().size(), 2u);
    const OsRecord &a = OsList()[0];
    EXPECT_EQ(a.strArch, "X86_64");
    EXPECT_EQ(a.strPXEDefaultCfgUEFI, "null");
    EXPECT_EQ(a.strUpdateDriverInitOpt, " ");
    EXPECT_FALSE(a.bVirtIso);
    const OsRecord &b = OsList()[1];
    EXPECT_TRUE(b.b32Bit);
    EXPECT_TRUE(b.bNfsExport);
    EXPECT_TRUE(b.bSupportISCSIDeploy);
    EXPECT_FALSE(b.bPublish);
    ASSERT_EQ(b.vecRedirect.size(), 1u);
    ASSERT_EQ(b.vecVmwareRules.size(), 1u);
    EXPECT_EQ(b.vecVmwareRules[0].strDir, "virtualiso/extfile/net");
    EXPECT_EQ(b.vecVmwareRules[0].strFile, "net.v00");
    EXPECT_EQ(b.strBuildinLegacyOpt, " dd");
    EXPECT_EQ(b.strBuildinUefiOpt, " efi");
    EXPECT_TRUE(b.vecMatchRules.empty());
    EXPECT_TRUE(b.bVirtIso);
    EXPECT_TRUE(b.stVirt.uefi_sanboot_only);
    EXPECT_EQ(b.stVirt.ext_file[1], "driver/Linux/CentOS_7/orv_driver.img");
    EXPECT_TRUE(test_host::Logged("File nope not exist, boot option no ignored."));
    EXPECT_TRUE(test_host::Logged("Successfully parse 2 custom OS config."));
    // Future Version gets no driver directory; CentOS_7 existed already.
    EXPECT_TRUE(std::filesystem::is_directory(work.Path("driver/Linux/Test_OS")));
    EXPECT_FALSE(std::filesystem::exists(work.Path("driver/Linux/Future_Version_X")));
    EXPECT_TRUE(test_host::Logged("Create 1 driver directories"));
}

TEST(HeronMatch, PassesRunInOrderAndTriedRecordsAreSkipped)
{
    test_host::WorkDir work;
    test_host::Install();
    WriteText(work.Path("pxelinux/pxelinux.cfg/t.bios"), "menu\n");
    WriteText(work.Path("kickstart/t.ks"), "ks\n");
    WriteText(work.Path("src/isolinux/isolinux.cfg"), "default x\n");
    auto os = [](const char *pcName, const char *pcRegex, const char *pcRule) {
        return std::string(R"({"OSName":")") + pcName + R"(","ISOPreferRegex":")" + pcRegex +
               R"(","PXEDefaultCfg":"t.bios","AutoRespCfg":"t.ks","OSMatchRequest":[)" + pcRule +
               "]}";
    };
    const std::string exist = R"({"Condition":"Exist","Path":"isolinux/isolinux.cfg"})";
    const std::string absent = R"({"Condition":"Exist","Path":"nothing"})";
    const std::string wim = R"({"Condition":"WimContains","Path":"x","MatchRegex":"y"})";
    struct Case {
        const char *pcName;
        std::string strProfile;
        const char *pcActive;
        const char *pcLog;
    } cases[] = {
        {"later prefer regex first",
         "[" + os("First", "SRC", exist.c_str()) + "," + os("Second", "src$", exist.c_str()) + "]",
         "Second", "[YES] iso name"},
        {"tried record not retried",
         "[" + os("Debian A", "src", absent.c_str()) + "," + os("Other", "", exist.c_str()) + "]",
         "Other", "[NO] iso name"},
        {"os name before the rest",
         "[" + os("Other", "", exist.c_str()) + "," + os("Debian B", "", exist.c_str()) + "]",
         "Debian B", "os name Debian B match"},
        {"foreign condition ignored", "[" + os("Windows", "", wim.c_str()) + "]", "Windows",
         "Windows match the os."},
    };
    for (const Case &c : cases) {
        test_host::Logs().clear();
        WriteText(work.Path("plugin/plug_heron.json"), c.strProfile);
        ASSERT_EQ(LoadProfile(FLAVOR), 1) << c.pcName;
        std::string strSource = work.Path("debian-src");
        std::filesystem::create_directories(strSource);
        std::filesystem::copy(work.Path("src"), strSource,
                              std::filesystem::copy_options::recursive |
                                  std::filesystem::copy_options::overwrite_existing);
        ASSERT_EQ(IsIsoMatch(strSource.c_str(), nullptr), 1) << c.pcName;
        EXPECT_EQ(ActiveOs()->strOSName, c.pcActive) << c.pcName;
        EXPECT_TRUE(test_host::Logged(c.pcLog)) << c.pcName;
    }
    WriteText(work.Path("plugin/plug_heron.json"), "[" + os("Only", "", absent.c_str()) + "]");
    ASSERT_EQ(LoadProfile(FLAVOR), 1);
    EXPECT_EQ(IsIsoMatch(work.Path("src").c_str(), nullptr), 0);
    EXPECT_EQ(ActiveOs(), nullptr);
}

}  // namespace
