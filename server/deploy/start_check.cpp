#include "start_check.h"

#include <glib.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <filesystem>

#include "iso_detect.h"
#include "iso_extract.h"
#include "local_addresses.h"
#include "log.h"
#include "msg_table.h"
#include "prompt.h"
#include "source_extract.h"
#include "qv_text.h"

namespace {

int Refuse(int iMessage, const char *pcCaption = WindowTitle(), PromptIcon eIcon = PromptIcon::None)
{
    PROMPT_Show(MSG_Text(iMessage), pcCaption, eIcon);
    return 0;
}

// Settles the source kind. Returns false after telling the operator, or while the source is
// being extracted.
bool CheckSource(ServerSettings &stSettings, std::function<void()> fnResume)
{
    std::error_code stErr;
    std::string &strSource = stSettings.strImgPath;
    if (std::filesystem::is_directory(strSource, stErr)) {
        stSettings.uiImgISO = 0;
        if (strSource.size() > 1 && (strSource.back() == '/' || strSource.back() == '\\')) {
            strSource.pop_back();
        }
        return true;
    }
    if (!std::filesystem::is_regular_file(strSource, stErr)) {
        return Refuse(125, "ERR", PromptIcon::Error);
    }
    stSettings.uiImgISO = 1;
    if (!IsIso9660File(strSource.c_str())) {
        return Refuse(18, "ERR", PromptIcon::Error);
    }
    if (IsUdfFile(strSource.c_str())) {
        std::string strUpper = strSource;
        std::transform(strUpper.begin(), strUpper.end(), strUpper.begin(),
                       [](unsigned char ucChar) { return static_cast<char>(toupper(ucChar)); });
        int iQuestion = strUpper.find("WINDOWS") != std::string::npos ? 123 : 124;
        if (PROMPT_Ask({MSG_Text(iQuestion), "MSG", PromptIcon::Warning, PromptButtons::YesNo,
                        PromptAnswer::Yes}) != PromptAnswer::Yes) {
            return false;
        }
        // Only a finished extraction comes back here: a cancelled or failed one leaves no tree.
        int iRefusal =
            EXTRACT_StartForSource(strSource, IsoExtractDefaultDestination(strSource),
                                   [&stSettings, fnResume](const std::string &strDestination) {
                                       stSettings.strImgPath = strDestination;
                                       stSettings.uiImgISO = 0;
                                       if (fnResume) {
                                           fnResume();
                                       }
                                   });
        if (iRefusal != 0) {
            PROMPT_Show(MSG_Text(iRefusal), "ERR", PromptIcon::Error);
        }
        return false;
    }
    return true;
}

bool ParseAddress(const std::string &strText, uint32_t *puiValue)
{
    return QV_IpParse(strText.c_str(), puiValue);
}

}  // namespace

int CheckStartParameters(ServerSettings &stSettings, uint32_t *puiLocalAddr, uint32_t *puiLocalMask,
                         std::function<void()> fnResume)
{
    g_assert(0 != puiLocalAddr);
    g_assert(0 != puiLocalMask);
    // A proxy hands out no addresses, so it needs no pool.
    if (stSettings.strIPAddr.empty() || stSettings.strImgPath.empty() ||
        (stSettings.uiIPNum == 0 && stSettings.uiDhcpProxy == 0)) {
        return Refuse(15);
    }
    if (!QV_IpValid(stSettings.strIPAddr.c_str())) {
        return Refuse(12);
    }
    if (!CheckSource(stSettings, std::move(fnResume))) {
        return 0;
    }
    RefreshLocalAddresses();
    uint32_t uiStart = 0;
    ParseAddress(stSettings.strIPAddr, &uiStart);
    // 64-bit end so that a pool reaching past 255.255.255.255 does not wrap.
    uint64_t ulEnd = uint64_t{uiStart} + stSettings.uiIPNum - 1;
    // A proxy hands out no addresses: the start address only names the network to serve, and
    // may be the server's own.
    for (const PLAT_LocalAddress &stLocal : LocalAddresses()) {
        uint32_t uiAddr = 0;
        if (stSettings.uiDhcpProxy == 0 && ParseAddress(stLocal.strAddress, &uiAddr) &&
            uiAddr >= uiStart && uiAddr <= ulEnd) {
            return Refuse(126);
        }
    }
    int iBest = 0;
    uint32_t uiChosenAddr = 0;
    uint32_t uiChosenMask = 0;
    for (const PLAT_LocalAddress &stLocal : LocalAddresses()) {
        uint32_t uiAddr = 0;
        uint32_t uiMask = 0;
        if (!ParseAddress(stLocal.strAddress, &uiAddr) || !ParseAddress(stLocal.strMask, &uiMask) ||
            (uiAddr & uiMask) != (uiStart & uiMask)) {
            continue;
        }
        int iBits = std::popcount(uiMask);
        int iPrefix = std::countl_zero(uiAddr ^ uiStart);
        if (iBest < iBits || iBest < iPrefix) {
            uiChosenAddr = uiAddr;
            uiChosenMask = uiMask;
            iBest = iBits;
        }
    }
    // Served through a relay, the pool may lie in a subnet this machine has no interface in: the
    // first address outside 127.0.0.0/8 is the one the relay is to forward to.
    if (iBest == 0 && stSettings.uiDhcpRelay != 0) {
        for (const PLAT_LocalAddress &stLocal : LocalAddresses()) {
            uint32_t uiAddr = 0;
            uint32_t uiMask = 0;
            if (iBest == 0 && ParseAddress(stLocal.strAddress, &uiAddr) &&
                ParseAddress(stLocal.strMask, &uiMask) && (uiAddr >> 24) != 127) {
                uiChosenAddr = uiAddr;
                uiChosenMask = uiMask;
                iBest = 1;
            }
        }
    }
    if (iBest == 0) {
        return Refuse(127);
    }
    LOG_Print(0, "ORV", "Local address is: %s/%s", QV_IpText(uiChosenAddr).c_str(),
              QV_IpText(uiChosenMask).c_str());
    *puiLocalAddr = uiChosenAddr;
    *puiLocalMask = uiChosenMask;
    return 1;
}
