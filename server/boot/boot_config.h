// Boot loader trees and per-client menu names: which loader files exist, which one BIOS and UEFI
// clients get, where per-client menus go and what they are called, the iPXE chain-loader links,
// the PIM background rotation and the clean-up of generated files.
//
// Every path is relative to the working directory, which is the data directory. All of this state
// belongs to the main thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum BootLoaderKind : int32_t {
    BOOT_LOADER_PXELINUX = 0,
    BOOT_LOADER_GRUB2 = 1,
    BOOT_LOADER_IPXE = 2,
};

// The boot settings and what is derived from them. The settings keys (in brackets) are stored
// here and nowhere else: RegisterBootSettings puts them into the settings key table, which loads
// and saves them. Member initialisers are the values of a first start without a settings file.
struct BootLoaderConfig {
    int32_t iLoaderType = BOOT_LOADER_IPXE;   // [loader_type] other values: no files, no menus
    uint32_t uiBlockSizeChoice = 0;           // [bcd_tftp_block_size] 0-4: 1408 ... 16384
    std::string strDhcpFile;                  // [dhcp_file] PXELINUX boot-file choice, a substring
    std::string strInsDiskName = "/dev/sda";  // [ins_disk_name] "/dev/..." or "<n>GB"
    uint32_t uiLogoTimeout = 2;               // [logo_timeout] seconds; absent or 0 in a file: 3
    uint32_t uiPimChooseTimeout = 5;          // [pim_choose_timeout]
    uint32_t uiPimPressTimeout = 5;           // [pim_press_timeout]
    uint32_t uiSanbootUseType = 0;            // [sanboot_use_type] handed to plug-ins unchanged

    std::vector<std::string> vecBootFiles;  // names only, rebuilt by ScanBootFiles
    int32_t iBootFileIndex = 0;             // selected entry of vecBootFiles
    uint32_t uiDiskSelect = 0;              // from strInsDiskName: 0 by name, 1 by size
    uint32_t uiDiskSizeGb = 300;
    std::string strDiskName = "/dev/sda";
};

// The process-wide instance.
BootLoaderConfig &BootConfig();

// Sets the loader kind and rebuilds the boot-file list from its tree: "pxelinux/*pxelinux*.0"
// (sorted by build number, "pxelinux.1408.0" selected when present), "grub2/*.0" or "ipxe/*.0".
void ScanBootFiles(int32_t iKind);
// Selects the first boot file whose name contains strText; no match leaves the choice alone.
void SelectBootFileByName(const std::string &strText);

// The file the DHCP service offers to BIOS clients.
std::string BiosBootFile();
// True for a Windows OS type (upper-cased inside).
bool IsWindowsOsType(const std::string &strOsType);
// The same choice for a given OS type and OS name (upper-cased inside).
std::string UefiBootFileFor(const std::string &strOsType, const std::string &strOsName);
// False when the BIOS boot file is an lpxelinux, which cannot chain the Windows boot manager.
bool BootFileSupportsWindows();

// The loader root: "pxelinux", "grub2" or "ipxe"; empty for an unknown kind.
std::string LoaderDirectory();
// "pxelinux/pxelinux.cfg", "grub2/grub2.cfg", "ipxe/ipxe.cfg"; empty for an unknown kind.
std::string MenuDirectory();
// The per-client menu name: PXELINUX with an all-zero MAC uses the address as eight hex digits,
// every other case "01-aa-bb-cc-dd-ee-ff"; empty for an unknown kind. uiIp has the first octet in
// the most significant byte.
std::string ClientMenuFileName(const uint8_t aucMac[6], uint32_t uiIp);

// Block size of a choice 0-4; anything else is 1408.
uint32_t BlockSizeOfChoice(uint32_t uiChoice);
// Applies a choice to the config and to the process-wide block size.
void SetBlockSizeChoice(uint32_t uiChoice);
// The process-wide TFTP block size reported to plug-ins (initially 1408).
uint32_t TftpBlockSize();

// Applies the setting ins_disk_name: "/dev/..." selects by name (size 300), anything else by size
// with its leading decimal number (no number gives 0) on "/dev/sda".
void ParseTargetDisk(const std::string &strText);
// The operator's input rule for ins_disk_name: "^/dev/.*$|^[0-9]+GB$".
bool TargetDiskTextValid(const std::string &strText);

// Puts the boot settings keys into the settings key table (once, before the settings load).
void RegisterBootSettings();
// After a settings load: the loader kind (rescan), block size, boot-file choice and target disk
// take effect.
void ApplyBootSettings();

// Deletes the generated per-client files of one directory (no recursion): regular files whose
// name begins with "01-" or consists of hexadecimal digits only. Failures are ignored.
void CleanGeneratedFiles(const std::string &strDirectory);
// Deletes the generated files of one client ("01-<mac>" and "01-<mac>.<ext>", the MAC as
// "52-54-00-.." in lower case) from the directories cleaned at service stop.
void RemoveClientFiles(const std::string &strMac);
// The three directories cleaned at start-up, and the six cleaned at service stop, in order.
void CleanStartupMenus();
void CleanServiceMenus();

// Creates "ipxe/grub_chain_linux.efi", "ipxe/grub_chain_xen.efi" and "ipxe/grub_chain_arm64.efi"
// as symbolic links to the GRUB images (absolute paths) unless a file of that name exists.
void LinkChainLoaders();
// Removes those three links.
void RemoveChainLoaderLinks();
// Removes "ipxe/grub2/fonts" and "ipxe/grub2/x86_64-efi" (a link of that name too), at exit.
void RemoveExitDirectories();

// Counts "ipxe/kiv_background_<n>..." files: the largest n, or 0. Stores and logs it.
uint32_t CountBackgroundImages();
uint32_t BackgroundImageCount();
// The current background index, starting at 1.
uint32_t BackgroundIndex();
// Steps the index on an acknowledgement to our own iPXE: 1, 2, ..., count, 1. Returns it.
uint32_t AdvanceBackground();
// Resets the count and index (program start, and tests).
void ResetBackground();
