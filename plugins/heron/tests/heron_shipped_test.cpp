// The shipped profile and templates: every distribution layout is recognised (as a directory and
// as an ISO image made by xorriso), and every menu and answer file written for it is complete and
// names files that exist: GRUB menus pass grub-script-check, PXELINUX menus name modules of their
// module folder, kernels and initrds exist in the installation source.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <regex>

#include "esxi_service.h"
#include "heron_cfgfile.h"
#include "iso_image.h"
#include "plugin_hostcalls.h"
#include "plugin_match.h"
#include "test_host.h"

using test_host::ReadText;
using test_host::WriteText;
namespace fs = std::filesystem;

namespace {

struct Distro {
    const char *pcOsName;
    const char *pcFamily;
    std::vector<std::pair<std::string, std::string>> vecFiles;
};

const std::vector<Distro> &Distros()
{
    static const std::vector<Distro> s = {
        {"Debian 12",
         "debian",
         {{".disk/info", "Debian GNU/Linux 12.5.0 \"Bookworm\" - Official amd64 NETINST with "
                         "firmware 20240210-11:27"},
          {"install.amd/vmlinuz", "k"},
          {"install.amd/initrd.gz", "i"}}},
        {"Debian 11",
         "debian",
         {{".disk/info",
           "Debian GNU/Linux 11.9.0 \"Bullseye\" - Official amd64 NETINST 20240210-11:23"},
          {"install.amd/vmlinuz", "k"},
          {"install.amd/initrd.gz", "i"}}},
        {"Debian ARM64",
         "debian",
         {{".disk/info",
           "Debian GNU/Linux 12.5.0 \"Bookworm\" - Official arm64 NETINST 20240210-11:28"},
          {"install.a64/vmlinuz", "k"},
          {"install.a64/initrd.gz", "i"}}},
        {"Ubuntu Server 20.04",
         "ubuntu",
         {{".disk/info", "Ubuntu-Server 20.04.6 LTS \"Focal Fossa\" - Release amd64 (20230316)"},
          {"casper/vmlinuz", "k"},
          {"casper/initrd", "i"}}},
        {"Ubuntu Server 22.04",
         "ubuntu",
         {{".disk/info",
           "Ubuntu-Server 22.04.4 LTS \"Jammy Jellyfish\" - Release amd64 (20240216)"},
          {"casper/vmlinuz", "k"},
          {"casper/initrd", "i"}}},
        {"Ubuntu Server 24.04",
         "ubuntu",
         {{".disk/info", "Ubuntu-Server 24.04 LTS \"Noble Numbat\" - Release amd64 (20240423)"},
          {"casper/vmlinuz", "k"},
          {"casper/initrd", "i"}}},
        {"Ubuntu Server ARM64",
         "ubuntu",
         {{".disk/info",
           "Ubuntu-Server 22.04.4 LTS \"Jammy Jellyfish\" - Release arm64 (20240216)"},
          {"casper/vmlinuz", "k"},
          {"casper/initrd", "i"}}},
        {"RedHat Enterprise Linux 7-9",
         "rhel",
         {{".treeinfo", "[release]\nname = Red Hat Enterprise Linux\nshort = RHEL\nversion = "
                        "8.9\n[tree]\narch = x86_64\n"},
          {"images/pxeboot/vmlinuz", "k"},
          {"images/pxeboot/initrd.img", "i"}}},
        {"CentOS 7",
         "rhel",
         {{".treeinfo", "[general]\nfamily = CentOS Linux\nversion = 7\narch = x86_64\n"},
          {"images/pxeboot/vmlinuz", "k"},
          {"images/pxeboot/initrd.img", "i"}}},
        {"CentOS Stream 8-9",
         "rhel",
         {{".treeinfo", "[release]\nname = CentOS Stream\nversion = 9\n[tree]\narch = x86_64\n"},
          {"images/pxeboot/vmlinuz", "k"},
          {"images/pxeboot/initrd.img", "i"}}},
        {"Rocky Linux 8-9",
         "rhel",
         {{".treeinfo", "[general]\nfamily = Rocky Linux\nversion = 9.3\narch = "
                        "x86_64\n[release]\nname = Rocky Linux\nversion = 9.3\n"},
          {"images/pxeboot/vmlinuz", "k"},
          {"images/pxeboot/initrd.img", "i"}}},
        {"AlmaLinux 8-9",
         "rhel",
         {{".treeinfo", "[release]\nname = AlmaLinux\nversion = 8.9\n[tree]\narch = x86_64\n"},
          {"images/pxeboot/vmlinuz", "k"},
          {"images/pxeboot/initrd.img", "i"}}},
        {"Fedora",
         "rhel",
         {{".treeinfo", "[release]\nname = Fedora\nversion = 39\n[tree]\narch = x86_64\n"},
          {"images/pxeboot/vmlinuz", "k"},
          {"images/pxeboot/initrd.img", "i"}}},
        {"Enterprise Linux AARCH64",
         "rhel",
         {{".treeinfo", "[release]\nname = Rocky Linux\nversion = 9.3\n[tree]\narch = aarch64\n"},
          {"images/pxeboot/vmlinuz", "k"},
          {"images/pxeboot/initrd.img", "i"}}},
        {"openSUSE Leap 15",
         "suse",
         {{"media.1/products", "/ openSUSE-Leap 15.5-0\n"},
          {"boot/x86_64/loader/linux", "k"},
          {"boot/x86_64/loader/initrd", "i"}}},
        {"SUSE Server 15",
         "suse",
         {{"media.1/products", "/ SLES15-SP5 15.5-0\n"},
          {"boot/x86_64/loader/linux", "k"},
          {"boot/x86_64/loader/initrd", "i"}}},
        {"VMware ESXi 7.0",
         "esxi",
         {{"boot.cfg", "bootstate=0\r\ntitle=Loading ESXi "
                       "installer\r\nkernel=/b.b00\r\nkernelopt=runweasel\r\nmodules=/jumpstrt.gz "
                       "--- /useropts.gz --- /imgdb.tgz\r\n"},
          {"upgrade/metadata.xml", "<esxVersion>7.0.3</esxVersion>\n"},
          {"imgdb.tgz", "not read here"},
          {"b.b00", "k"},
          {"jumpstrt.gz", "m"},
          {"useropts.gz", "m"},
          {"mboot.c32", "m"},
          {"efi/boot/bootx64.efi", "m"}}},
        {"VMware ESXi 8.0",
         "esxi",
         {{"boot.cfg", "kernel=/b.b00\nmodules=/jumpstrt.gz --- /imgdb.tgz\n"},
          {"upgrade/metadata.xml", "<esxVersion>8.0.2</esxVersion>\n"},
          {"imgdb.tgz", "x"},
          {"b.b00", "k"},
          {"jumpstrt.gz", "m"},
          {"mboot.c32", "m"},
          {"efi/boot/bootx64.efi", "m"}}},
    };
    return s;
}

// The shipped content as tools/make-datadir.sh lays it out, with the loader file names it makes.
void MakeDataDir(const test_host::WorkDir &work)
{
    fs::copy(KIV_SOURCE_DIR "/data", work.Path(), fs::copy_options::recursive);
    for (const char *pc :
         {"pxelinux/pxelinux.1408.0", "pxelinux/lpxelinux.0", "pxelinux/pxelinux.efi.linux",
          "pxelinux/ldlinux.c32", "pxelinux/ldlinux.e64", "pxelinux/bios/menu.c32",
          "pxelinux/bios/libutil.c32", "pxelinux/efi64/menu.c32", "pxelinux/efi64/libutil.c32"})
        WriteText(work.Path(pc), "");
    fs::create_directories(work.Path("virtualiso/extfile"));
}

std::string MakeSource(const test_host::WorkDir &work, const Distro &d)
{
    std::string strDir = work.Path(std::string("src/") + d.pcFamily + "-" +
                                   std::to_string(std::hash<std::string>()(d.pcOsName)));
    for (const auto &[strPath, strText] : d.vecFiles) WriteText(strDir + "/" + strPath, strText);
    return strDir;
}

ClientCfgRequest Client(int iUefi, int iArch, const std::string &strBios,
                        const std::string &strUefi)
{
    ClientCfgRequest r;
    r.uefi = iUefi;
    r.arch = iArch;
    r.server_ip = 0xc0a80a01;
    r.client_ip = 0xc0a80a65;
    r.mask = 0xffffff00;
    const uint8_t mac[6] = {0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
    std::copy(mac, mac + 6, r.mac);
    r.boot_file[0] = strBios;
    r.boot_file[1] = strUefi;
    r.boot_file[2] = "s3cret-Test";
    r.root_password_crypt = "$6$kivsalt$c3ZoYXNo.c3ZoYXNo/c3ZoYXNo";
    r.client_token = "tok0123456789abcdefghijk";
    r.disk_name = "/dev/sda";
    r.ext_boot_opt = " ";
    r.auto_install = 1;
    r.logo_timeout = 3;
    return r;
}

void ExpectNoPlaceholderLeft(const std::string &strPath)
{
    std::string strText = ReadText(strPath);
    std::smatch m;
    EXPECT_FALSE(std::regex_search(strText, m, std::regex("\\$[A-Z][A-Z0-9_]*\\$")))
        << strPath << ": " << m.str();
}

// Paths a menu names inside the image root, checked against the source.
void ExpectImagePathsExist(const std::string &strMenu, const std::string &strSource,
                           const std::regex &re)
{
    std::string strText = ReadText(strMenu);
    for (auto it = std::sregex_iterator(strText.begin(), strText.end(), re);
         it != std::sregex_iterator(); ++it) {
        // "_RAWISO_.iso" is the whole image, which the HTTP service serves under that name.
        if ((*it)[1].str() != "_RAWISO_.iso") {
            EXPECT_TRUE(fs::exists(strSource + "/" + (*it)[1].str()))
                << strMenu << " names " << (*it)[1].str();
        }
    }
}

void CheckPxelinux(const test_host::WorkDir &work, const std::string &strMenu,
                   const std::string &strSource, int iUefi)
{
    std::string strText = ReadText(strMenu);
    std::string strSet = iUefi ? "efi64" : "bios";
    EXPECT_EQ(strText.rfind("PATH " + strSet + "/\n", 0), 0u) << strMenu;
    std::smatch m;
    std::regex reUi("(^|\\n)UI ([^\\n ]+)");
    ASSERT_TRUE(std::regex_search(strText, m, reUi)) << strMenu;
    EXPECT_TRUE(fs::exists(work.Path("pxelinux/" + strSet + "/" + m[2].str()))) << m[2].str();
    ExpectImagePathsExist(strMenu, strSource, std::regex("ISO1/([^ ,\\n]+)"));
}

class HeronShipped : public ::testing::Test {
protected:
    void SetUp() override
    {
        test_host::Install();
        MakeDataDir(work);
    }
    test_host::WorkDir work;
};

TEST_F(HeronShipped, EveryLayoutMatchesAsDirectoryAndAsIso)
{
    ASSERT_EQ(LoadProfile(HERON_FLAVOR), 1)
        << (test_host::Logs().empty() ? "" : test_host::Logs().back());
    for (const Distro &d : Distros()) {
        std::string strSource = MakeSource(work, d);
        ActiveOs() = nullptr;
        ASSERT_EQ(IsIsoMatch(strSource.c_str(), nullptr), 1) << d.pcOsName;
        EXPECT_EQ(ActiveOs()->strOSName, d.pcOsName) << "directory source";
        std::string strIso = work.Path("image.iso");
        ASSERT_EQ(test_host::Run(
                      {"xorriso", "-as", "mkisofs", "-quiet", "-R", "-J", "-o", strIso, strSource}),
                  0);
        IsoImage stImage;
        ASSERT_EQ(IsoOpen(strIso.c_str(), true, &stImage), 0u);
        ActiveOs() = nullptr;
        ASSERT_EQ(IsIsoMatch(strIso.c_str(), &stImage), 1) << d.pcOsName;
        EXPECT_EQ(ActiveOs()->strOSName, d.pcOsName) << "ISO source";
    }
}

TEST_F(HeronShipped, EveryMenuAndAnswerFileIsCompleteAndNamesExistingFiles)
{
    struct Loader {
        const char *pcMenuDir, *pcBios, *pcUefi;
    } loaders[] = {{"pxelinux/pxelinux.cfg", "pxelinux.1408.0", "pxelinux.efi.linux"},
                   {"grub2/grub2.cfg", "grub2.bios.all.0", "grub2.x64efi.all.0"},
                   {"ipxe/ipxe.cfg", "ipxe.bios.0", "ipxe.efi.0"}};
    const std::string strBase = work.Path("pxelinux/pxelinux.cfg/01-52-54-00-12-34-56");
    for (const Loader &l : loaders) {
        test_host::SetMenuDir(l.pcMenuDir);
        ASSERT_EQ(LoadProfile(HERON_FLAVOR), 1) << l.pcMenuDir;
        for (const Distro &d : Distros()) {
            std::string strSource = MakeSource(work, d);
            ASSERT_EQ(IsIsoMatch(strSource.c_str(), nullptr), 1);
            ASSERT_EQ(ActiveOs()->strOSName, d.pcOsName);
            bool bArm = ActiveOs()->strArch == "ARM64";
            if (std::string(d.pcFamily) == "esxi") {
                // The image database is not a real archive here: only the module lists matter.
                ServiceStartRequest req;
                req.source_dir = strSource;
                PatchEsxiImageDb(&req);
            }
            for (int iUefi : {0, 1}) {
                // arm64 clients boot only GRUB, under UEFI: with the GRUB tree, and chained as
                // "grub_chain_arm64.efi" with the iPXE tree, whose arm64 menus are GRUB menus too.
                if (bArm && (!iUefi || std::string(l.pcMenuDir) == "pxelinux/pxelinux.cfg"))
                    continue;
                ClientCfgRequest r = Client(iUefi, bArm ? 11 : 7, l.pcBios,
                                            bArm ? "grub2.arm64efi.all.0" : l.pcUefi);
                ASSERT_EQ(HeronMakeCfgFile(&r), 0);
                std::string strMenu = work.Path(std::string(l.pcMenuDir) + "/01-52-54-00-12-34-56");
                SCOPED_TRACE(std::string(d.pcOsName) + " " + l.pcMenuDir +
                             (iUefi ? " UEFI" : " BIOS"));
                ASSERT_TRUE(fs::exists(strMenu));
                ExpectNoPlaceholderLeft(strMenu);
                for (const char *pcExt : {".auto", ".ex"})
                    if (fs::exists(
                            work.Path(std::string("kickstart/01-52-54-00-12-34-56") + pcExt)))
                        ExpectNoPlaceholderLeft(
                            work.Path(std::string("kickstart/01-52-54-00-12-34-56") + pcExt));
                // The end report carries the client's token; the password appears only hashed.
                std::string strAnswer = ReadText(work.Path("kickstart/01-52-54-00-12-34-56.auto"));
                EXPECT_NE(strAnswer.find("PXEClientInstallEnd?mac=52-54-00-12-34-56&token="
                                         "tok0123456789abcdefghijk"),
                          std::string::npos);
                EXPECT_NE(strAnswer.find(r.root_password_crypt), std::string::npos);
                EXPECT_EQ(strAnswer.find("s3cret-Test"), std::string::npos);
                std::string strLoader = l.pcMenuDir;
                if (strLoader.rfind("pxelinux", 0) == 0) {
                    CheckPxelinux(work, strMenu, strSource, iUefi);
                } else if (strLoader.rfind("grub2", 0) == 0 || bArm) {
                    EXPECT_NE(ReadText(strMenu).find("menuentry "), std::string::npos)
                        << "a GRUB menu";
                    std::string strOut;
                    EXPECT_EQ(test_host::Run({"grub-script-check", strMenu}, &strOut), 0)
                        << ReadText(strMenu);
                    ExpectImagePathsExist(strMenu, strSource, std::regex("/ISO1/([^ \\n$]+)"));
                } else {
                    EXPECT_EQ(ReadText(strMenu).rfind("#!ipxe\n", 0), 0u);
                    ExpectImagePathsExist(
                        strMenu, strSource,
                        std::regex("http://192\\.168\\.10\\.1:8080/ISO1/([^ \\n]+)"));
                }
                if (std::string(d.pcFamily) == "esxi") {
                    std::string strBootCfg =
                        ReadText(work.Path("kickstart/01-52-54-00-12-34-56.ex"));
                    std::smatch m;
                    ASSERT_TRUE(std::regex_search(strBootCfg, m, std::regex("modules=([^\\n]*)")));
                    EXPECT_EQ(m[1].str().substr(0, 14), "jumpstrt.gz --");
                    std::string strMods = m[1].str();
                    std::regex reMod("([^ -][^ ]*)");
                    for (auto it = std::sregex_iterator(strMods.begin(), strMods.end(), reMod);
                         it != std::sregex_iterator(); ++it)
                        EXPECT_TRUE(fs::exists(strSource + "/" + (*it)[1].str())) << (*it)[1].str();
                }
            }
        }
        (void)strBase;
    }
}

// Installation Mode "Manual": every shipped profile writes the answer file its boot menu (for
// ESXi, the client's boot.cfg) names at $KS_URL$, and that file is complete.
TEST_F(HeronShipped, ManualModeWritesTheAnswerFileTheMenuNames)
{
    test_host::SetMenuDir("grub2/grub2.cfg");
    ASSERT_EQ(LoadProfile(HERON_FLAVOR), 1);
    const std::string strKs = work.Path("kickstart/");
    const std::regex reUrl("http://192\\.168\\.10\\.1:[0-9]+/kickstart/(01-[0-9a-f-]+\\.[a-z]+)");
    for (const Distro &d : Distros()) {
        std::string strSource = MakeSource(work, d);
        ASSERT_EQ(IsIsoMatch(strSource.c_str(), nullptr), 1);
        bool bArm = ActiveOs()->strArch == "ARM64";
        for (int iUefi : {0, 1}) {
            if (bArm && !iUefi) continue;
            SCOPED_TRACE(std::string(d.pcOsName) + (iUefi ? " UEFI" : " BIOS"));
            for (const char *pcOld : {".auto", ".manual", ".ex"})
                fs::remove(strKs + "01-52-54-00-12-34-56" + pcOld);
            ClientCfgRequest r = Client(iUefi, bArm ? 11 : 7, "grub2.bios.all.0",
                                        bArm ? "grub2.arm64efi.all.0" : "grub2.x64efi.all.0");
            r.auto_install = 0;
            ASSERT_EQ(HeronMakeCfgFile(&r), 0);
            std::string strNaming = ReadText(work.Path("grub2/grub2.cfg/01-52-54-00-12-34-56")) +
                                    (fs::exists(strKs + "01-52-54-00-12-34-56.ex")
                                         ? ReadText(strKs + "01-52-54-00-12-34-56.ex")
                                         : std::string());
            bool bManual = false;
            for (auto it = std::sregex_iterator(strNaming.begin(), strNaming.end(), reUrl);
                 it != std::sregex_iterator(); ++it) {
                std::string strName = (*it)[1].str();
                EXPECT_TRUE(fs::exists(strKs + strName)) << "names a missing file " << strName;
                EXPECT_NE(strName, "01-52-54-00-12-34-56.auto");
                bManual = bManual || strName == "01-52-54-00-12-34-56.manual";
            }
            ASSERT_TRUE(bManual) << strNaming;
            const std::string strManual = strKs + "01-52-54-00-12-34-56.manual";
            ExpectNoPlaceholderLeft(strManual);
            EXPECT_NE(ReadText(strManual).find("PXEClientInstallEnd"), std::string::npos);
        }
    }
}

// The built plug-in, loaded as the host loads it.
TEST_F(HeronShipped, PluginLoadsWithItsElevenExportsAndListsTheProfile)
{
    void *pv = dlopen(KIV_BINARY_DIR "/plugins/PLUG_HERON.so", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(pv, nullptr) << dlerror();
    for (const char *pc : PLUGIN_EXPORT_NAMES) EXPECT_NE(dlsym(pv, pc), nullptr) << pc;
    // The plug-in's own copy of the table is the one the test host installed in this process.
    auto pfnSet = reinterpret_cast<PFN_SetUtilCB>(dlsym(pv, "EXPORT_PLUGIN_API_SetUtilCB"));
    pfnSet(&PluginHostTable());
    EXPECT_TRUE(test_host::Logged("Plugin load successfully."));
    ASSERT_EQ(reinterpret_cast<PFN_CheckEnv>(dlsym(pv, "EXPORT_PLUGIN_API_CheckEnv"))(), 1);
    std::string strSource = MakeSource(work, Distros()[0]);
    ASSERT_EQ(reinterpret_cast<PFN_IsISOMatch>(dlsym(pv, "EXPORT_PLUGIN_API_IsISOMatch"))(
                  strSource.c_str(), nullptr),
              1);
    std::string strDesc;
    reinterpret_cast<PFN_GetDesc>(dlsym(pv, "EXPORT_PLUGIN_API_GetDesc"))(0, &strDesc);
    EXPECT_EQ(strDesc.rfind("Name: HERON   \r\n", 0), 0u);
    EXPECT_NE(strDesc.find("  -- Debian 11\r\n  -- Debian 12  (* Current Active)\r\n"),
              std::string::npos)
        << strDesc;
    PluginOsInfo stInfo;
    reinterpret_cast<PFN_GetOSInfo>(dlsym(pv, "EXPORT_PLUGIN_API_GetOSInfo"))(&stInfo);
    EXPECT_EQ(stInfo.strOsName, "Debian 12");
    EXPECT_EQ(stInfo.ucSupportUefi, 1);
    ServiceStartRequest req;
    reinterpret_cast<PFN_ServiceStop>(dlsym(pv, "EXPORT_PLUGIN_API_ServiceStop"))(&req);
    std::string strType = "x";
    reinterpret_cast<PFN_GetOSType>(dlsym(pv, "EXPORT_PLUGIN_API_GetOSType"))(&strType);
    EXPECT_EQ(strType, "");
    dlclose(pv);
}

}  // namespace
