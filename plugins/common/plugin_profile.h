// The profile of a plug-in: a JSON array of operating systems, each read into an OsRecord, and
// the process-wide OS list and active record built from it.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct MatchRule {
    std::string strCondition;  // "Exist", "NonExist", "Contains", "NonContains", "WimContains";
                               // others are ignored
    std::string strPath;
    std::string strRegex;
};

struct VmwareRule {
    std::string strDir;        // directory part of V00File
    std::string strFile;       // file part of V00File
    std::string strOperation;  // "add" or "del"
    std::string strPayload;
};

struct VirtualIsoCfg {
    std::string driver_iso, bios_cfgfile, bios_cfgfile_ex, uefi_cfgfile, uefi_cfgfile_ex;
    std::string virt_cfgfile, virt_cfgfile_ex, old_file1, old_file2, new_file1, new_file2;
    std::string int_file[4], ext_file[4];
    bool bios_sanboot_only = false;
    bool uefi_sanboot_only = false;
};

struct OsRecord {
    std::string strOSName = "null";
    std::string strISOPreferRegex;
    std::string strPXEDefaultCfg = "null", strPXEDefaultCfgUEFI = "null";
    std::string strPXEDefaultCfgEx, strPXEDefaultCfgUEFIEx;
    std::string strAutoRespCfg = "null", strAutoRespCfgEx;
    std::string strAutoRespCfgUEFI = "null", strAutoRespCfgUEFIEx;
    std::string strManualCfg, strManualCfgUEFI;
    std::string strBootLabel;
    std::string strArch = "X86_64";
    std::string strBootWimPath =
        "null";  // Windows: the WinPE image, a path or relative to the source
    bool bSupportUEFI = false, bPublish = false, bFlashRom = false, bNfsExport = false;
    bool bSupportISCSIDeploy = false;
    std::string strDriverPathAlias;
    std::string strUpdateDriverInitOpt = " ";
    VirtualIsoCfg stVirt;
    // Derived.
    bool b32Bit = false;
    bool bIscsiUefi = false;
    bool bVirtIso = false;
    std::string strBuildinLegacyOpt, strBuildinUefiOpt;
    std::vector<std::pair<std::string, std::string>> vecRedirect;
    std::vector<VmwareRule> vecVmwareRules;
    std::vector<MatchRule> vecMatchRules;
};

// What differs between the plug-ins that share this code.
struct ProfileFlavor {
    const char *pcProfileName;  // "plug_heron.json", under "plugin" in the working directory
    const char *pcDriverRoot;   // "driver/Linux"
    // Windows media: a boot WIM per record ("BootWimPath"), the "WimContains" condition, built-in
    // options as plain strings, no Linux-only keys, every record gets a driver directory.
    bool bWindows = false;
};

// Reads the profile into the OS list. Returns 1 on success, 0 after logging the problem; the
// records read before a failure stay in the list.
int LoadProfile(const ProfileFlavor &stFlavor);
// The same from the profile's text, without touching the file system.
int ParseProfile(const ProfileFlavor &stFlavor, const std::string &strText);

// "driver/Linux/<alias or OSName>" with every space turned into "_".
std::string DriverPath(const ProfileFlavor &stFlavor, const OsRecord &stRecord);

std::vector<OsRecord> &OsList();
// The active record, or null.
OsRecord *&ActiveOs();
// The flavor of the last LoadProfile.
const ProfileFlavor &ProfileFlavorLoaded();
