// Server settings: the keys of "conf/orv.json", their built-in values and their load rules.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Extra kernel boot options of one operating system.
struct ExtBootOption {
    std::string strOsName;
    bool bEnabled = false;
    std::string strLegacyOpt;
    std::string strUefiOpt;
};

// What the option records are built from: a plug-in's file name and its description text.
struct PluginDescription {
    std::string strFileName;
    std::string strDescription;
};

// One disabled record per "-- <name>" line of every plug-in description, the Windows plug-in
// (file name containing "OSPREY", any case) and names containing "Future Version" left out,
// sorted by name in byte order.
std::vector<ExtBootOption> BuildExtBootOptions(const std::vector<PluginDescription> &vecPlugins);

// Member initialisers are the built-in values that stand when no settings file exists.
struct ServerSettings {
    std::string strIPAddr;  // start-address field text, empty when none
    uint32_t uiIPNum = 20;
    std::string strImgPath;                   // installation source, empty when none
    std::vector<std::string> vecHistoryPath;  // earlier sources, newest first
    uint32_t uiImgISO = 1;                    // 1 ISO file, 0 directory
    uint32_t uiAutoStart = 0;
    uint32_t uiWinkeyEnable = 0;
    std::string strWinkey;
    uint32_t uiAutoInstall = 1;
    uint32_t uiDhcpMask = 0xFFFFFF00;
    uint32_t uiDhcpGateway = 0;
    uint32_t uiDhcpFollowHost = 1;
    uint32_t uiDhcpXxx1 = 1;
    uint32_t uiTftpTimeout = 1;
    uint32_t uiTftpMaxRetrans = 5;
    uint32_t uiTftpSingleMode = 0;
    uint16_t usHttpPort = 8810;
    uint32_t uiHttpDiskMode = 0;  // Windows source: 0 SMB share, 1 HTTP disk
    uint32_t uiMacFltDeny = 1;    // 1 blacklist, 0 whitelist
    std::vector<std::string> vecMacFltList;
    std::string strNfsShareUrl;
    std::string strRootPassword;  // root password of installed systems
    int32_t iDhcpOnlyPxe = 0;
    int32_t iZelVmFilter = 0;
    std::vector<ExtBootOption> vecExtBootOpt;
    std::vector<std::string> vecDhcpDns;  // name servers for clients, dotted, at most three
    std::string strDhcpDomain;            // domain for clients, empty when none
    uint32_t uiDhcpProxy = 0;             // 1: proxyDHCP beside the site's DHCP server
    uint32_t uiDhcpRelay = 0;             // 1: serve requests relayed from the pool's subnet
    uint32_t uiIpv6Ra = 0;  // 1: answer router solicitations with lifetime 0 (no IPv6 router)
};

// Keys whose values a layer above owns (the boot settings, in the boot loader configuration): the
// key table reads them from the file into that storage and writes them from it, so each value has
// one copy. An unsigned key of the wrong type or absent takes uiAbsent, and a stored 0 becomes
// uiZeroReplacement unless that is 0; a text key absent takes pcAbsent, or keeps its value when
// pcAbsent is null.
struct SettingsUIntRef {
    const char *pcKey;
    uint32_t *puiValue;
    uint32_t uiAbsent;
    uint32_t uiZeroReplacement;
};
struct SettingsIntRef {
    const char *pcKey;
    int32_t *piValue;
    int32_t iAbsent;
};
struct SettingsTextRef {
    const char *pcKey;
    std::string *pstrValue;
    const char *pcAbsent;
};
struct SettingsKeyRefs {
    std::vector<SettingsUIntRef> vecUInt;
    std::vector<SettingsIntRef> vecInt;
    std::vector<SettingsTextRef> vecText;
};
// Adds keys to the table (at start, before the settings load); every later load and save uses
// them. The storage must live as long as the process.
void RegisterSettingsKeys(const SettingsKeyRefs &stRefs);
// "A[,B,C]": one to three dotted addresses separated by commas (blanks around them allowed), or
// an empty text for none. False, with pvecOut left alone, for anything else.
bool ParseDnsList(const std::string &strText, std::vector<std::string> *pvecOut);
// A domain name: labels of letters, digits and '-' joined by dots, at most 253 characters in
// all and 63 per label; the empty text (no domain) is valid too.
bool DomainNameValid(const std::string &strName);

// Every byte as two upper-case hexadecimal digits: "C:" -> "433A".
std::string HexEncodePath(const std::string &strPath);
// Pairs of hexadecimal digits (either case) back to bytes. False for an odd length, a non-digit
// or a NUL byte; pstrPath is then left alone.
bool HexDecodePath(const std::string &strHex, std::string *pstrPath);

// Reads a settings file into stSettings and the registered keys. False, with nothing changed, when
// the file cannot be read or is not a JSON object. A key of the wrong type counts as absent. The
// key "Chinese" sets the language flag unless it holds 255.
bool LoadSettingsFile(const std::string &strPath, ServerSettings &stSettings);
// Writes every key (IPAddr and ImgPath only when set) to a temporary file beside strPath and
// renames it over strPath, creating the directory when needed. False on any failure.
bool SaveSettingsFile(const std::string &strPath, const ServerSettings &stSettings);

// The settings of the running server and their file "<data dir>/conf/orv.json".
ServerSettings &Settings();
bool LoadSettings();
bool SaveSettings();

// The first pool address the settings name (0 when the text does not parse): with uiIPNum it
// is the pool the lease database belongs to (LEASEDB_Load / LEASEDB_Save).
uint32_t PoolStartAddress(const ServerSettings &stSettings);
