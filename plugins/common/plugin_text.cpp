#include "plugin_text.h"

#include "plugin_hostcalls.h"

#include <glib.h>

#include <bit>
#include <cstdarg>

namespace {

std::string Mac(const uint8_t *puc, const char *pcFormat)
{
    return Printf(pcFormat, puc[0], puc[1], puc[2], puc[3], puc[4], puc[5]);
}

}  // namespace

std::string Printf(const char *pcFormat, ...)
{
    va_list args;
    va_start(args, pcFormat);
    gchar *pc = g_strdup_vprintf(pcFormat, args);
    va_end(args);
    std::string str(pc);
    g_free(pc);
    return str;
}

void ReplaceAll(std::string *pstr, const std::string &strFrom, const std::string &strTo)
{
    if (strFrom.empty()) return;
    for (size_t pos = pstr->find(strFrom); pos != std::string::npos;
         pos = pstr->find(strFrom, pos + strTo.size()))
        pstr->replace(pos, strFrom.size(), strTo);
}

std::string Dotted(uint32_t ui)
{
    return Printf("%u.%u.%u.%u", ui >> 24, (ui >> 16) & 0xff, (ui >> 8) & 0xff, ui & 0xff);
}

std::string DashLowerMac(const uint8_t *pucMac)
{
    return Mac(pucMac, "%02x-%02x-%02x-%02x-%02x-%02x");
}

std::string AnswerFileUrl(const ClientCfgRequest &r, uint16_t usHttpPort)
{
    return Printf("http://%s:%u/kickstart/01-%s.%s", Dotted(r.server_ip).c_str(),
                  unsigned(usHttpPort), DashLowerMac(r.mac).c_str(),
                  r.auto_install ? "auto" : "manual");
}

bool SanbootSwitch(const ClientCfgRequest &r, const OsRecord &os)
{
    const VirtualIsoCfg &v = os.stVirt;
    if (!r.ipxe_sanboot || !os.bVirtIso) return false;
    bool bOn = r.uefi ? !v.uefi_cfgfile.empty() || !v.uefi_cfgfile_ex.empty()
                      : !v.bios_cfgfile.empty() || !v.bios_cfgfile_ex.empty();
    if (bOn && r.sanboot_use_type == 0) bOn = r.uefi ? v.uefi_sanboot_only : v.bios_sanboot_only;
    return bOn;
}

void AppendClientPairs(const ClientCfgRequest &r, uint16_t usHttpPort,
                       std::vector<TemplatePair> *pvec)
{
    std::string strServer = Dotted(r.server_ip);
    std::string strPort = std::to_string(usHttpPort);
    std::string strMacLower = DashLowerMac(r.mac);
    std::string strRoot = "ISO" + std::to_string(r.iso_index);
    std::string strHttpImage = "http://" + strServer + ":" + strPort + "/" + strRoot;
    std::string strBits = std::to_string(std::popcount(r.mask));
    std::vector<TemplatePair> vec = {
        {"$SERVER_IP$", strServer},
        {"$SERVER_MASK$", Dotted(r.mask)},
        {"$CLIENT_MASK$", Dotted(r.mask)},
        {"$SERVER_MASK_BIT$", strBits},
        {"$CLIENT_MASK_BIT$", strBits},
        {"$CLIENT_IP$", Dotted(r.client_ip)},
        {"$CLIENT_MAC$", strMacLower},
        {"$CLIENT_MAC_DASH_LOWER$", strMacLower},
        {"$CLIENT_MAC_DASH_UPPER$", Mac(r.mac, "%02X-%02X-%02X-%02X-%02X-%02X")},
        {"$CLIENT_MAC_COLON_LOWER$", Mac(r.mac, "%02x:%02x:%02x:%02x:%02x:%02x")},
        {"$CLIENT_MAC_COLON_UPPER$", Mac(r.mac, "%02X:%02X:%02X:%02X:%02X:%02X")},
        {"$GATEWAY_IP$", Dotted(r.gateway)},
        {"$TFTP_IMG_ROOT$", strRoot},
        {"$HTTP_IMG_ROOT$", strRoot},
        {"$HTTP_IMG_URL$", strHttpImage},
        {"$HTTP_PORT$", strPort},
    };
    for (int i = 0; i < 4; ++i)
        vec.push_back({"$CLIENT_IP_B" + std::to_string(i) + "$",
                       std::to_string((r.client_ip >> (8 * i)) & 0xff)});
    for (int i = 0; i < 6; ++i)
        vec.push_back({"$CLIENT_MAC_B" + std::to_string(i) + "$", Printf("%02X", r.mac[i])});
    vec.push_back({"$BOOT_FILE_NAME$", r.uefi ? r.boot_file[CLIENT_BOOT_FILE_UEFI]
                                              : r.boot_file[CLIENT_BOOT_FILE_BIOS]});
    vec.push_back({"$BKIMG_INDEX$", Printf("%02u", unsigned(r.bkimg_index))});
    vec.push_back({"$LOGO_TIMEOUT$", std::to_string(unsigned(r.logo_timeout))});
    pvec->insert(pvec->end(), vec.begin(), vec.end());
}

const OsRecord *ClientCallOs(const ClientCfgRequest *pstReq, PluginServerInfo *pstServer)
{
    const OsRecord *pstOs = ActiveOs();
    if (!pstReq || !pstOs) {
        PluginLog(1, "No active OS, no configuration written for the client.");
        return nullptr;
    }
    if (auto pfn = HostUtil<PFN_GetServerInfo>(UTIL_GET_SERVER_INFO)) pfn(pstServer);
    return pstOs;
}
