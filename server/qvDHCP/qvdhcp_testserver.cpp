// Runs the DHCP service with settings from the command line until SIGTERM or SIGINT, logging
// every line and every client event to stdout. The lease database is loaded from and saved to
// the working directory. Used by the network-namespace tests.
#include "qvdhcp.h"
#include "qvdhcp_ra.h"
#include "qvdhcp_leasedb.h"

#include "qv_text.h"

#include <glib-unix.h>
#include <glib.h>

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {

const char *const kSinkNames[] = {"", "DHCP_LOG", "DHCP_DIG", "DHCP_DBG", "PXEDLG"};

void PrintLog(int iModule, const char *pcFormat, ...)
{
    char szText[2048];
    va_list args;
    va_start(args, pcFormat);
    vsnprintf(szText, sizeof(szText), pcFormat, args);
    va_end(args);
    printf("[%s] %s\n", iModule >= 1 && iModule <= 4 ? kSinkNames[iModule] : "?", szText);
    fflush(stdout);
}

void PrintEvent(uint32_t uiCode, const QVDHCP_ClientEvent *pstEvent)
{
    printf("EVENT %u mac=%s ip=%s pxe=%u efi=%u arch=%u kivipxe=%u\n", uiCode,
           QV_MacText(pstEvent->aucMac).c_str(), QV_IpText(pstEvent->uiAddress).c_str(),
           pstEvent->uiIsPXE, pstEvent->uiIsEFI, unsigned(pstEvent->usArch), pstEvent->uiIsKivIPXE);
    fflush(stdout);
}

// Threads of this process named "QVDHCP", the service's receive thread.
unsigned ServiceThreadCount()
{
    unsigned uiCount = 0;
    GDir *pstDir = g_dir_open("/proc/self/task", 0, nullptr);
    if (pstDir == nullptr) {
        return 0;
    }
    while (const char *pcTask = g_dir_read_name(pstDir)) {
        gchar *pcPath = g_strdup_printf("/proc/self/task/%s/comm", pcTask);
        gchar *pcName = nullptr;
        if (g_file_get_contents(pcPath, &pcName, nullptr, nullptr)) {
            uiCount += g_strcmp0(g_strstrip(pcName), "QVDHCP") == 0 ? 1 : 0;
        }
        g_free(pcName);
        g_free(pcPath);
    }
    g_dir_close(pstDir);
    return uiCount;
}

bool ParseIp(const char *pcText, uint32_t *puiIp)
{
    return pcText != nullptr && QV_IpValid(pcText) && QV_IpParse(pcText, puiIp);
}

gboolean Quit(gpointer pLoop)
{
    g_main_loop_quit(static_cast<GMainLoop *>(pLoop));
    return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char **argv)
{
    g_autofree gchar *pcServer = nullptr, *pcStart = nullptr, *pcMask = nullptr,
                     *pcRouter = nullptr;
    g_autofree gchar *pcBios = nullptr, *pcEfi = nullptr, *pcDomain = nullptr;
    g_auto(GStrv) ppcDns = nullptr;
    gint iCount = 10, iPxeOnly = 1, iVmFilter = 0, iIpxeLoader = 0, iLease = 360000, iCycles = 0,
         iProxy = 0, iRelay = 0, iIpv6Ra = 0;
    GOptionEntry astEntries[] = {
        {"server", 0, 0, G_OPTION_ARG_STRING, &pcServer, "server address", "IP"},
        {"start", 0, 0, G_OPTION_ARG_STRING, &pcStart, "first pool address", "IP"},
        {"count", 0, 0, G_OPTION_ARG_INT, &iCount, "pool size", "N"},
        {"mask", 0, 0, G_OPTION_ARG_STRING, &pcMask, "subnet mask", "IP"},
        {"router", 0, 0, G_OPTION_ARG_STRING, &pcRouter, "router", "IP"},
        {"bios", 0, 0, G_OPTION_ARG_STRING, &pcBios, "BIOS boot file", "NAME"},
        {"efi", 0, 0, G_OPTION_ARG_STRING, &pcEfi, "EFI boot file", "NAME"},
        {"pxe-only", 0, 0, G_OPTION_ARG_INT, &iPxeOnly, "answer PXE clients only", "0|1"},
        {"vm-filter", 0, 0, G_OPTION_ARG_INT, &iVmFilter, "refuse ZEL VM iPXE", "0|1"},
        {"ipxe-loader", 0, 0, G_OPTION_ARG_INT, &iIpxeLoader,
         "the iPXE tree is the loader: stock iPXE gets its per-client script", "0|1"},
        {"lease", 0, 0, G_OPTION_ARG_INT, &iLease, "lease seconds", "N"},
        {"relay", 0, 0, G_OPTION_ARG_INT, &iRelay, "serve relayed requests", "0|1"},
        {"proxy", 0, 0, G_OPTION_ARG_INT, &iProxy, "proxyDHCP: boot offers only, port 4011", "0|1"},
        {"ipv6-ra", 0, 0, G_OPTION_ARG_INT, &iIpv6Ra, "answer router solicitations with lifetime 0",
         "0|1"},
        {"dns", 0, 0, G_OPTION_ARG_STRING_ARRAY, &ppcDns, "name server (repeatable)", "IP"},
        {"domain", 0, 0, G_OPTION_ARG_STRING, &pcDomain, "domain", "NAME"},
        {"cycles", 0, 0, G_OPTION_ARG_INT, &iCycles, "start and stop at once N times, then exit",
         "N"},
        {},
    };
    GOptionContext *pstContext = g_option_context_new("- run the DHCP service");
    g_option_context_add_main_entries(pstContext, astEntries, nullptr);
    GError *pstError = nullptr;
    uint32_t uiServer = 0, uiStart = 0, uiMask = 0xFFFFFF00u, uiRouter = 0;
    bool bOk = g_option_context_parse(pstContext, &argc, &argv, &pstError) &&
               ParseIp(pcServer, &uiServer) && ParseIp(pcStart, &uiStart) && iCount > 0 &&
               (pcMask == nullptr || ParseIp(pcMask, &uiMask)) &&
               (pcRouter == nullptr || ParseIp(pcRouter, &uiRouter));
    std::vector<uint32_t> vecDns;
    for (gchar **ppcIt = ppcDns; bOk && ppcIt != nullptr && *ppcIt != nullptr; ++ppcIt) {
        vecDns.push_back(0);
        bOk = ParseIp(*ppcIt, &vecDns.back());
    }
    g_option_context_free(pstContext);
    if (!bOk) {
        fprintf(stderr,
                "usage: --server IP --start IP [--count N] [--mask IP] [--router IP] "
                "[--bios NAME] [--efi NAME] [--pxe-only 0|1] [--vm-filter 0|1] "
                "[--ipxe-loader 0|1] [--dns IP]... [--domain NAME] [--proxy 0|1] [--relay 0|1] "
                "[--ipv6-ra 0|1]%s%s\n",
                pstError != nullptr ? ": " : "", pstError != nullptr ? pstError->message : "");
        g_clear_error(&pstError);
        return 2;
    }

    QV_LogSinks stSinks;
    for (int i = 0; i < 3; ++i) {
        stSinks.astSink[i] = {PrintLog, i + 1};
    }
    QVDHCP_SetLogFunc(stSinks);
    LEASEDB_SetLogSink({PrintLog, 4});
    if (QVDHCP_Init() != 0) {
        return 1;
    }
    QVDHCP_CFG_SetEventFunc(PrintEvent);
    QVDHCP_CFG_SetServerIP(uiServer);
    QVDHCP_CFG_SetNextServer(uiServer);
    QVDHCP_CFG_SetMask(uiMask);
    QVDHCP_CFG_SetRouter(uiRouter);
    QVDHCP_CFG_SetIPRange(uiStart, uiStart + uint32_t(iCount) - 1);
    QVDHCP_CFG_SetLeaseTime(uint32_t(iLease));
    QVDHCP_CFG_SetOnlyPXE(uint32_t(iPxeOnly));
    QVDHCP_CFG_SetVMFilter(uint32_t(iVmFilter));
    QVDHCP_CFG_SetIpxeLoader(uint32_t(iIpxeLoader));
    QVDHCP_CFG_SetBiosBootFile(pcBios);
    QVDHCP_CFG_SetEfiBootFile(pcEfi);
    QVDHCP_CFG_SetProxy(uint32_t(iProxy));
    QVDHCP_CFG_SetRelay(uint32_t(iRelay));
    QVDHCP_CFG_SetDns(vecDns.data(), uint32_t(vecDns.size()));
    QVDHCP_CFG_SetDomain(pcDomain != nullptr ? pcDomain : "");
    LEASEDB_Load(uiStart, uint32_t(iCount));

    GThread *pstThread = nullptr;
    for (int i = 0; i < iCycles; ++i) {
        int iStart = QVDHCP_Start(&pstThread);
        int iStop = iStart == 0 ? QVDHCP_Stop(pstThread) : -1;
        printf("CYCLE %d start 0x%x stop 0x%x\n", i, unsigned(iStart), unsigned(iStop));
    }
    if (iCycles > 0) {
        printf("service threads %u\n", ServiceThreadCount());
        QVDHCP_Deinit();
        return 0;
    }
    int iResult = QVDHCP_Start(&pstThread);
    printf("START result 0x%x\n", unsigned(iResult));
    fflush(stdout);
    if (iResult != 0) {
        printf("service threads %u\n", ServiceThreadCount());
        fflush(stdout);
        QVDHCP_Deinit();
        return 1;
    }
    if (iIpv6Ra != 0 && QVDHCP_RA_Start(uiServer) != 0) {
        printf("IPV6RA failed\n");
    }
    fflush(stdout);
    GMainLoop *pstLoop = g_main_loop_new(nullptr, FALSE);
    g_unix_signal_add(SIGTERM, Quit, pstLoop);
    g_unix_signal_add(SIGINT, Quit, pstLoop);
    g_main_loop_run(pstLoop);
    g_main_loop_unref(pstLoop);
    QVDHCP_RA_Stop();
    iResult = QVDHCP_Stop(pstThread);
    LEASEDB_Save(uiStart, uint32_t(iCount));
    printf("STOP result 0x%x\nservice threads %u\n", unsigned(iResult), ServiceThreadCount());
    fflush(stdout);
    QVDHCP_Deinit();
    return iResult == 0 ? 0 : 1;
}
