// A plug-in for the host's tests, built in variants by compile definitions:
// TEST_MATCH the text a source path must contain to match, TEST_CHECK_ENV the CheckEnv result,
// TEST_NO_VIRTISO leaves out the last export.
#include <cstring>

#include "kiv_plugin_api.h"

namespace {
int g_iMatchCalls = 0;
const PluginUtilTable *g_pstTable = nullptr;
}  // namespace

// Test hooks, looked up with dlsym by the tests.
KIV_PLUGIN_EXPORT int TestPlugin_MatchCalls()
{
    return g_iMatchCalls;
}
KIV_PLUGIN_EXPORT void TestPlugin_Reset()
{
    g_iMatchCalls = 0;
}
KIV_PLUGIN_EXPORT const PluginUtilTable *TestPlugin_Table()
{
    return g_pstTable;
}

KIV_PLUGIN_EXPORT int EXPORT_PLUGIN_API_CheckEnv()
{
    return TEST_CHECK_ENV;
}
KIV_PLUGIN_EXPORT int EXPORT_PLUGIN_API_GetDesc(uint8_t ucChinese, std::string *pstrDesc)
{
    *pstrDesc =
        std::string(ucChinese ? "测试 " : "Test ") + TEST_MATCH + "\r\n-- " + TEST_MATCH + " OS";
    return 0;
}
KIV_PLUGIN_EXPORT int EXPORT_PLUGIN_API_MakeCfgFile(const ClientCfgRequest *)
{
    return 0;
}
KIV_PLUGIN_EXPORT int EXPORT_PLUGIN_API_IsISOMatch(const char *pcSource, const IsoImage *)
{
    ++g_iMatchCalls;
    return strstr(pcSource, TEST_MATCH) != nullptr;
}
KIV_PLUGIN_EXPORT void EXPORT_PLUGIN_API_ShowCfgDlg() {}
KIV_PLUGIN_EXPORT void EXPORT_PLUGIN_API_SetUtilCB(const PluginUtilTable *pstTable)
{
    g_pstTable = pstTable;
}
KIV_PLUGIN_EXPORT int EXPORT_PLUGIN_API_ServiceStart(ServiceStartRequest *)
{
    return 0;
}
KIV_PLUGIN_EXPORT int EXPORT_PLUGIN_API_ServiceStop(ServiceStartRequest *)
{
    return 0;
}
KIV_PLUGIN_EXPORT void EXPORT_PLUGIN_API_GetOSType(std::string *pstrType)
{
    *pstrType = TEST_MATCH;
}
KIV_PLUGIN_EXPORT void EXPORT_PLUGIN_API_GetOSInfo(PluginOsInfo *pstInfo)
{
    pstInfo->strOsName = TEST_MATCH;
}
#ifndef TEST_NO_VIRTISO
KIV_PLUGIN_EXPORT void EXPORT_PLUGIN_API_GetVirtISOInfo(PluginVirtIsoInfo *pstInfo)
{
    pstInfo->usSupported = 0;
}
#endif
