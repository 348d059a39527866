#include "boot_config.h"

#include "active_boot.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <fstream>

#include "settings.h"
#include "work_dir.h"

namespace fs = std::filesystem;

namespace {

TEST(BootConfig, PxelinuxListSortsByBuildNumberAndSelects1408)
{
    struct Case {
        std::vector<std::string> vecFiles;
        std::vector<std::string> vecSorted;
        std::string strSelected;
    };
    const Case astCases[] = {
        {{"pxelinux.2048.0", "pxelinux.1408.0", "lpxelinux.0"},
         {"lpxelinux.0", "pxelinux.1408.0", "pxelinux.2048.0"},
         "pxelinux.1408.0"},
        {{"pxelinux.16384.0", "pxelinux.4096.0", "pxelinux.2048.0"},
         {"pxelinux.2048.0", "pxelinux.4096.0", "pxelinux.16384.0"},
         "pxelinux.2048.0"},
        // An empty tree: the PXELINUX default stands.
        {{}, {}, "pxelinux.1408.0"},
    };
    for (const Case &stCase : astCases) {
        WorkDir stDir;
        fs::create_directories(stDir / "pxelinux/pxelinux.cfg.0");  // a directory is never listed
        for (const std::string &strName : stCase.vecFiles) {
            stDir.Touch("pxelinux/" + strName);
        }
        stDir.Touch("pxelinux/pxelinux.efi.linux");
        ScanBootFiles(BOOT_LOADER_PXELINUX);
        EXPECT_EQ(BootConfig().vecBootFiles, stCase.vecSorted);
        EXPECT_EQ(BiosBootFile(), stCase.strSelected);
        EXPECT_EQ(BootFileSupportsWindows(), true);
    }
}

TEST(BootConfig, SelectionByNameAndLpxelinuxOverHttp)
{
    WorkDir stDir;
    for (const char *pcName : {"pxelinux.1408.0", "pxelinux.2048.0", "lpxelinux.0"}) {
        stDir.Touch(std::string("pxelinux/") + pcName);
    }
    ScanBootFiles(BOOT_LOADER_PXELINUX);
    SelectBootFileByName("nothing-like-it");
    EXPECT_EQ(BiosBootFile(), "pxelinux.1408.0");
    EXPECT_FALSE(BootFileFetchesOverHttp(false));
    EXPECT_TRUE(BootFileFetchesOverHttp(true));  // the EFI loader is pxelinux.efi.linux
    SelectBootFileByName("lpxe");
    EXPECT_EQ(BiosBootFile(), "lpxelinux.0");
    EXPECT_TRUE(BootFileFetchesOverHttp(false));
    EXPECT_FALSE(BootFileSupportsWindows());
    // A rescan drops the choice.
    ScanBootFiles(BOOT_LOADER_PXELINUX);
    EXPECT_EQ(BiosBootFile(), "pxelinux.1408.0");
}

TEST(BootConfig, BootFilesPerLoaderAndOs)
{
    struct Case {
        int32_t iKind;
        const char *pcOsType;
        const char *pcOsName;
        const char *pcBios;
        const char *pcUefi;
        const char *pcMenuDir;
    };
    const Case astCases[] = {
        {BOOT_LOADER_PXELINUX, "Linux", "CentOS 7", "pxelinux.1408.0", "pxelinux.efi.linux",
         "pxelinux/pxelinux.cfg"},
        {BOOT_LOADER_PXELINUX, "Windows", "Windows 10", "pxelinux.1408.0", "pxelinux.efi.windows",
         "pxelinux/pxelinux.cfg"},
        {BOOT_LOADER_GRUB2, "Linux", "CentOS 7", "grub2.bios.all.0", "grub2.x64efi.all.0",
         "grub2/grub2.cfg"},
        {BOOT_LOADER_GRUB2, "Windows", "Windows 10", "grub2.bios.all.0", "grub2.efi.windows",
         "grub2/grub2.cfg"},
        {BOOT_LOADER_IPXE, "Windows", "Windows 10", "ipxe.bios.0", "ipxe.efi.0", "ipxe/ipxe.cfg"},
        {BOOT_LOADER_GRUB2, "Linux", "Ubuntu Server ARM64", "grub2.bios.all.0",
         "grub2.arm64efi.all.0", "grub2/grub2.cfg"},
        {BOOT_LOADER_IPXE, "Linux", "CentOS 7 aarch64", "ipxe.bios.0", "grub_chain_arm64.efi",
         "ipxe/ipxe.cfg"},
        {BOOT_LOADER_IPXE, "Linux", "CentOS 7", "ipxe.bios.0", "ipxe.efi.0", "ipxe/ipxe.cfg"},
        {7, "Linux", "CentOS 7", "pxelinux.1408.0", "pxelinux.1408.0", ""},
    };
    WorkDir stDir;
    for (const Case &stCase : astCases) {
        ScanBootFiles(stCase.iKind);
        EXPECT_EQ(BiosBootFile(), stCase.pcBios) << stCase.iKind << stCase.pcOsName;
        EXPECT_EQ(UefiBootFileFor(stCase.pcOsType, stCase.pcOsName), stCase.pcUefi)
            << stCase.pcOsName;
        EXPECT_EQ(MenuDirectory(), stCase.pcMenuDir);
    }
}

TEST(BootConfig, ClientMenuNames)
{
    const uint8_t aucZero[6] = {};
    const uint8_t aucMac[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
    const uint32_t uiIp = 0xC0A80114;  // 192.168.1.20
    struct Case {
        int32_t iKind;
        const uint8_t *pucMac;
        const char *pcName;
    };
    const Case astCases[] = {
        {BOOT_LOADER_PXELINUX, aucZero, "c0a80114"},
        {BOOT_LOADER_PXELINUX, aucMac, "01-00-1a-2b-3c-4d-5e"},
        {BOOT_LOADER_GRUB2, aucZero, "01-00-00-00-00-00-00"},
        {BOOT_LOADER_IPXE, aucMac, "01-00-1a-2b-3c-4d-5e"},
        {-1, aucMac, ""},
    };
    WorkDir stDir;
    for (const Case &stCase : astCases) {
        ScanBootFiles(stCase.iKind);
        EXPECT_EQ(ClientMenuFileName(stCase.pucMac, uiIp), stCase.pcName) << stCase.iKind;
    }
}

TEST(BootConfig, TargetDiskAndBlockSize)
{
    struct Case {
        const char *pcText;
        uint32_t uiSelect;
        uint32_t uiSize;
        const char *pcDevice;
        bool bValidInput;
    };
    const Case astCases[] = {
        {"300GB", 1, 300, "/dev/sda", true},
        {"/dev/nvme0n1", 0, 300, "/dev/nvme0n1", true},
        {"200", 1, 200, "/dev/sda", false},
        {"GB", 1, 0, "/dev/sda", false},
        {"99999999999GB", 1, UINT32_MAX, "/dev/sda", true},
    };
    for (const Case &stCase : astCases) {
        ParseTargetDisk(stCase.pcText);
        EXPECT_EQ(BootConfig().uiDiskSelect, stCase.uiSelect) << stCase.pcText;
        EXPECT_EQ(BootConfig().uiDiskSizeGb, stCase.uiSize) << stCase.pcText;
        EXPECT_EQ(BootConfig().strDiskName, stCase.pcDevice) << stCase.pcText;
        EXPECT_EQ(TargetDiskTextValid(stCase.pcText), stCase.bValidInput) << stCase.pcText;
    }
    const uint32_t auiSizes[] = {1408, 2048, 4096, 8192, 16384, 1408};
    for (uint32_t i = 0; i < 6; ++i) {
        SetBlockSizeChoice(i);
        EXPECT_EQ(TftpBlockSize(), auiSizes[i]);
    }
}

Json::Value ReadJson(const std::string &strPath)
{
    Json::Value stRoot;
    std::ifstream stIn(strPath);
    Json::CharReaderBuilder stBuilder;
    EXPECT_TRUE(Json::parseFromStream(stBuilder, stIn, &stRoot, nullptr)) << strPath;
    return stRoot;
}

// The boot settings have one copy, the boot configuration: the settings file loads into it and
// saves from it, and a load takes effect through ApplyBootSettings.
TEST(BootConfig, SettingsFileLoadsIntoAndSavesFromTheBootConfig)
{
    WorkDir stDir;
    for (const char *pcName : {"pxelinux.1408.0", "pxelinux.2048.0"}) {
        stDir.Touch(std::string("pxelinux/") + pcName);
    }
    RegisterBootSettings();
    BootConfig() = BootLoaderConfig{};
    ServerSettings stSet;
    // No file: the values of a first start.
    EXPECT_FALSE(LoadSettingsFile(stDir / "none.json", stSet));
    EXPECT_EQ(BootConfig().uiLogoTimeout, 2u);
    // A file without the keys: their absent values; an absent boot file keeps the choice.
    BootConfig().strDhcpFile = "kept";
    BootConfig().iLoaderType = BOOT_LOADER_GRUB2;
    stDir.Touch("orv.json", "{}");
    ASSERT_TRUE(LoadSettingsFile(stDir / "orv.json", stSet));
    EXPECT_EQ(BootConfig().uiLogoTimeout, 3u);
    EXPECT_EQ(BootConfig().iLoaderType, BOOT_LOADER_IPXE);
    EXPECT_EQ(BootConfig().strInsDiskName, "/dev/sda");
    EXPECT_EQ(BootConfig().strDhcpFile, "kept");
    // Stored values, zeroes replaced where the key has a replacement; wrongly typed keys absent.
    stDir.Touch("orv.json", R"({"loader_type":0,"dhcp_file":"2048","bcd_tftp_block_size":3,
        "ins_disk_name":"500GB","logo_timeout":0,"pim_choose_timeout":9,"pim_press_timeout":0,
        "sanboot_use_type":2})");
    ASSERT_TRUE(LoadSettingsFile(stDir / "orv.json", stSet));
    ApplyBootSettings();
    EXPECT_EQ(BiosBootFile(), "pxelinux.2048.0");
    EXPECT_EQ(TftpBlockSize(), 8192U);
    EXPECT_EQ(BootConfig().uiDiskSelect, 1u);
    EXPECT_EQ(BootConfig().uiDiskSizeGb, 500U);
    EXPECT_EQ(BootConfig().uiLogoTimeout, 3U);
    EXPECT_EQ(BootConfig().uiPimChooseTimeout, 9U);
    EXPECT_EQ(BootConfig().uiPimPressTimeout, 5U);
    EXPECT_EQ(BootConfig().uiSanbootUseType, 2U);
    ASSERT_TRUE(SaveSettingsFile(stDir / "saved.json", stSet));
    Json::Value stSaved = ReadJson(stDir / "saved.json");
    Json::Value stWanted = ReadJson(stDir / "orv.json");
    stWanted["logo_timeout"] = 3;
    stWanted["pim_press_timeout"] = 5;
    for (const std::string &strKey : stWanted.getMemberNames()) {
        EXPECT_EQ(stSaved[strKey].toStyledString(), stWanted[strKey].toStyledString()) << strKey;
    }
    EXPECT_TRUE(stSaved["loader_type"].isInt());
    stDir.Touch("orv.json", R"({"loader_type":"1","ins_disk_name":[],"logo_timeout":"4"})");
    ASSERT_TRUE(LoadSettingsFile(stDir / "orv.json", stSet));
    EXPECT_EQ(BootConfig().iLoaderType, BOOT_LOADER_IPXE);
    EXPECT_EQ(BootConfig().strInsDiskName, "/dev/sda");
    EXPECT_EQ(BootConfig().uiLogoTimeout, 3U);
}

TEST(BootConfig, CleanKeepsTemplatesDefaultsAndDirectories)
{
    WorkDir stDir;
    const char *apcGone[] = {"01-00-1a-2b-3c-4d-5e", "01-00-1a-2b-3c-4d-5e.ex", "c0a80114", "ABC"};
    const char *apcKept[] = {"default", "menu.tpl", "c0a80114.tpl", "0x1F"};
    for (const char *pcDir : {"pxelinux/pxelinux.cfg", "kickstart", "ipxe/ipxe.cfg"}) {
        for (const char *pcName : apcGone) {
            stDir.Touch(std::string(pcDir) + "/" + pcName);
        }
        for (const char *pcName : apcKept) {
            stDir.Touch(std::string(pcDir) + "/" + pcName);
        }
        fs::create_directories(stDir / (std::string(pcDir) + "/01-subdir"));
    }
    // Start-up leaves the iPXE menus; the service stop cleans them too.
    CleanStartupMenus();
    EXPECT_TRUE(fs::exists(stDir / "ipxe/ipxe.cfg/c0a80114"));
    EXPECT_FALSE(fs::exists(stDir / "kickstart/c0a80114"));
    CleanServiceMenus();
    for (const char *pcDir : {"pxelinux/pxelinux.cfg", "kickstart", "ipxe/ipxe.cfg"}) {
        for (const char *pcName : apcGone) {
            EXPECT_FALSE(fs::exists(stDir / (std::string(pcDir) + "/" + pcName)))
                << pcDir << "/" << pcName;
        }
        for (const char *pcName : apcKept) {
            EXPECT_TRUE(fs::exists(stDir / (std::string(pcDir) + "/" + pcName)))
                << pcDir << "/" << pcName;
        }
        EXPECT_TRUE(fs::is_directory(stDir / (std::string(pcDir) + "/01-subdir")));
    }
}

TEST(BootConfig, ChainLoaderLinksComeAndGo)
{
    WorkDir stDir;
    stDir.Touch("grub2/grub2.x64efi.all.0", "grub");
    stDir.Touch("ipxe/grub_chain_xen.efi", "operator's own");  // an existing file is left alone
    fs::create_directories(stDir / "ipxe/grub2/fonts");
    LinkChainLoaders();
    EXPECT_EQ(ReadFile(stDir / "ipxe/grub_chain_linux.efi"), "grub");
    EXPECT_EQ(fs::read_symlink(stDir / "ipxe/grub_chain_linux.efi"),
              fs::path(stDir / "grub2/grub2.x64efi.all.0"));
    // A missing target still gets its link.
    EXPECT_TRUE(fs::is_symlink(stDir / "ipxe/grub_chain_arm64.efi"));
    RemoveChainLoaderLinks();
    RemoveExitDirectories();
    EXPECT_FALSE(fs::exists(fs::symlink_status(stDir / "ipxe/grub_chain_linux.efi")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(stDir / "ipxe/grub_chain_arm64.efi")));
    EXPECT_EQ(ReadFile(stDir / "ipxe/grub_chain_xen.efi"), "operator's own");
    EXPECT_FALSE(fs::exists(stDir / "ipxe/grub2/fonts"));
}

TEST(BootConfig, BackgroundRotation)
{
    struct Case {
        std::vector<std::string> vecFiles;
        uint32_t uiCount;
        std::vector<uint32_t> vecIndexes;  // after each acknowledgement
    };
    const Case astCases[] = {
        {{"kiv_background_01.png", "kiv_background_02.png", "kiv_background_03.png", "other.png"},
         3,
         {2, 3, 1, 2}},
        {{"kiv_background_2.png"}, 2, {2, 1, 2}},
        {{}, 0, {1, 1}},
    };
    for (const Case &stCase : astCases) {
        WorkDir stDir;
        fs::create_directories(stDir / "ipxe/kiv_background_09");  // a directory does not count
        for (const std::string &strName : stCase.vecFiles) {
            stDir.Touch("ipxe/" + strName);
        }
        ResetBackground();
        EXPECT_EQ(CountBackgroundImages(), stCase.uiCount);
        EXPECT_EQ(BackgroundIndex(), 1U);
        for (uint32_t uiExpected : stCase.vecIndexes) {
            EXPECT_EQ(AdvanceBackground(), uiExpected);
        }
    }
}

}  // namespace
