// The Windows plug-in: its exports over the shared profile skeleton.
#include <algorithm>

#include "osprey_cfgfile.h"
#include "osprey_service.h"
#include "plugin_hostcalls.h"
#include "plugin_match.h"
#include "plugin_skeleton.h"

namespace {

constexpr PluginDescText OSPREY_DESC = {
    "Name: Osprey Server   \r\nVersion: 3.0.0   \r\nDate: 2019/11/7   \r\n"
    "Description:Support windows for PXE\r\n\r\nCurrent support OS list:\r\n",
    "名称：Osprey Server   \r\n版本：3.0.0   \r\n日期：2019/11/7   \r\n"
    "描述：支持Windows的PXE安装\r\n\r\n当前支持的OS列表：\r\n"};

}  // namespace

int EXPORT_PLUGIN_API_CheckEnv()
{
    return LoadProfile(OSPREY_FLAVOR);
}

// Unlike the generic plug-in the list keeps the profile order.
int EXPORT_PLUGIN_API_GetDesc(uint8_t ucChinese, std::string *pstrDesc)
{
    if (!pstrDesc) return 0;
    *pstrDesc = ucChinese == 1 ? OSPREY_DESC.pcChinese : OSPREY_DESC.pcEnglish;
    for (const OsRecord &st : OsList()) {
        if (st.strOSName.find("Future Version") != std::string::npos) continue;
        *pstrDesc += "  -- " + st.strOSName;
        if (&st == ActiveOs())
            *pstrDesc += ucChinese == 1 ? "  (* 当前生效)\r\n" : "  (* Current Active)\r\n";
        else
            *pstrDesc += "\r\n";
    }
    return 0;
}

int EXPORT_PLUGIN_API_MakeCfgFile(const ClientCfgRequest *pstReq)
{
    return OspreyMakeCfgFile(pstReq, OspreyImageIndex());
}

int EXPORT_PLUGIN_API_IsISOMatch(const char *pcSource, const IsoImage *pstImage)
{
    return IsIsoMatch(pcSource, pstImage);
}

void EXPORT_PLUGIN_API_ShowCfgDlg() {}

void EXPORT_PLUGIN_API_SetUtilCB(const PluginUtilTable *pstTable)
{
    PluginSetHost(pstTable, "PLUG_OSPREY");
    PluginLog(0, "Plugin load successfully.");
}

int EXPORT_PLUGIN_API_ServiceStart(ServiceStartRequest *pstReq)
{
    return OspreyServiceStart(pstReq);
}

// The active record and the chosen image stay for the next start.
int EXPORT_PLUGIN_API_ServiceStop(ServiceStartRequest *)
{
    OspreyServiceStop();
    return 0;
}

void EXPORT_PLUGIN_API_GetOSType(std::string *pstrType)
{
    if (pstrType) *pstrType = OspreyImageName().empty() ? "Windows" : OspreyImageName();
}

void EXPORT_PLUGIN_API_GetOSInfo(PluginOsInfo *pstInfo)
{
    SkeletonGetOSInfo(pstInfo);
    if (pstInfo) pstInfo->vecRedirect.clear();
}

// No virtual ISO for Windows media.
void EXPORT_PLUGIN_API_GetVirtISOInfo(PluginVirtIsoInfo *pstInfo)
{
    if (pstInfo) pstInfo->usSupported = 0;
}
