#include "heron_placeholders.h"

#include "plugin_hostcalls.h"
#include "plugin_text.h"

namespace {

struct DriverImage {
    std::string strFmt = " ", strName = " ", strVirtFmt = " ";
};

DriverImage DriverImageValues(const PlaceholderInput &in, const std::string &strServer,
                              const std::string &strBootFile, bool *pbSanboot)
{
    DriverImage st;
    if (!in.bDriverImage) return st;
    const ClientCfgRequest &r = *in.pstReq;
    std::string strImage = in.strDriverPath + "/orv_driver.img";
    st.strName = "orv_driver.img";
    if (strBootFile.find("ipxe") != std::string::npos)
        st.strFmt = Printf("initrd  http://%s:%u/%s/orv_driver.img", strServer.c_str(),
                           in.usHttpPort, in.strDriverPath.c_str());
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

std::vector<TemplatePair> BuildPlaceholderTable(const PlaceholderInput &in, bool *pbSanboot)
{
    const ClientCfgRequest &r = *in.pstReq;
    const OsRecord &os = *in.pstRecord;
    std::string strServer = Dotted(r.server_ip);
    std::string strPostfix = r.auto_install ? "auto" : "manual";
    std::string strRoot = "ISO" + std::to_string(r.iso_index);
    std::string strBootFile =
        r.uefi ? r.boot_file[CLIENT_BOOT_FILE_UEFI] : r.boot_file[CLIENT_BOOT_FILE_BIOS];
    std::string strDisk = r.disk_name;
    ReplaceAll(&strDisk, "/dev/", "");

    *pbSanboot = SanbootSwitch(r, os);
    DriverImage stDriver = DriverImageValues(in, strServer, strBootFile, pbSanboot);

    std::vector<TemplatePair> vec = {
        {"$KS_URL$", AnswerFileUrl(r, in.usHttpPort)},
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
        {"$PXE_IMG_PATH$",
         r.http_image ? "http://" + strServer + ":" + std::to_string(in.usHttpPort) + "/" + strRoot
                      : strRoot},
    };
    AppendClientPairs(r, in.usHttpPort, &vec);
    vec.push_back({"$ROOT_PWD_CRYPT$", r.root_password_crypt});
    vec.push_back({"$CLIENT_TOKEN$", r.client_token});
    vec.push_back({"$DRIVER_PATH$", in.strDriverPath});
    vec.push_back({"$ORV_DRIVER_FMT$", stDriver.strFmt});
    vec.push_back({"$ORV_DRIVER_NAME$", stDriver.strName});
    vec.push_back({"$VIRT_ORV_DRIVER_FMT$", stDriver.strVirtFmt});
    vec.push_back({"$VMW_RAW_MOD_PATH_LIST$", in.pstLists->strPath});
    vec.push_back({"$VMW_RAW_MOD_FILE_LIST$", in.pstLists->strFile});
    vec.push_back({"$DISK_SELECT_TYPE$", r.disk_select == 1 ? "by-size" : "by-name"});
    vec.push_back(
        {"$DISK_SIZE_GB$", r.disk_select == 1 ? std::to_string(unsigned(r.disk_size_gb)) : "300"});
    vec[7].strValue = *pbSanboot ? "YES" : "NO";

    std::string strOpt;
    if (in.bDriverImage && !os.strUpdateDriverInitOpt.empty())
        strOpt += " " + os.strUpdateDriverInitOpt;
    strOpt += r.ext_boot_opt + (r.uefi ? os.strBuildinUefiOpt : os.strBuildinLegacyOpt);
    for (size_t i = 0; i < vec.size(); ++i)
        if (i != 3) ReplaceAll(&strOpt, vec[i].strKey, vec[i].strValue);
    vec[3].strValue = strOpt;
    return vec;
}
