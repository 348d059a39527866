#include "plugin_skeleton.h"

#include <algorithm>
#include <vector>

#include "plugin_profile.h"

void SkeletonGetDesc(const PluginDescText &stText, uint8_t ucChinese, std::string *pstrDesc)
{
    if (!pstrDesc) return;
    *pstrDesc = ucChinese == 1 ? stText.pcChinese : stText.pcEnglish;
    std::vector<std::string> vecNames;
    for (const OsRecord &st : OsList())
        if (st.strOSName.find("Future Version") == std::string::npos)
            vecNames.push_back(st.strOSName);
    std::sort(vecNames.begin(), vecNames.end());
    const OsRecord *pstActive = ActiveOs();
    for (const std::string &strName : vecNames) {
        *pstrDesc += "  -- " + strName;
        if (pstActive && strName == pstActive->strOSName)
            *pstrDesc += ucChinese == 1 ? "  (* 当前生效)\r\n" : "  (* Current Active)\r\n";
        else
            *pstrDesc += "\r\n";
    }
}

void SkeletonGetOSType(std::string *pstrType)
{
    if (pstrType) *pstrType = ActiveOs() ? ActiveOs()->strOSName : std::string();
}

void SkeletonGetOSInfo(PluginOsInfo *pstInfo)
{
    if (!pstInfo) return;
    *pstInfo = PluginOsInfo{};
    const OsRecord *pst = ActiveOs();
    if (!pst) return;
    pstInfo->ucSupportUefi = pst->bSupportUEFI;
    pstInfo->ucNeedNfs = pst->bNfsExport;
    pstInfo->strOsName = pst->strOSName;
    pstInfo->strArch = pst->strArch;
    pstInfo->uc32Bit = pst->b32Bit;
    pstInfo->ucIscsiBios = pst->bSupportISCSIDeploy;
    pstInfo->ucIscsiUefi = pst->bIscsiUefi;
    pstInfo->vecRedirect = pst->vecRedirect;
}

void SkeletonGetVirtISOInfo(PluginVirtIsoInfo *pstInfo)
{
    if (!pstInfo) return;
    *pstInfo = PluginVirtIsoInfo{};
    const OsRecord *pst = ActiveOs();
    if (!pst) return;
    const VirtualIsoCfg &v = pst->stVirt;
    pstInfo->usSupported = pst->bVirtIso;
    pstInfo->pcDriverIso = v.driver_iso.c_str();
    pstInfo->pcBiosCfg = v.bios_cfgfile.c_str();
    pstInfo->pcUefiCfg = v.uefi_cfgfile.c_str();
    pstInfo->pcBiosCfgExtra = v.bios_cfgfile_ex.c_str();
    pstInfo->pcUefiCfgExtra = v.uefi_cfgfile_ex.c_str();
    pstInfo->pcVirtCfgTemplate = v.virt_cfgfile.c_str();
    pstInfo->pcVirtCfgTemplateExtra = v.virt_cfgfile_ex.c_str();
    pstInfo->pcOldFile1 = v.old_file1.c_str();
    pstInfo->pcNewFile1 = v.new_file1.c_str();
    pstInfo->pcOldFile2 = v.old_file2.c_str();
    pstInfo->pcNewFile2 = v.new_file2.c_str();
    for (int i = 0; i < 4; ++i) {
        pstInfo->astPair[i].pcInternal = v.int_file[i].c_str();
        pstInfo->astPair[i].pcExternal = v.ext_file[i].c_str();
    }
}
