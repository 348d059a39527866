// Utility slots 6 and 7: the network shares a Windows install maps, as Samba usershares.
#include <glib.h>

#include <cstring>
#include <string>
#include <vector>

#include "log.h"
#include "plugin_util.h"

namespace {

// Runs Samba's "net" with the arguments after it; 0 on success, else its exit status (or -1 when
// it cannot run), logged with what it printed.
int RunNet(const std::vector<std::string> &vecArgs)
{
    gchar *pcNet = g_find_program_in_path("net");
    if (pcNet == nullptr) {
        LOG_Print(0, "PXEDLG", "Samba's \"net\" is not installed: cannot manage share %s",
                  vecArgs.size() > 2 ? vecArgs[2].c_str() : "");
        return -1;
    }
    std::vector<gchar *> vecArgv{pcNet};
    for (const std::string &strArg : vecArgs) {
        vecArgv.push_back(const_cast<gchar *>(strArg.c_str()));
    }
    vecArgv.push_back(nullptr);
    gchar *pcOut = nullptr;
    gchar *pcErr = nullptr;
    gint iWait = 0;
    GError *pstError = nullptr;
    int iResult = -1;
    if (!g_spawn_sync(nullptr, vecArgv.data(), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr, &pcOut,
                      &pcErr, &iWait, &pstError)) {
        LOG_Print(0, "PXEDLG", "Cannot run %s: %s", pcNet, pstError->message);
        g_error_free(pstError);
    } else if (!g_spawn_check_wait_status(iWait, &pstError)) {
        iResult = pstError->domain == G_SPAWN_EXIT_ERROR ? pstError->code : -1;
        LOG_Print(0, "PXEDLG", "net %s %s failed (%s): %s%s", vecArgs[0].c_str(),
                  vecArgs[1].c_str(), pstError->message, pcOut != nullptr ? pcOut : "",
                  pcErr != nullptr ? pcErr : "");
        g_error_free(pstError);
    } else {
        iResult = 0;
    }
    g_free(pcOut);
    g_free(pcErr);
    g_free(pcNet);
    return iResult;
}

}  // namespace

int UTIL_AddShare(const char *pcShareName, const char *pcLocalPath, const char *pcAccount)
{
    if (pcShareName == nullptr || *pcShareName == '\0' || pcLocalPath == nullptr ||
        pcAccount == nullptr || *pcAccount == '\0' || strpbrk(pcAccount, ":,\r\n") != nullptr) {
        return -1;
    }
    // The clients only read the source: read-only, for the one account the agent logs on with.
    return RunNet({"usershare", "add", pcShareName, pcLocalPath, "kivpxe deployment",
                   std::string(pcAccount) + ":R", "guest_ok=n"});
}

int UTIL_DeleteShare(const char *pcShareName)
{
    if (pcShareName == nullptr || *pcShareName == '\0') {
        return -1;
    }
    return RunNet({"usershare", "delete", pcShareName});
}
