// A plug-in for the deployment tests: it accepts sources whose path contains "kivtest", writes a
// per-client menu into the loader tree and an answer file into "kickstart", and fails its service
// start for sources containing "failstart". For sources containing "askoperator" the start asks
// the operator through the utility slots (choose an image, credentials, progress) and fails when
// the operator cancels.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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
}  // namespace

KIV_PLUGIN_EXPORT int EXPORT_PLUGIN_API_CheckEnv()
{
    return 1;
}
KIV_PLUGIN_EXPORT int EXPORT_PLUGIN_API_GetDesc(uint8_t, std::string *pstrDesc)
{
    *pstrDesc = "Deployment test plug-in\r\n-- KIV Test Linux";
    return 0;
}
KIV_PLUGIN_EXPORT int EXPORT_PLUGIN_API_MakeCfgFile(const ClientCfgRequest *pstReq)
{
    std::string strDir, strName;
    PluginUtil<PFN_GetMenuDir>(g_stTable, UTIL_GET_MENU_DIR)(&strDir);
    PluginUtil<PFN_GetClientMenuName>(g_stTable, UTIL_GET_CLIENT_MENU_NAME)(
        pstReq->mac, pstReq->client_ip, &strName);
    WriteFile(strDir + "/" + strName, "DEFAULT test\nLABEL test\n  KERNEL " +
                                          pstReq->boot_file[CLIENT_BOOT_FILE_BIOS] + "\n");
    // What a real answer file carries: the hashed password and the token its end report sends.
    WriteFile("kickstart/" + strName, "answer for " + strName + "\nrootpw " +
                                          pstReq->root_password_crypt +
                                          "\ntoken=" + pstReq->client_token + "\n");
    return 0;
}
KIV_PLUGIN_EXPORT int EXPORT_PLUGIN_API_IsISOMatch(const char *pcSource, const IsoImage *)
{
    return strstr(pcSource, "kivtest") != nullptr;
}
KIV_PLUGIN_EXPORT void EXPORT_PLUGIN_API_ShowCfgDlg() {}
KIV_PLUGIN_EXPORT void EXPORT_PLUGIN_API_SetUtilCB(const PluginUtilTable *pstTable)
{
    g_stTable = *pstTable;
}
KIV_PLUGIN_EXPORT int EXPORT_PLUGIN_API_ServiceStart(ServiceStartRequest *pstReq)
{
    if (pstReq->source_dir.find("failstart") != std::string::npos) {
        pstReq->error_text = "The test plug-in refuses this source";
        return 1;
    }
    if (pstReq->source_dir.find("askoperator") != std::string::npos) {
        std::vector<std::string> vecImages = {"Test Server Standard", "Test Server Datacenter"};
        int iImage = PluginUtil<PFN_ChooseItem>(g_stTable, UTIL_CHOOSE_ITEM)("Choose an image",
                                                                             &vecImages, 1);
        std::string strUser = "deploy", strPassword;
        if (iImage < 0 || !PluginUtil<PFN_AskCredentials>(g_stTable, UTIL_ASK_CREDENTIALS)(
                              "Share credentials", &strUser, &strPassword)) {
            pstReq->error_text = "The operator cancelled";
            return 1;
        }
        PluginUtil<PFN_ProgressShow>(g_stTable, UTIL_PROGRESS_SHOW)("Preparing boot files", 2);
        PluginUtil<PFN_ProgressAdvance>(g_stTable, UTIL_PROGRESS_ADVANCE)(
            1, vecImages[size_t(iImage)].c_str());
        PluginUtil<PFN_ProgressAdvance>(g_stTable, UTIL_PROGRESS_ADVANCE)(2, strUser.c_str());
        PluginUtil<PFN_ProgressClose>(g_stTable, UTIL_PROGRESS_CLOSE)();
    }
    return 0;
}
KIV_PLUGIN_EXPORT int EXPORT_PLUGIN_API_ServiceStop(ServiceStartRequest *)
{
    return 0;
}
KIV_PLUGIN_EXPORT void EXPORT_PLUGIN_API_GetOSType(std::string *pstrType)
{
    *pstrType = "linux";
}
KIV_PLUGIN_EXPORT void EXPORT_PLUGIN_API_GetOSInfo(PluginOsInfo *pstInfo)
{
    pstInfo->ucSupportUefi = 1;
    pstInfo->strOsName = "KIV Test Linux";
    pstInfo->strArch = "X86_64";
    pstInfo->ucIscsiUefi = 1;
}
KIV_PLUGIN_EXPORT void EXPORT_PLUGIN_API_GetVirtISOInfo(PluginVirtIsoInfo *pstInfo)
{
    pstInfo->usSupported = 0;
}
