#include "heron_cfgfile.h"

#include "esxi_service.h"
#include "heron_placeholders.h"
#include "plugin_hostcalls.h"
#include "plugin_text.h"

const ProfileFlavor HERON_FLAVOR = {"plug_heron.json", "driver/Linux"};

namespace {

class Expander {
public:
    explicit Expander(std::vector<TemplatePair> vecPairs) : m_vecPairs(std::move(vecPairs)) {}
    void operator()(const std::string &strTemplate, const std::string &strOutput) const
    {
        auto pfn = HostUtil<PFN_ExpandTemplate>(UTIL_EXPAND_TEMPLATE);
        if (pfn)
            pfn(strTemplate.c_str(), strOutput.c_str(), m_vecPairs.data(),
                uint32_t(m_vecPairs.size()));
    }

private:
    std::vector<TemplatePair> m_vecPairs;
};

void VirtualIsoMenus(const Expander &expand, const std::string &strWork, const VirtualIsoCfg &v,
                     bool bUefiForm, const std::string &strMac)
{
    std::string strDir =
        strWork + (bUefiForm ? "/virtualiso/conf/uefi/" : "/virtualiso/conf/bios/");
    const std::string &strCfg = bUefiForm ? v.uefi_cfgfile : v.bios_cfgfile;
    const std::string &strCfgEx = bUefiForm ? v.uefi_cfgfile_ex : v.bios_cfgfile_ex;
    if (!strCfg.empty()) expand(strDir + v.virt_cfgfile, strDir + "01-" + strMac);
    if (!strCfgEx.empty()) expand(strDir + v.virt_cfgfile_ex, strDir + "01-" + strMac + ".ex");
}

}  // namespace

int HeronMakeCfgFile(const ClientCfgRequest *pstReq)
{
    PluginServerInfo stServer;
    const OsRecord *pstOs = ClientCallOs(pstReq, &stServer);
    if (!pstOs) {
        return 0;
    }
    const ClientCfgRequest &r = *pstReq;
    const OsRecord &os = *pstOs;
    std::string strWork = PluginWorkDir();

    PlaceholderInput stIn{pstReq, pstOs,       stServer.usHttpPort, DriverPath(HERON_FLAVOR, os),
                          false,  &EsxiLists()};
    stIn.bDriverImage = HostFileExists(JoinPath(strWork, stIn.strDriverPath + "/orv_driver.img"));
    bool bSanboot = false;
    Expander expand(BuildPlaceholderTable(stIn, &bSanboot));

    bool bFirmware = r.uefi && os.bSupportUEFI;
    std::string strMenuDir = JoinPath(strWork, HostMenuDir());
    std::string strMenuName;
    if (auto pfn = HostUtil<PFN_GetClientMenuName>(UTIL_GET_CLIENT_MENU_NAME))
        pfn(r.mac, r.client_ip, &strMenuName);
    std::string strMenu = JoinPath(strMenuDir, strMenuName);
    if (!strMenuName.empty()) {
        expand(JoinPath(strMenuDir, bFirmware ? os.strPXEDefaultCfgUEFI : os.strPXEDefaultCfg),
               strMenu);
        const std::string &strEx = r.uefi ? os.strPXEDefaultCfgUEFIEx : os.strPXEDefaultCfgEx;
        if (!strEx.empty() && HostFileExists(JoinPath(strMenuDir, strEx)))
            expand(JoinPath(strMenuDir, strEx), strMenu + ".ex");
    } else {
        PluginLog(1, "No menu file name for the client, boot menu not written.");
    }

    std::string strMac = DashLowerMac(r.mac);
    if (bSanboot) VirtualIsoMenus(expand, strWork, os.stVirt, r.uefi && os.bSupportUEFI, strMac);

    std::string strKs = strWork + "/kickstart/";
    expand(strKs + (bFirmware ? os.strAutoRespCfgUEFI : os.strAutoRespCfg),
           strKs + "01-" + strMac + ".auto");
    const std::string &strAutoEx = bFirmware ? os.strAutoRespCfgUEFIEx : os.strAutoRespCfgEx;
    if (!strAutoEx.empty() && HostFileExists(strKs + strAutoEx))
        expand(strKs + strAutoEx, strKs + "01-" + strMac + ".ex");
    const std::string &strManual = bFirmware ? os.strManualCfgUEFI : os.strManualCfg;
    if (!strManual.empty()) expand(strKs + strManual, strKs + "01-" + strMac + ".manual");
    return 0;
}
