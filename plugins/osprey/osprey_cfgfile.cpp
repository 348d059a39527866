#include "osprey_cfgfile.h"

#include <glib/gstdio.h>

#include <fstream>

#include "plugin_hostcalls.h"
#include "plugin_text.h"

const ProfileFlavor OSPREY_FLAVOR = {"plug_osprey.json", "driver/Windows", true};

namespace {

void Expand(const std::vector<TemplatePair> &vecPairs, const std::string &strTemplate,
            const std::string &strOutput)
{
    if (auto pfn = HostUtil<PFN_ExpandTemplate>(UTIL_EXPAND_TEMPLATE))
        pfn(strTemplate.c_str(), strOutput.c_str(), vecPairs.data(), uint32_t(vecPairs.size()));
}

}  // namespace

std::vector<TemplatePair> OspreyPlaceholderTable(const ClientCfgRequest &r, const OsRecord &os,
                                                 uint16_t usHttpPort,
                                                 const std::string &strImageIndex)
{
    std::string strRoot = "ISO" + std::to_string(r.iso_index);
    std::string strHttpImage = Printf("http://%s:%u/%s", Dotted(r.server_ip).c_str(),
                                      unsigned(usHttpPort), strRoot.c_str());
    std::string strDisk = r.disk_name;
    ReplaceAll(&strDisk, "/dev/", "");
    std::vector<TemplatePair> vec = {
        {"$HTTP_DISK_URL$", r.http_disk_url},
        {"$KS_URL$", AnswerFileUrl(r, usHttpPort)},
        {"$KS_POSTFIX$", r.auto_install ? "auto" : "manual"},
        {"$INSTALL_TYPE$", r.auto_install ? "AUTO" : "MANUAL"},
        {"$ISCSI_DEPLOY$", r.iscsi_deploy ? "YES" : "NO"},
        {"$BIOS_MODE$", r.uefi ? "UEFI" : "LEGACY"},
        {"$ARCH_TYPE$", r.arch == 11 ? "ARM64" : "X86_64"},
        {"$BOOT_LABEL$", os.strBootLabel},
        {"$ROOT_PWD$", r.boot_file[CLIENT_BOOT_FILE_ROOT_PASSWORD]},
        {"$NFS_ROOT$", r.boot_file[CLIENT_BOOT_FILE_NFS_ROOT]},
        {"$DISK_FULL_NAME$", r.disk_name},
        {"$DISK_SHORT_NAME$", strDisk},
        {"$IMAGE_INDEX$", strImageIndex},
        {"$PXE_IMG_PATH$", r.http_image ? strHttpImage : strRoot},
    };
    AppendClientPairs(r, usHttpPort, &vec);
    vec.push_back({"$DRIVER_PATH$", DriverPath(OSPREY_FLAVOR, os)});
    vec.push_back({"$DISK_SELECT_TYPE$", r.disk_select == 1 ? "by-size" : "by-name"});
    vec.push_back(
        {"$DISK_SIZE_GB$", r.disk_select == 1 ? std::to_string(unsigned(r.disk_size_gb)) : "300"});
    // Without a key the commented-out block of the answer file stays a comment.
    const char *apcKey[] = {"<!-- PRODUCT_KEY_FLAG", "PRODUCT_KEY_FLAG -->",
                            "XXXXX-XXXXX-XXXXX-XXXXX-XXXXX"};
    vec.push_back({apcKey[0], r.winkey_enable ? " " : apcKey[0]});
    vec.push_back({apcKey[1], r.winkey_enable ? " " : apcKey[1]});
    vec.push_back({apcKey[2], r.winkey_enable ? r.winkey : apcKey[2]});
    vec.push_back({"$CLIENT_TOKEN$", r.client_token});
    return vec;
}

int OspreyMakeCfgFile(const ClientCfgRequest *pstReq, const std::string &strImageIndex)
{
    PluginServerInfo stServer;
    const OsRecord *pstOs = ClientCallOs(pstReq, &stServer);
    if (!pstOs) {
        return 0;
    }
    const ClientCfgRequest &r = *pstReq;
    const OsRecord &os = *pstOs;
    std::vector<TemplatePair> vec =
        OspreyPlaceholderTable(r, os, stServer.usHttpPort, strImageIndex);

    std::string strWork = PluginWorkDir();
    bool bUefiMenu = r.uefi && os.bSupportUEFI;
    std::string strMenuDir = JoinPath(strWork, HostMenuDir());
    std::string strMenuName;
    if (auto pfn = HostUtil<PFN_GetClientMenuName>(UTIL_GET_CLIENT_MENU_NAME))
        pfn(r.mac, r.client_ip, &strMenuName);
    if (!strMenuName.empty()) {
        std::string strMenu = JoinPath(strMenuDir, strMenuName);
        Expand(vec, JoinPath(strMenuDir, bUefiMenu ? os.strPXEDefaultCfgUEFI : os.strPXEDefaultCfg),
               strMenu);
        const std::string &strEx = r.uefi ? os.strPXEDefaultCfgUEFIEx : os.strPXEDefaultCfgEx;
        if (!strEx.empty() && HostFileExists(JoinPath(strMenuDir, strEx)))
            Expand(vec, JoinPath(strMenuDir, strEx), strMenu + ".ex");
    } else {
        PluginLog(1, "No menu file name for the client, boot menu not written.");
    }

    std::string strMac = DashLowerMac(r.mac);
    if (SanbootSwitch(r, os)) {
        const VirtualIsoCfg &v = os.stVirt;
        std::string strDir =
            strWork + (bUefiMenu ? "/virtualiso/conf/uefi/" : "/virtualiso/conf/bios/");
        if (!(bUefiMenu ? v.uefi_cfgfile : v.bios_cfgfile).empty())
            Expand(vec, strDir + v.virt_cfgfile, strDir + "01-" + strMac);
        if (!(bUefiMenu ? v.uefi_cfgfile_ex : v.bios_cfgfile_ex).empty())
            Expand(vec, strDir + v.virt_cfgfile_ex, strDir + "01-" + strMac + ".ex");
    }

    std::string strKs = strWork + "/kickstart/";
    std::string strAuto = strKs + "01-" + strMac + ".auto";
    Expand(vec, strKs + (bUefiMenu ? os.strAutoRespCfgUEFI : os.strAutoRespCfg), strAuto);
    PrependHttpDiskUrl(strAuto, r.http_disk_url);
    const std::string &strAutoEx = bUefiMenu ? os.strAutoRespCfgUEFIEx : os.strAutoRespCfgEx;
    if (!strAutoEx.empty() && HostFileExists(strKs + strAutoEx))
        Expand(vec, strKs + strAutoEx, strKs + "01-" + strMac + ".ex");
    const std::string &strManual = bUefiMenu ? os.strManualCfgUEFI : os.strManualCfg;
    if (!strManual.empty()) {
        Expand(vec, strKs + strManual, strKs + "01-" + strMac + ".manual");
        PrependHttpDiskUrl(strKs + "01-" + strMac + ".manual", r.http_disk_url);
    }
    Expand(vec, strKs + "windows_install_first_cmd.bat", strKs + "01-" + strMac + ".first");
    return 0;
}

void PrependHttpDiskUrl(const std::string &strPath, const std::string &strUrl)
{
    std::ifstream in(strPath, std::ios::binary);
    if (!in) return;
    std::string strTemp = strPath + "._tmp_";
    {
        std::ofstream out(strTemp, std::ios::binary | std::ios::trunc);
        if (!out) return;
        out << "<!-- HTTPDISKURL=" << strUrl << " -->\r\n";
        std::string strLine;
        while (std::getline(in, strLine)) {
            if (!strLine.empty() && strLine.back() == '\r') strLine.pop_back();
            out << strLine << "\r\n";
        }
        if (!out.flush()) {
            out.close();
            g_remove(strTemp.c_str());
            return;
        }
    }
    // The rename replaces the file in one step: a reader never sees it half written.
    g_rename(strTemp.c_str(), strPath.c_str());
}
