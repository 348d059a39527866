// A plug-in for the deployment tests: it accepts sources whose path contains "kivtest", writes a
// per-client menu into the loader tree and an answer file into "kickstart", and fails its service
// start for sources containing "failstart".
#include <cstdio>
#include <cstring>

#include "kiv_plugin_api.h"

namespace {
PluginUtilTable g_stTable;

void WriteFile(const std::string &strPath, const std::string &strText)
{
    if (FILE *pstFile = fopen(strPath.c_str(), "w")) {
        fputs(strText.c_str(), pstFile);
        fclose(pstFile);
    }
}
} // namespace

KIV_PLUGIN_EXPORT int EXPORT_PLUGIN_API_CheckEnv() { return 1; }
KIV_PLUGIN_EXPORT int EXPORT_PLUGIN_API_GetDesc(uint8_t, std::string *pstrDesc)
{
    *pstrDesc = "Deployment test plug-in\r\n-- KIV Test Linux";
    return 0;
}
KIV_PLUGIN_EXPORT int EXPORT_PLUGIN_API_MakeCfgFile(const ClientCfgRequest *pstReq)
{
    std::string strDir, strName;
    PluginUtil<PFN_GetMenuDir>(g_stTable, UTIL_GET_MENU_DIR)(&strDir);
    PluginUtil<PFN_GetClientMenuName>(g_stTable, UTIL_GET_CLIENT_MENU_NAME)(pstReq->mac, pstReq->client_ip,
                                                                          &strName);
    WriteFile(strDir + "/" + strName, "DEFAULT test\nLABEL test\n  KERNEL " +
                                          pstReq->boot_file[CLIENT_BOOT_FILE_BIOS] + "\n");
    WriteFile("kickstart/" + strName, "answer for " + strName + "\n");
    return 0;
}
KIV_PLUGIN_EXPORT int EXPORT_PLUGIN_API_IsISOMatch(const char *pcSource, const IsoImage *)
{
    return strstr(pcSource, "kivtest") != nullptr;
}
KIV_PLUGIN_EXPORT void EXPORT_PLUGIN_API_ShowCfgDlg() {}
KIV_PLUGIN_EXPORT void EXPORT_PLUGIN_API_SetUtilCB(const PluginUtilTable *pstTable) { g_stTable = *pstTable; }
KIV_PLUGIN_EXPORT int EXPORT_PLUGIN_API_ServiceStart(ServiceStartRequest *pstReq)
{
    if (pstReq->source_dir.find("failstart") != std::string::npos) {
        pstReq->error_text = "The test plug-in refuses this source";
        return 1;
    }
    return 0;
}
KIV_PLUGIN_EXPORT int EXPORT_PLUGIN_API_ServiceStop(ServiceStartRequest *) { return 0; }
KIV_PLUGIN_EXPORT void EXPORT_PLUGIN_API_GetOSType(std::string *pstrType) { *pstrType = "linux"; }
KIV_PLUGIN_EXPORT void EXPORT_PLUGIN_API_GetOSInfo(PluginOsInfo *pstInfo)
{
    pstInfo->ucSupportUefi = 1;
    pstInfo->strOsName = "KIV Test Linux";
    pstInfo->strArch = "X86_64";
    pstInfo->ucIscsiUefi = 1;
}
KIV_PLUGIN_EXPORT void EXPORT_PLUGIN_API_GetVirtISOInfo(PluginVirtIsoInfo *pstInfo) { pstInfo->usSupported = 0; }
