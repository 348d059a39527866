// kivpxe: the deployment server program.
#include <glib.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app.h"
#include "platform.h"
#include "console_ctl.h"
#include "qv_text.h"

namespace {

// "ADDR:PORT" with a dotted IPv4 address and a port 1..65535.
bool ValidConsoleAddress(const std::string &strText)
{
    size_t uiColon = strText.rfind(':');
    if (uiColon == std::string::npos) {
        return false;
    }
    std::string strAddr = strText.substr(0, uiColon);
    std::string strPort = strText.substr(uiColon + 1);
    guint64 ulPort = 0;
    return QV_IpValid(strAddr.c_str()) &&
           g_ascii_string_to_unsigned(strPort.c_str(), 10, 1, 65535, &ulPort, nullptr);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && g_strcmp0(argv[1], "ctl") == 0) {
        return CONSOLE_Ctl(argc - 1, argv + 1);
    }
    PLAT_LimitHeapArenas();
    gchar *pcDataDir = nullptr;
    gchar *pcConsole = nullptr;
    gchar *pcMetrics = nullptr;
    gboolean bHeadless = FALSE;
    gboolean bNoConsole = FALSE;
    gboolean bVersion = FALSE;
    GOptionEntry astEntries[] = {
        {"data-dir", 0, 0, G_OPTION_ARG_FILENAME, &pcDataDir,
         "Data directory (default: the working directory)", "DIR"},
        {"headless", 0, 0, G_OPTION_ARG_NONE, &bHeadless,
         "No console: prompts are logged and answered with their default button", nullptr},
        {"console", 0, 0, G_OPTION_ARG_STRING, &pcConsole,
         "Address of the web console (default 127.0.0.1:8800)", "ADDR:PORT"},
        {"metrics", 0, 0, G_OPTION_ARG_STRING, &pcMetrics,
         "Also serve GET /metrics without the token on this address (with the console)",
         "ADDR:PORT"},
        {"no-console", 0, 0, G_OPTION_ARG_NONE, &bNoConsole, "Do not serve the web console",
         nullptr},
        {"version", 0, 0, G_OPTION_ARG_NONE, &bVersion, "Print the version and exit", nullptr},
        {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};
    GOptionContext *pstContext = g_option_context_new("- KIV deployment server");
    g_option_context_add_main_entries(pstContext, astEntries, nullptr);
    g_option_context_set_description(
        pstContext,
        "The web console's URL, with its access token, is printed at start; the token is also\n"
        "kept in conf/console.token. Scripts use \"kivpxe ctl [--data-dir DIR] [--console "
        "ADDR:PORT]\n"
        "status|clients|settings|start|stop|answer ok|yes|no\".\n");
    GError *pstError = nullptr;
    bool bParsed = g_option_context_parse(pstContext, &argc, &argv, &pstError);
    g_option_context_free(pstContext);
    if (!bParsed || argc > 1) {
        fprintf(stderr, "kivpxe: %s\n",
                pstError != nullptr ? pstError->message : "unexpected argument");
        g_clear_error(&pstError);
        return 2;
    }
    if (bVersion) {
        printf("kivpxe %s\n", KIV_VERSION);
        return 0;
    }
    AppOptions stOptions;
    stOptions.strDataDir = pcDataDir != nullptr ? pcDataDir : "";
    stOptions.bHeadless = bHeadless;
    stOptions.bNoConsole = bNoConsole;
    bool bConsoleGiven = pcConsole != nullptr;
    stOptions.strConsole = bConsoleGiven ? pcConsole : "127.0.0.1:8800";
    g_free(pcDataDir);
    g_free(pcConsole);
    stOptions.strMetrics = pcMetrics != nullptr ? pcMetrics : "";
    g_free(pcMetrics);
    if (!stOptions.strMetrics.empty() && (stOptions.bNoConsole || stOptions.bHeadless)) {
        fprintf(stderr, "kivpxe: --metrics is served by the console: not with --no-console or "
                        "--headless\n");
        return 2;
    }
    if (!stOptions.strMetrics.empty() && !ValidConsoleAddress(stOptions.strMetrics)) {
        fprintf(stderr, "kivpxe: --metrics wants ADDR:PORT with an IPv4 address, got \"%s\"\n",
                stOptions.strMetrics.c_str());
        return 2;
    }
    if (stOptions.bNoConsole && bConsoleGiven) {
        fprintf(stderr, "kivpxe: --console and --no-console exclude each other\n");
        return 2;
    }
    if (!ValidConsoleAddress(stOptions.strConsole)) {
        fprintf(stderr, "kivpxe: --console wants ADDR:PORT with an IPv4 address, got \"%s\"\n",
                stOptions.strConsole.c_str());
        return 2;
    }
    return APP_Run(stOptions);
}
