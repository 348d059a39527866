// The host's utility functions, one per slot of the plug-in utility table. Plug-ins reach them
// only through the table; the host's own code and tests may call them directly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kiv_plugin_api.h"

// What utility slot 11 reports about the running deployment. The controller fills it when the
// services start (server address, DHCP mask and gateway, HTTP port); the TFTP block size comes
// from the boot configuration.
struct HostServerInfo {
    uint32_t uiServerIp = 0;
    uint32_t uiDhcpMask = 0;
    uint32_t uiDhcpGateway = 0;
    uint16_t usHttpPort = 0;
};
void SetHostServerInfo(const HostServerInfo &stInfo);
const HostServerInfo &GetHostServerInfo();

// The utility table handed to every plug-in: slots 0-24 filled with the host's functions
// (below), the rest null. Built once, on first use.
const PluginUtilTable &HostUtilTable();

// Slot 0: true at the first line of a text file that the GLib regex matches.
int UTIL_FileLineMatches(const char *pcPath, const char *pcRegex);
// Slot 1: slot 0 on a file of the source: the directory joined with the path, or the file
// copied out of the image into the working directory for the test and deleted after.
int UTIL_SourceFileMatches(const char *pcSource, const IsoImage *pstImage,
                           const char *pcPathInSource, const char *pcRegex);
// Slot 2: the file can be opened for reading.
int UTIL_FileExists(const char *pcPath);
// Slot 3: rewrites a file without carriage returns (through "<path>_TMP" and a rename).
void UTIL_StripCarriageReturns(const char *pcPath);
// Slot 4: copies a template line by line, every pair in order replacing all its occurrences.
void UTIL_ExpandTemplate(const char *pcTemplate, const char *pcOutput, const TemplatePair *pstPairs,
                         uint32_t uiCount);
// Slot 5: adds a root to the TFTP service; 0 or the TFTP module's error.
uint32_t UTIL_AddTftpRoot(const char *pcName, const char *pcDirectory);
// Slots 6 and 7: Samba usershares through "net usershare"; 0, or nonzero after logging why.
int UTIL_AddShare(const char *pcShareName, const char *pcLocalPath, const char *pcAccount);
int UTIL_DeleteShare(const char *pcShareName);
// Slot 9: the server log.
void UTIL_Log(uint32_t uiLevel, const char *pcModule, const char *pcFormat, ...)
    __attribute__((format(printf, 3, 4)));
// Slot 10: IsoFind.
uint32_t UTIL_FindFileInIso(const IsoImage *pstImage, const char *pcPath, int iFollowLinks,
                            IsoEntry *pstEntry);
// Slot 11: the running deployment (plugin_host.h) and the TFTP block size.
int UTIL_GetServerInfo(PluginServerInfo *pstInfo);
// Slot 13: AES-128/192/256-CBC with ISO/IEC 7816-4 padding; mode 1 encrypts to upper-case hex,
// any other mode decrypts hex. Any failure leaves the output empty.
void UTIL_CryptString(std::string *pstrOut, const unsigned char *pucKey, uint32_t uiKeyLen,
                      const unsigned char *pucIv, const char *pcInput, int iMode);
// Slots 14 and 15: MenuDirectory() and ClientMenuFileName().
int UTIL_GetMenuDir(std::string *pstrOut);
int UTIL_GetClientMenuName(const uint8_t *pucMac, uint32_t uiIp, std::string *pstrOut);
// Slot 16: the GLib regex matches the text; an invalid regex gives false.
int UTIL_RegexMatches(const char *pcRegex, const char *pcText);
// Slot 17: some row of the keyword table has its OS keyword in the OS text and its ISO keyword in
// the ISO text (both upper-cased).
int UTIL_OsNameMatchesIsoName(const char *pcOsText, const char *pcIsoText);
// Slot 18: like slot 1, returning the first capture group of the first matching line.
int UTIL_SourceFileCapture(const char *pcSource, const IsoImage *pstImage,
                           const char *pcPathInSource, const char *pcRegex, std::string *pstrOut);
// Slot 19: copies a file of the image to the destination directory joined with its path; 0 or 1.
int UTIL_CopyFileFromIso(const IsoImage *pstImage, const char *pcImageFile,
                         const char *pcPathInImage, const char *pcDestDir);
// Slots 20-24: the operator prompts of server/base/prompt.h.
int UTIL_ChooseItem(const char *pcTitle, const std::vector<std::string> *pvecItems, int iDefault);
int UTIL_AskCredentials(const char *pcPrompt, std::string *pstrUser, std::string *pstrPassword);
void UTIL_ProgressShow(const char *pcTitle, uint32_t uiTotal);
void UTIL_ProgressAdvance(uint32_t uiDone, const char *pcText);
void UTIL_ProgressClose();
