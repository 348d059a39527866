// The contract between kivpxe (the host) and its plug-ins: the records that cross the boundary,
// the host's utility table and the eleven exports every plug-in provides.
//
// Host and plug-ins are built together by one compiler, so strings cross as std::string objects.
// Every record belongs to the host: the plug-in reads its inputs and writes only the fields marked
// "out". Every entry point and utility callback runs on the host's main thread.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct IsoImage;
struct IsoEntry;

// IPv4 addresses are 32-bit values with the first dotted octet in the most significant byte.

// Filled by EXPORT_PLUGIN_API_GetOSInfo.
struct PluginOsInfo {
    uint8_t ucSupportUefi = 0;
    uint8_t ucNeedNfs = 0;
    std::string strOsName;
    std::string strArch;  // e.g. "X86_64"
    uint8_t uc32Bit = 0;  // the architecture text contains "32"
    uint8_t ucIscsiBios = 0;
    uint8_t ucIscsiUefi = 0;
    // {raw path, new path} redirections the host installs for the image root "ISO1".
    std::vector<std::pair<std::string, std::string>> vecRedirect;
};

// Passed to EXPORT_PLUGIN_API_ServiceStart and, filled the same way, to ServiceStop.
struct ServiceStartRequest {
    uint8_t chinese_ui = 0;
    uint32_t server_ip = 0;
    uint32_t server_mask = 0;
    std::string source_dir;                // ISO file path or directory
    const IsoImage *iso_handle = nullptr;  // the opened image, null for a directory source
    std::string error_text;                // out: shown to the operator when the call fails
    uint16_t http_port = 0;
    int32_t http_disk_mode = 0;
};

// The boot configuration stores a Windows plug-in places for BIOS and for UEFI clients, as the
// Windows boot manager asks for them (TFTP paths below the loader's Windows root). While a Windows
// source is served the DHCP service names the store of the client's firmware in option 252; a boot
// manager that does not get the option asks for the BIOS one.
inline constexpr const char *KIV_WINDOWS_BCD_BIOS = "\\Boot\\BCD";
inline constexpr const char *KIV_WINDOWS_BCD_UEFI = "\\Boot\\UEFI\\BCD";

// Index of the strings in ClientCfgRequest::boot_file.
enum ClientBootFileIndex : int {
    CLIENT_BOOT_FILE_BIOS = 0,
    CLIENT_BOOT_FILE_UEFI = 1,
    CLIENT_BOOT_FILE_ROOT_PASSWORD = 2,
    CLIENT_BOOT_FILE_NFS_ROOT = 3,
};

// Passed to EXPORT_PLUGIN_API_MakeCfgFile once per client offer.
struct ClientCfgRequest {
    int32_t uefi = 0;
    int32_t arch = 0;  // DHCP client architecture, 11 = ARM64 UEFI
    int32_t ipxe_sanboot = 0;
    int32_t sanboot_use_type = 0;
    uint8_t iso_index = 1;  // image root number ("ISO1")
    uint32_t client_ip = 0;
    uint32_t mask = 0;
    uint32_t gateway = 0;
    uint32_t server_ip = 0;
    uint8_t mac[6] = {};  // wire order
    int32_t bkimg_index = 0;
    int32_t logo_timeout = 0;
    int32_t http_image = 0;    // the boot file fetches over HTTP
    std::string boot_file[4];  // ClientBootFileIndex
    int32_t disk_select = 0;   // 0 by name, 1 by size
    int32_t disk_size_gb = 0;
    std::string disk_name;  // e.g. "/dev/sda"
    std::string http_disk_url;
    int32_t iscsi_deploy = 0;
    std::string ext_boot_opt;  // extra boot options for the OS, or " "
    int32_t auto_install = 0;
    int32_t winkey_enable = 0;
    std::string winkey;
    // SHA-512 crypt form of boot_file[CLIENT_BOOT_FILE_ROOT_PASSWORD], for installers that
    // take a hash.
    std::string root_password_crypt;
    // The client's own secret; its end-of-install report carries it back.
    std::string client_token;
};

// Filled by EXPORT_PLUGIN_API_GetVirtISOInfo. The strings stay valid while the plug-in keeps
// its current OS; a null or empty string means "none".
struct PluginVirtIsoInfo {
    uint16_t usSupported = 0;  // 1 when a virtual ISO can be built
    const char *pcDriverIso = nullptr;
    const char *pcBiosCfg = nullptr;
    const char *pcUefiCfg = nullptr;
    const char *pcBiosCfgExtra = nullptr;
    const char *pcUefiCfgExtra = nullptr;
    const char *pcVirtCfgTemplate = nullptr;
    const char *pcVirtCfgTemplateExtra = nullptr;
    const char *pcOldFile1 = nullptr;
    const char *pcNewFile1 = nullptr;
    const char *pcOldFile2 = nullptr;
    const char *pcNewFile2 = nullptr;
    struct {
        const char *pcInternal = nullptr;
        const char *pcExternal = nullptr;
    } astPair[4];
};

// Filled by utility slot 11.
struct PluginServerInfo {
    uint32_t uiHttpServerIp = 0;
    uint32_t uiDhcpMask = 0;
    uint32_t uiDhcpGateway = 0;
    uint16_t usHttpPort = 0;
    uint32_t uiTftpBlockSize = 0;  // 1408, 2048, 4096, 8192 or 16384
};

// One {key, value} replacement of slot 4.
struct TemplatePair {
    std::string strKey;
    std::string strValue;
};

// One {file on the host, path inside the WIM} pair of slot 8.
struct WimAddPair {
    std::string strSource;
    std::string strWimPath;
};

// The host's utility table: 100 slots, those past the last defined one are null.
constexpr int PLUGIN_UTIL_SLOTS = 100;
struct PluginUtilTable {
    void *apfnSlot[PLUGIN_UTIL_SLOTS] = {};
};

enum PluginUtilSlot : int {
    UTIL_FILE_LINE_MATCHES = 0,
    UTIL_SOURCE_FILE_MATCHES = 1,
    UTIL_FILE_EXISTS = 2,
    UTIL_STRIP_CARRIAGE_RETURNS = 3,
    UTIL_EXPAND_TEMPLATE = 4,
    UTIL_ADD_TFTP_ROOT = 5,
    UTIL_ADD_SHARE = 6,
    UTIL_DELETE_SHARE = 7,
    UTIL_ADD_FILES_TO_WIM = 8,
    UTIL_LOG = 9,
    UTIL_FIND_FILE_IN_ISO = 10,
    UTIL_GET_SERVER_INFO = 11,
    UTIL_GET_WIM_IMAGE_NAMES = 12,
    UTIL_CRYPT_STRING = 13,
    UTIL_GET_MENU_DIR = 14,
    UTIL_GET_CLIENT_MENU_NAME = 15,
    UTIL_REGEX_MATCHES = 16,
    UTIL_OS_NAME_MATCHES_ISO_NAME = 17,
    UTIL_SOURCE_FILE_CAPTURE = 18,
    UTIL_COPY_FILE_FROM_ISO = 19,
    // Questions a plug-in puts to the operator (the console, or the headless defaults).
    UTIL_CHOOSE_ITEM = 20,
    UTIL_ASK_CREDENTIALS = 21,
    UTIL_PROGRESS_SHOW = 22,
    UTIL_PROGRESS_ADVANCE = 23,
    UTIL_PROGRESS_CLOSE = 24,
    UTIL_SLOT_COUNT = 25,
};

// Signatures of the slots, in slot order. Booleans are returned as nonzero for true.
using PFN_FileLineMatches = int (*)(const char *pcPath, const char *pcRegex);
using PFN_SourceFileMatches = int (*)(const char *pcSource, const IsoImage *pstImage,
                                      const char *pcPathInSource, const char *pcRegex);
using PFN_FileExists = int (*)(const char *pcPath);
using PFN_StripCarriageReturns = void (*)(const char *pcPath);
using PFN_ExpandTemplate = void (*)(const char *pcTemplate, const char *pcOutput,
                                    const TemplatePair *pstPairs, uint32_t uiCount);
using PFN_AddTftpRoot = uint32_t (*)(const char *pcName, const char *pcDirectory);
// Read-only, no guest, for the one account named.
using PFN_AddShare = int (*)(const char *pcShareName, const char *pcLocalPath,
                             const char *pcAccount);
using PFN_DeleteShare = int (*)(const char *pcShareName);
using PFN_AddFilesToWim = int (*)(const char *pcWimPath, const WimAddPair *pstPairs,
                                  uint32_t uiCount);
using PFN_Log = void (*)(uint32_t uiLevel, const char *pcModule, const char *pcFormat, ...);
// The entry record may be null when the caller only asks whether the path exists.
using PFN_FindFileInIso = uint32_t (*)(const IsoImage *pstImage, const char *pcPath,
                                       int iFollowLinks, IsoEntry *pstEntry);
using PFN_GetServerInfo = int (*)(PluginServerInfo *pstInfo);
using PFN_GetWimImageNames = int (*)(const char *pcWimPath, std::vector<std::string> *pvecNames);
// Mode 1 encrypts to upper-case hexadecimal; any other mode decrypts hexadecimal input. A cipher
// failure leaves *pstrOut empty.
using PFN_CryptString = void (*)(std::string *pstrOut, const unsigned char *pucKey,
                                 uint32_t uiKeyLen, const unsigned char *pucIv, const char *pcInput,
                                 int iMode);
using PFN_GetMenuDir = int (*)(std::string *pstrOut);
using PFN_GetClientMenuName = int (*)(const uint8_t *pucMac, uint32_t uiIp, std::string *pstrOut);
using PFN_RegexMatches = int (*)(const char *pcRegex, const char *pcText);
using PFN_OsNameMatchesIsoName = int (*)(const char *pcOsText, const char *pcIsoText);
using PFN_SourceFileCapture = int (*)(const char *pcSource, const IsoImage *pstImage,
                                      const char *pcPathInSource, const char *pcRegex,
                                      std::string *pstrOut);
using PFN_CopyFileFromIso = int (*)(const IsoImage *pstImage, const char *pcImageFile,
                                    const char *pcPathInImage, const char *pcDestDir);
// Lets the operator pick one item; the index chosen, or -1 when the operator cancels.
using PFN_ChooseItem = int (*)(const char *pcTitle, const std::vector<std::string> *pvecItems,
                               int iDefault);
// Asks a user name and password; nonzero when the operator confirmed. The strings come in with
// the proposed values.
using PFN_AskCredentials = int (*)(const char *pcPrompt, std::string *pstrUser,
                                   std::string *pstrPassword);
using PFN_ProgressShow = void (*)(const char *pcTitle, uint32_t uiTotal);
using PFN_ProgressAdvance = void (*)(uint32_t uiDone, const char *pcText);
using PFN_ProgressClose = void (*)();

// Typed access to one slot of a table: PluginUtil<PFN_FileExists>(table, UTIL_FILE_EXISTS).
template <typename Fn>
inline Fn PluginUtil(const PluginUtilTable &stTable, PluginUtilSlot eSlot)
{
    return reinterpret_cast<Fn>(stTable.apfnSlot[eSlot]);
}

// The eleven exports, resolved by name with dlsym in this order.
#define KIV_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

KIV_PLUGIN_EXPORT int EXPORT_PLUGIN_API_CheckEnv();
KIV_PLUGIN_EXPORT int EXPORT_PLUGIN_API_GetDesc(uint8_t ucChinese, std::string *pstrDesc);
KIV_PLUGIN_EXPORT int EXPORT_PLUGIN_API_MakeCfgFile(const ClientCfgRequest *pstReq);
KIV_PLUGIN_EXPORT int EXPORT_PLUGIN_API_IsISOMatch(const char *pcSource, const IsoImage *pstImage);
KIV_PLUGIN_EXPORT void EXPORT_PLUGIN_API_ShowCfgDlg();
KIV_PLUGIN_EXPORT void EXPORT_PLUGIN_API_SetUtilCB(const PluginUtilTable *pstTable);
KIV_PLUGIN_EXPORT int EXPORT_PLUGIN_API_ServiceStart(ServiceStartRequest *pstReq);
KIV_PLUGIN_EXPORT int EXPORT_PLUGIN_API_ServiceStop(ServiceStartRequest *pstReq);
KIV_PLUGIN_EXPORT void EXPORT_PLUGIN_API_GetOSType(std::string *pstrType);
KIV_PLUGIN_EXPORT void EXPORT_PLUGIN_API_GetOSInfo(PluginOsInfo *pstInfo);
KIV_PLUGIN_EXPORT void EXPORT_PLUGIN_API_GetVirtISOInfo(PluginVirtIsoInfo *pstInfo);

// The export names in resolution order; a library missing one of them is not a plug-in.
constexpr const char *PLUGIN_EXPORT_NAMES[] = {
    "EXPORT_PLUGIN_API_CheckEnv",       "EXPORT_PLUGIN_API_GetDesc",
    "EXPORT_PLUGIN_API_MakeCfgFile",    "EXPORT_PLUGIN_API_IsISOMatch",
    "EXPORT_PLUGIN_API_ShowCfgDlg",     "EXPORT_PLUGIN_API_SetUtilCB",
    "EXPORT_PLUGIN_API_ServiceStart",   "EXPORT_PLUGIN_API_ServiceStop",
    "EXPORT_PLUGIN_API_GetOSType",      "EXPORT_PLUGIN_API_GetOSInfo",
    "EXPORT_PLUGIN_API_GetVirtISOInfo",
};

// Pointer types of the exports, for the host.
using PFN_CheckEnv = decltype(&EXPORT_PLUGIN_API_CheckEnv);
using PFN_GetDesc = decltype(&EXPORT_PLUGIN_API_GetDesc);
using PFN_MakeCfgFile = decltype(&EXPORT_PLUGIN_API_MakeCfgFile);
using PFN_IsISOMatch = decltype(&EXPORT_PLUGIN_API_IsISOMatch);
using PFN_ShowCfgDlg = decltype(&EXPORT_PLUGIN_API_ShowCfgDlg);
using PFN_SetUtilCB = decltype(&EXPORT_PLUGIN_API_SetUtilCB);
using PFN_ServiceStart = decltype(&EXPORT_PLUGIN_API_ServiceStart);
using PFN_ServiceStop = decltype(&EXPORT_PLUGIN_API_ServiceStop);
using PFN_GetOSType = decltype(&EXPORT_PLUGIN_API_GetOSType);
using PFN_GetOSInfo = decltype(&EXPORT_PLUGIN_API_GetOSInfo);
using PFN_GetVirtISOInfo = decltype(&EXPORT_PLUGIN_API_GetVirtISOInfo);
