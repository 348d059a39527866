#include "boot_config.h"

#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>

#include "boot_text.h"
#include "log.h"
#include "settings.h"

namespace fs = std::filesystem;

namespace {

BootLoaderConfig g_stBootConfig;
uint32_t g_uiTftpBlockSize = 1408;
uint32_t g_uiBackgroundCount = 0;
uint32_t g_uiBackgroundIndex = 1;

// The three iPXE chain-loader links and their GRUB targets.
const char *const g_apcChainLinks[][2] = {
    {"ipxe/grub_chain_linux.efi", "grub2/grub2.x64efi.all.0"},
    {"ipxe/grub_chain_xen.efi", "grub2/grub_chain_xen.efi"},
    {"ipxe/grub_chain_arm64.efi", "grub2/grub2.arm64efi.all.0"},
};

bool Contains(const std::string &strText, const char *pcPart)
{
    return strText.find(pcPart) != std::string::npos;
}

// True for a simple wildcard pattern: "*" any run, everything else itself.
bool PatternMatches(const char *pcPattern, const std::string &strName)
{
    return g_pattern_match_simple(pcPattern, strName.c_str());
}

// Regular files of a directory whose names match a pattern, in enumeration order.
std::vector<std::string> FilesMatching(const std::string &strDir, const char *pcPattern)
{
    std::vector<std::string> vecNames;
    std::error_code stErr;
    for (fs::directory_iterator it(strDir, stErr), end; !stErr && it != end; it.increment(stErr)) {
        std::string strName = it->path().filename().string();
        if (!it->is_directory(stErr) && PatternMatches(pcPattern, strName)) {
            vecNames.push_back(strName);
        }
    }
    return vecNames;
}

// Entry j goes before entry i: by build number when both read "pxelinux.<n>.0", else as strings.
bool PxelinuxBefore(const std::string &strJ, const std::string &strI)
{
    int iJ = 0;
    int iI = 0;
    char cEndJ = 0;
    char cEndI = 0;
    if (sscanf(strJ.c_str(), "pxelinux.%d.%c", &iJ, &cEndJ) == 2 && cEndJ == '0' &&
        sscanf(strI.c_str(), "pxelinux.%d.%c", &iI, &cEndI) == 2 && cEndI == '0') {
        return iJ < iI;
    }
    return strJ < strI;
}

bool AllHexDigits(const std::string &strName)
{
    return !strName.empty() &&
           std::all_of(strName.begin(), strName.end(),
                       [](unsigned char ucChar) { return isxdigit(ucChar) != 0; });
}

}  // namespace

BootLoaderConfig &BootConfig()
{
    return g_stBootConfig;
}

void ScanBootFiles(int32_t iKind)
{
    BootLoaderConfig &stConfig = g_stBootConfig;
    stConfig.iLoaderType = iKind;
    stConfig.iBootFileIndex = 0;
    switch (iKind) {
    case BOOT_LOADER_PXELINUX:
        stConfig.vecBootFiles = FilesMatching("pxelinux", "*pxelinux*.0");
        break;
    case BOOT_LOADER_GRUB2:
        stConfig.vecBootFiles = FilesMatching("grub2", "*.0");
        return;
    case BOOT_LOADER_IPXE:
        stConfig.vecBootFiles = FilesMatching("ipxe", "*.0");
        return;
    default:
        stConfig.vecBootFiles.clear();
        return;
    }
    std::vector<std::string> &vecFiles = stConfig.vecBootFiles;
    // An exchange sort, so that names that do not parse keep the order this rule gives them.
    for (size_t i = 0; i < vecFiles.size(); ++i) {
        for (size_t j = i + 1; j < vecFiles.size(); ++j) {
            if (PxelinuxBefore(vecFiles[j], vecFiles[i])) {
                std::swap(vecFiles[i], vecFiles[j]);
            }
        }
    }
    auto it = std::find_if(vecFiles.begin(), vecFiles.end(),
                           [](const std::string &strName) { return Contains(strName, "1408"); });
    stConfig.iBootFileIndex =
        it == vecFiles.end() ? 0 : static_cast<int32_t>(it - vecFiles.begin());
}

void SelectBootFileByName(const std::string &strText)
{
    std::vector<std::string> &vecFiles = g_stBootConfig.vecBootFiles;
    for (size_t i = 0; i < vecFiles.size(); ++i) {
        if (Contains(vecFiles[i], strText.c_str())) {
            g_stBootConfig.iBootFileIndex = static_cast<int32_t>(i);
            return;
        }
    }
}

std::string BiosBootFile()
{
    switch (g_stBootConfig.iLoaderType) {
    case BOOT_LOADER_GRUB2:
        return "grub2.bios.all.0";
    case BOOT_LOADER_IPXE:
        return "ipxe.bios.0";
    default:
        break;
    }
    const std::vector<std::string> &vecFiles = g_stBootConfig.vecBootFiles;
    int32_t iIndex = g_stBootConfig.iBootFileIndex;
    // The index is checked: a list rebuilt shorter never yields a name past its end.
    if (iIndex >= 0 && static_cast<size_t>(iIndex) < vecFiles.size()) {
        return vecFiles[iIndex];
    }
    return "pxelinux.1408.0";
}

bool IsWindowsOsType(const std::string &strOsType)
{
    return Contains(UpperText(strOsType), "WINDOWS");
}

std::string UefiBootFileFor(const std::string &strOsType, const std::string &strOsName)
{
    bool bWindows = IsWindowsOsType(strOsType);
    std::string strName = UpperText(strOsName);
    bool bArm = Contains(strName, "ARM") || Contains(strName, "AARCH64");
    switch (g_stBootConfig.iLoaderType) {
    case BOOT_LOADER_PXELINUX:
        return bWindows ? "pxelinux.efi.windows" : "pxelinux.efi.linux";
    case BOOT_LOADER_GRUB2:
        if (bWindows) return "grub2.efi.windows";
        return bArm ? "grub2.arm64efi.all.0" : "grub2.x64efi.all.0";
    case BOOT_LOADER_IPXE:
        // No arm64 iPXE exists to ship: arm64 clients chain the arm64 GRUB of the iPXE tree.
        return bArm ? "grub_chain_arm64.efi" : "ipxe.efi.0";
    default:
        return BiosBootFile();
    }
}

bool BootFileSupportsWindows()
{
    return !Contains(BiosBootFile(), "lpxelinux");
}

std::string LoaderDirectory()
{
    switch (g_stBootConfig.iLoaderType) {
    case BOOT_LOADER_PXELINUX:
        return "pxelinux";
    case BOOT_LOADER_GRUB2:
        return "grub2";
    case BOOT_LOADER_IPXE:
        return "ipxe";
    default:
        return "";
    }
}

std::string MenuDirectory()
{
    switch (g_stBootConfig.iLoaderType) {
    case BOOT_LOADER_PXELINUX:
        return "pxelinux/pxelinux.cfg";
    case BOOT_LOADER_GRUB2:
        return "grub2/grub2.cfg";
    case BOOT_LOADER_IPXE:
        return "ipxe/ipxe.cfg";
    default:
        return "";
    }
}

std::string ClientMenuFileName(const uint8_t aucMac[6], uint32_t uiIp)
{
    int32_t iKind = g_stBootConfig.iLoaderType;
    if (iKind != BOOT_LOADER_PXELINUX && iKind != BOOT_LOADER_GRUB2 && iKind != BOOT_LOADER_IPXE) {
        return "";
    }
    char szName[32];
    bool bZeroMac = std::all_of(aucMac, aucMac + 6, [](uint8_t ucByte) { return ucByte == 0; });
    if (iKind == BOOT_LOADER_PXELINUX && bZeroMac) {
        snprintf(szName, sizeof(szName), "%02x%02x%02x%02x", uiIp >> 24, (uiIp >> 16) & 0xFF,
                 (uiIp >> 8) & 0xFF, uiIp & 0xFF);
    } else {
        snprintf(szName, sizeof(szName), "01-%02x-%02x-%02x-%02x-%02x-%02x", aucMac[0], aucMac[1],
                 aucMac[2], aucMac[3], aucMac[4], aucMac[5]);
    }
    return szName;
}

uint32_t BlockSizeOfChoice(uint32_t uiChoice)
{
    static const uint32_t auiSizes[] = {1408, 2048, 4096, 8192, 16384};
    return uiChoice < 5 ? auiSizes[uiChoice] : 1408;
}

void SetBlockSizeChoice(uint32_t uiChoice)
{
    g_stBootConfig.uiBlockSizeChoice = uiChoice;
    g_uiTftpBlockSize = BlockSizeOfChoice(uiChoice);
}

uint32_t TftpBlockSize()
{
    return g_uiTftpBlockSize;
}

void ParseTargetDisk(const std::string &strText)
{
    BootLoaderConfig &stConfig = g_stBootConfig;
    stConfig.strInsDiskName = strText;
    if (strText.rfind("/dev/", 0) == 0) {
        stConfig.uiDiskSelect = 0;
        stConfig.strDiskName = strText;
        stConfig.uiDiskSizeGb = 300;
        return;
    }
    stConfig.uiDiskSelect = 1;
    stConfig.strDiskName = "/dev/sda";
    // The leading digits only; a value too large to hold stops growing rather than wrapping.
    uint64_t ulSize = 0;
    for (size_t i = 0; i < strText.size() && isdigit(static_cast<unsigned char>(strText[i])); ++i) {
        ulSize = std::min<uint64_t>(ulSize * 10 + (strText[i] - '0'), UINT32_MAX);
    }
    stConfig.uiDiskSizeGb = static_cast<uint32_t>(ulSize);
}

bool TargetDiskTextValid(const std::string &strText)
{
    return g_regex_match_simple("^/dev/.*$|^[0-9]+GB$", strText.c_str(), G_REGEX_DEFAULT,
                                G_REGEX_MATCH_DEFAULT);
}

void RegisterBootSettings()
{
    BootLoaderConfig &c = g_stBootConfig;
    RegisterSettingsKeys({
        {{"bcd_tftp_block_size", &c.uiBlockSizeChoice, 0, 0},
         {"sanboot_use_type", &c.uiSanbootUseType, 0, 0},
         {"pim_choose_timeout", &c.uiPimChooseTimeout, 5, 5},
         {"pim_press_timeout", &c.uiPimPressTimeout, 5, 5},
         {"logo_timeout", &c.uiLogoTimeout, 3, 3}},
        {{"loader_type", &c.iLoaderType, BOOT_LOADER_IPXE}},
        // An absent dhcp_file names no boot file: the current choice stays.
        {{"ins_disk_name", &c.strInsDiskName, "/dev/sda"}, {"dhcp_file", &c.strDhcpFile, nullptr}},
    });
}

void ApplyBootSettings()
{
    BootLoaderConfig &c = g_stBootConfig;
    ScanBootFiles(c.iLoaderType);
    SetBlockSizeChoice(c.uiBlockSizeChoice);
    if (!c.strDhcpFile.empty()) {
        SelectBootFileByName(c.strDhcpFile);
    }
    ParseTargetDisk(c.strInsDiskName);
}

// Where the plug-ins write per-client files.
const char *const g_apcServiceMenuDirs[] = {"pxelinux/pxelinux.cfg", "kickstart",
                                            "grub2/grub2.cfg",       "ipxe/ipxe.cfg",
                                            "virtualiso/conf/bios",  "virtualiso/conf/uefi"};

void CleanGeneratedFiles(const std::string &strDirectory)
{
    std::error_code stErr;
    std::vector<fs::path> vecDoomed;
    for (fs::directory_iterator it(strDirectory, stErr), end; !stErr && it != end;
         it.increment(stErr)) {
        std::string strName = it->path().filename().string();
        // symlink_status: a link is not a regular file of ours, whatever it points at.
        if (fs::is_regular_file(it->symlink_status(stErr)) &&
            (strName.rfind("01-", 0) == 0 || AllHexDigits(strName))) {
            vecDoomed.push_back(it->path());
        }
    }
    for (const fs::path &stPath : vecDoomed) {
        fs::remove(stPath, stErr);
    }
}

void RemoveClientFiles(const std::string &strMac)
{
    if (strMac.size() != 17) {
        return;  // "N/A" rows have no files of their own
    }
    const std::string strPrefix = "01-" + strMac;
    std::error_code stErr;
    for (const char *pcDir : g_apcServiceMenuDirs) {
        std::vector<fs::path> vecDoomed;
        for (fs::directory_iterator it(pcDir, stErr), end; !stErr && it != end;
             it.increment(stErr)) {
            std::string strName = it->path().filename().string();
            if (strName.rfind(strPrefix, 0) == 0 &&
                (strName.size() == strPrefix.size() || strName[strPrefix.size()] == '.') &&
                fs::is_regular_file(it->symlink_status(stErr))) {
                vecDoomed.push_back(it->path());
            }
        }
        stErr.clear();
        for (const fs::path &stPath : vecDoomed) {
            fs::remove(stPath, stErr);
        }
    }
}

void CleanStartupMenus()
{
    for (const char *pcDir : {"pxelinux/pxelinux.cfg", "kickstart", "grub2/grub2.cfg"}) {
        CleanGeneratedFiles(pcDir);
    }
}

void CleanServiceMenus()
{
    for (const char *pcDir : g_apcServiceMenuDirs) {
        CleanGeneratedFiles(pcDir);
    }
}

void LinkChainLoaders()
{
    std::error_code stErr;
    fs::path stCwd = fs::current_path(stErr);
    for (const auto &apcPair : g_apcChainLinks) {
        fs::path stLink = stCwd / apcPair[0];
        // A dangling link counts as an existing name too.
        if (!fs::exists(fs::symlink_status(stLink, stErr))) {
            fs::create_symlink(stCwd / apcPair[1], stLink, stErr);
        }
    }
}

void RemoveChainLoaderLinks()
{
    std::error_code stErr;
    for (const auto &apcPair : g_apcChainLinks) {
        // Only our links go; a real file an operator put there stays.
        if (fs::is_symlink(fs::symlink_status(apcPair[0], stErr))) {
            fs::remove(apcPair[0], stErr);
        }
    }
}

void RemoveExitDirectories()
{
    std::error_code stErr;
    for (const char *pcDir : {"ipxe/grub2/fonts", "ipxe/grub2/x86_64-efi"}) {
        // Like RemoveDirectory: an empty directory or a link of that name, never a filled tree.
        if (fs::is_symlink(fs::symlink_status(pcDir, stErr))) {
            fs::remove(pcDir, stErr);
        } else if (fs::is_directory(pcDir, stErr)) {
            rmdir(pcDir);
        }
    }
}

uint32_t CountBackgroundImages()
{
    uint32_t uiCount = 0;
    for (const std::string &strName : FilesMatching("ipxe", "kiv_background_*")) {
        uint64_t ulNumber = g_ascii_strtoull(strName.c_str() + 15, nullptr, 10);
        uiCount =
            std::max<uint32_t>(uiCount, static_cast<uint32_t>(std::min<uint64_t>(ulNumber, 99)));
    }
    g_uiBackgroundCount = uiCount;
    LOG_PrintKind(7, "PIM back ground image num %u", uiCount);
    return uiCount;
}

uint32_t BackgroundImageCount()
{
    return g_uiBackgroundCount;
}

uint32_t BackgroundIndex()
{
    return g_uiBackgroundIndex;
}

uint32_t AdvanceBackground()
{
    g_uiBackgroundIndex =
        g_uiBackgroundIndex + 1 > g_uiBackgroundCount ? 1 : g_uiBackgroundIndex + 1;
    return g_uiBackgroundIndex;
}

void ResetBackground()
{
    g_uiBackgroundCount = 0;
    g_uiBackgroundIndex = 1;
}
