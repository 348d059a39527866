// The operator's commands of the main window as functions of the controller, with their checks
// and messages; a console only draws them and calls these.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct MenuState {
    bool bDhcpOnlyPxe = false;
    bool bZelVmFilter = false;
    bool bAutoStart = false;
    bool bIsoFile = true;  // "ISO File" checked, else "Directory"
    bool bChinese = false;
    bool bAutoInstall = true;
    bool bIdleOnlyItemsEnabled = true;  // languages, product key, source kind: not while running
};
MenuState CMD_MenuState();

// Switches, pushed to DHCP at once, also while it runs.
void CMD_ToggleDhcpOnlyPxe();
void CMD_ToggleZelVmFilter();
void CMD_ToggleAutoStart();
// ImgISO 1 or 0; refused (false) while running.
bool CMD_SetSourceKind(bool bIsoFile);
// Installation mode; the install label follows.
void CMD_SetInstallMode(bool bAuto);
// Language switch; refused while running.
bool CMD_SetLanguage(bool bChinese);
// The browse result: with ImgISO 1 the file must be an ISO 9660 image (message 18).
bool CMD_ChooseSource(const std::string &strPath);

// The server configuration dialog's values, numbers already range-checked by the dialog.
struct ServerConfigForm {
    uint32_t uiMask = 0;  // 0: not an address
    uint32_t uiGateway = 0;
    bool bCopyHost = false;
    bool bXxx1 = false;
    std::string strDisk;  // ins_disk_name as typed
    uint32_t uiTftpTimeout = 1;
    uint32_t uiRetransmit = 5;
    bool bSinglePort = false;
    uint16_t usHttpPort = 8810;
    uint32_t uiMenuTimeout = 5;
    uint32_t uiKeyTimeout = 5;
    int32_t iLoader = 2;
    uint32_t uiBootIndex = 0;  // entry of the loader's boot-file list
    uint32_t uiBcdBlock = 0;
    std::string strDns;  // "A[,B,C]" or empty
    std::string strDomain;
    bool bProxy = false;
    bool bRelay = false;
    bool bIpv6Ra = false;
    bool bHttpDisk = false;       // Windows source as an HTTP disk instead of the SMB share
    std::string strRootPassword;  // of the installed systems
};
// OK of that dialog: a zero mask (message 111), no gateway without "xxx1" (112) and a target disk
// that is neither "/dev/..." nor "<n>GB" (113), a bad name-server list or domain are refused with
// nothing changed, and so is a root password that is empty or holds control characters or any of
// " \ < > &; otherwise the server and boot settings take the form's values.
bool CMD_ApplyServerConfig(const ServerConfigForm &stForm);

// The NFS dialog: "<a.b.c.d>:<path>", else message 72.
bool CMD_SetNfsShareUrl(const std::string &strUrl);
// Extra boot options dialog: a record's switch (false for no such record), and its options, taken
// only while the record is on; a byte above 126 is refused with message 68.
bool CMD_SetExtBootActive(uint32_t uiIndex, bool bActive);
bool CMD_SetExtBootOptions(uint32_t uiIndex, const std::string &strLegacy,
                           const std::string &strUefi);
// Product key dialog: refused while running; at most 32 letters, digits and "-", else message 152.
bool CMD_SetWinKey(const std::string &strKey, bool bEnable);

// MAC filter dialog: OK (a whitelist with an empty list asks message 65 first), the edit check
// (message 17), import (message 7 or the count) and export of the saved list (message 8).
bool CMD_MacFilterApply(bool bDeny, const std::vector<std::string> &vecPatterns);
bool CMD_MacEditCheck(const std::string &strText, std::string *pstrPattern);
bool CMD_MacFilterImport(const std::string &strPath, std::vector<std::string> *pvecPatterns);
// Writes "tmp_mac_list.txt" in the data directory; its path, or empty after message 8.
std::string CMD_MacFilterExport();

// "Plugin List", or "%s  (* %s)" with the active plug-in while the DHCP service runs.
std::string CMD_PluginListCaption();
// The About box text.
std::string CMD_AboutText();
// Log commands.
void CMD_FlushLog();
unsigned CMD_DeleteHistoryLog();
