// The Linux and VMware ESXi plug-in: its exports over the shared profile skeleton.
#include "esxi_service.h"
#include "heron_cfgfile.h"
#include "plugin_hostcalls.h"
#include "plugin_match.h"
#include "plugin_skeleton.h"

namespace {
constexpr PluginDescText HERON_DESC = {
    "Name: HERON   \r\nVersion: 3.0.0   \r\nDate: 2019/11/7   \r\n"
    "Description:Support self define OS type for PXE\r\n\r\nCurrent support OS list:\r\n",
    "名称：HERON   \r\n版本：3.0.0   \r\n日期：2019/11/7   \r\n"
    "描述：支持用户自定义操作系统的PXE自动安装\r\n\r\n当前支持的OS列表：\r\n"};
}  // namespace

int EXPORT_PLUGIN_API_CheckEnv()
{
    return LoadProfile(HERON_FLAVOR);
}

int EXPORT_PLUGIN_API_GetDesc(uint8_t ucChinese, std::string *pstrDesc)
{
    SkeletonGetDesc(HERON_DESC, ucChinese, pstrDesc);
    return 0;
}

int EXPORT_PLUGIN_API_MakeCfgFile(const ClientCfgRequest *pstReq)
{
    return HeronMakeCfgFile(pstReq);
}

int EXPORT_PLUGIN_API_IsISOMatch(const char *pcSource, const IsoImage *pstImage)
{
    return IsIsoMatch(pcSource, pstImage);
}

void EXPORT_PLUGIN_API_ShowCfgDlg() {}

void EXPORT_PLUGIN_API_SetUtilCB(const PluginUtilTable *pstTable)
{
    PluginSetHost(pstTable, "PLUG_HERON");
    PluginLog(0, "Plugin load successfully.");
}

int EXPORT_PLUGIN_API_ServiceStart(ServiceStartRequest *pstReq)
{
    PatchEsxiImageDb(pstReq);
    return 0;
}

int EXPORT_PLUGIN_API_ServiceStop(ServiceStartRequest *)
{
    EsxiServiceStop();
    ActiveOs() = nullptr;
    return 0;
}

void EXPORT_PLUGIN_API_GetOSType(std::string *pstrType)
{
    SkeletonGetOSType(pstrType);
}
void EXPORT_PLUGIN_API_GetOSInfo(PluginOsInfo *pstInfo)
{
    SkeletonGetOSInfo(pstInfo);
}
void EXPORT_PLUGIN_API_GetVirtISOInfo(PluginVirtIsoInfo *pstInfo)
{
    SkeletonGetVirtISOInfo(pstInfo);
}
