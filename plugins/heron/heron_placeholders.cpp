#include "heron_placeholders.h"

#include <glib.h>

#include <bit>
#include <cstdarg>

#include "plugin_hostcalls.h"

namespace {

std::string Dotted(uint32_t ui) {
    return std::to_string(ui >> 24) + "." + std::to_string((ui >> 16) & 0xff) + "." +
           std::to_string((ui >> 8) & 0xff) + "." + std::to_string(ui & 0xff);
}

std::string Mac(const uint8_t *puc, const char *pcFormat) {
    gchar *pc = g_strdup_printf(pcFormat, puc[0], puc[1], puc[2], puc[3], puc[4], puc[5]);
    std::string str(pc);
    g_free(pc);
    return str;
}

std::string Printf(const char *pcFormat, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char *pcFormat, ...) {
    va_list args;
    va_start(args, pcFormat);
    gchar *pc = g_strdup_vprintf(pcFormat, args);
    va_end(args);
    std::string str(pc);
    g_free(pc);
    return str;
}

void ReplaceAll(std::string *pstr, const std::string &strFrom, const std::string &strTo) {
    if (strFrom.empty()) return;
    for (size_t pos = pstr->find(strFrom); pos != std::string::npos; pos = pstr->find(strFrom, pos + strTo.size()))
        pstr->replace(pos, strFrom.size(), strTo);
}

// Sanboot switch before the driver image is looked at.
bool SanbootSwitch(const ClientCfgRequest &r, const OsRecord &os) {
    const VirtualIsoCfg &v = os.stVirt;
    if (!r.ipxe_sanboot || !os.bVirtIso) return false;
    bool bOn = r.uefi ? !v.uefi_cfgfile.empty() || !v.uefi_cfgfile_ex.empty()
                      : !v.bios_cfgfile.empty() || !v.bios_cfgfile_ex.empty();
    if (bOn && r.sanboot_use_type == 0) bOn = r.uefi ? v.uefi_sanboot_only : v.bios_sanboot_only;
    return bOn;
}

struct DriverImage {
    std::string strFmt = " ", strName = " ", strVirtFmt = " ";
};

DriverImage DriverImageValues(const PlaceholderInput &in, const std::string &strServer,
                              const std::string &strBootFile, bool *pbSanboot) {
    DriverImage st;
    if (!in.bDriverImage) return st;
    const ClientCfgRequest &r = *in.pstReq;
    std::string strImage = in.strDriverPath + "/orv_driver.img";
    st.strName = "orv_driver.img";
    if (strBootFile.find("ipxe") != std::string::npos)
        st.strFmt = Printf("initrd  http://%s:%u/%s/orv_driver.img", strServer.c_str(), in.usHttpPort,
                           in.strDriverPath.c_str());
    else if (strBootFile.find("grub2") != std::string::npos)
        st.strFmt = strImage;
    else
        st.strFmt = "," + strImage;
    const VirtualIsoCfg &v = in.pstRecord->stVirt;
    for (int i = 0; i < 4; ++i) {
        if (v.ext_file[i] != strImage) continue;
        st.strVirtFmt = r.uefi ? v.int_file[i] : "," + v.int_file[i];
        if (strBootFile.find("ipxe") != std::string::npos && r.uefi) {
            PluginLog(0, "Must use sanboot for driver update with ipxe.");
            *pbSanboot = true;
        }
        break;
    }
    return st;
}

}  // namespace

std::string DashLowerMac(const uint8_t *pucMac) { return Mac(pucMac, "%02x-%02x-%02x-%02x-%02x-%02x"); }

std::vector<TemplatePair> BuildPlaceholderTable(const PlaceholderInput &in, bool *pbSanboot) {
    const ClientCfgRequest &r = *in.pstReq;
    const OsRecord &os = *in.pstRecord;
    std::string strServer = Dotted(r.server_ip);
    std::string strPort = std::to_string(in.usHttpPort);
    std::string strMacLower = DashLowerMac(r.mac);
    std::string strMacUpper = Mac(r.mac, "%02X-%02X-%02X-%02X-%02X-%02X");
    std::string strPostfix = r.auto_install ? "auto" : "manual";
    std::string strRoot = "ISO" + std::to_string(r.iso_index);
    std::string strHttpImage = "http://" + strServer + ":" + strPort + "/" + strRoot;
    std::string strBootFile = r.uefi ? r.boot_file[CLIENT_BOOT_FILE_UEFI] : r.boot_file[CLIENT_BOOT_FILE_BIOS];
    std::string strDisk = r.disk_name;
    ReplaceAll(&strDisk, "/dev/", "");
    std::string strBits = std::to_string(std::popcount(r.mask));

    *pbSanboot = SanbootSwitch(r, os);
    DriverImage stDriver = DriverImageValues(in, strServer, strBootFile, pbSanboot);

    std::vector<TemplatePair> vec = {
        {"$KS_URL$", "http://" + strServer + ":" + strPort + "/kickstart/01-" + strMacLower + "." + strPostfix},
        {"$KS_POSTFIX$", strPostfix},
        {"$ISCSI_DEPLOY$", r.iscsi_deploy ? "YES" : "NO"},
        {"$EXT_BOOT_OPT$", ""},
        {"$BIOS_MODE$", r.uefi ? "UEFI" : "LEGACY"},
        {"$ARCH_TYPE$", r.arch == 11 ? "ARM64" : "X86_64"},
        {"$BOOT_LABEL$", os.strBootLabel},
        {"$SANBOOT_MODE$", ""},
        {"$ROOT_PWD$", r.boot_file[CLIENT_BOOT_FILE_ROOT_PASSWORD]},
        {"$NFS_ROOT$", r.boot_file[CLIENT_BOOT_FILE_NFS_ROOT]},
        {"$DISK_FULL_NAME$", r.disk_name},
        {"$DISK_SHORT_NAME$", strDisk},
        {"$PXE_IMG_PATH$", r.http_image ? strHttpImage : strRoot},
        {"$SERVER_IP$", strServer},
        {"$SERVER_MASK$", Dotted(r.mask)},
        {"$CLIENT_MASK$", Dotted(r.mask)},
        {"$SERVER_MASK_BIT$", strBits},
        {"$CLIENT_MASK_BIT$", strBits},
        {"$CLIENT_IP$", Dotted(r.client_ip)},
        {"$CLIENT_MAC$", strMacLower},
        {"$CLIENT_MAC_DASH_LOWER$", strMacLower},
        {"$CLIENT_MAC_DASH_UPPER$", strMacUpper},
        {"$CLIENT_MAC_COLON_LOWER$", Mac(r.mac, "%02x:%02x:%02x:%02x:%02x:%02x")},
        {"$CLIENT_MAC_COLON_UPPER$", Mac(r.mac, "%02X:%02X:%02X:%02X:%02X:%02X")},
        {"$GATEWAY_IP$", Dotted(r.gateway)},
        {"$TFTP_IMG_ROOT$", strRoot},
        {"$HTTP_IMG_ROOT$", strRoot},
        {"$HTTP_IMG_URL$", strHttpImage},
        {"$HTTP_PORT$", strPort},
    };
    for (int i = 0; i < 4; ++i)
        vec.push_back({"$CLIENT_IP_B" + std::to_string(i) + "$", std::to_string((r.client_ip >> (8 * i)) & 0xff)});
    for (int i = 0; i < 6; ++i) vec.push_back({"$CLIENT_MAC_B" + std::to_string(i) + "$", Printf("%02X", r.mac[i])});
    vec.push_back({"$BOOT_FILE_NAME$", strBootFile});
    vec.push_back({"$BKIMG_INDEX$", Printf("%02u", unsigned(r.bkimg_index))});
    vec.push_back({"$LOGO_TIMEOUT$", std::to_string(unsigned(r.logo_timeout))});
    vec.push_back({"$DRIVER_PATH$", in.strDriverPath});
    vec.push_back({"$ORV_DRIVER_FMT$", stDriver.strFmt});
    vec.push_back({"$ORV_DRIVER_NAME$", stDriver.strName});
    vec.push_back({"$VIRT_ORV_DRIVER_FMT$", stDriver.strVirtFmt});
    vec.push_back({"$VMW_RAW_MOD_PATH_LIST$", in.pstLists->strPath});
    vec.push_back({"$VMW_RAW_MOD_FILE_LIST$", in.pstLists->strFile});
    vec.push_back({"$DISK_SELECT_TYPE$", r.disk_select == 1 ? "by-size" : "by-name"});
    vec.push_back({"$DISK_SIZE_GB$", r.disk_select == 1 ? std::to_string(unsigned(r.disk_size_gb)) : "300"});
    vec[7].strValue = *pbSanboot ? "YES" : "NO";

    std::string strOpt;
    if (in.bDriverImage && !os.strUpdateDriverInitOpt.empty()) strOpt += " " + os.strUpdateDriverInitOpt;
    strOpt += r.ext_boot_opt + (r.uefi ? os.strBuildinUefiOpt : os.strBuildinLegacyOpt);
    for (size_t i = 0; i < vec.size(); ++i)
        if (i != 3) ReplaceAll(&strOpt, vec[i].strKey, vec[i].strValue);
    vec[3].strValue = strOpt;
    return vec;
}
