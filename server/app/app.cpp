#include "app.h"

#include <curl/curl.h>
#include <glib-unix.h>
#include <glib.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "boot_config.h"
#include "console.h"
#include "controller.h"
#include "data_dir.h"
#include "kiv_restful.h"
#include "local_addresses.h"
#include "log.h"
#include "msg_table.h"
#include "platform.h"
#include "plugin_host.h"
#include "prompt.h"
#include "qvdhcp.h"
#include "qvdhcp_leasedb.h"
#include "qvhttp.h"
#include "qvtftp.h"
#include "root_password.h"
#include "settings.h"
#include "version.h"
#include "qv_file.h"

namespace {

const char *const ADMIN_TEXT_EN =
    "Please run this program as an administrator.\r\nIf you don't want this prompt every time, "
    "you can \r\nRight Click -- Properties -- Compatibility and select \"Run this program as an "
    "administrator\".\r\n";
const char *const ADMIN_TEXT_ZH =
    "请以管理员身份运行本程序.\r\n如果您不想每次都出现该提示，也可以在 \r\n右键 -- 属性 -- 兼容性 "
    "中勾选 \"以管理员身份运行此程序\".\r\n";

// The lease database reports its load through the controller's own log, at level Diag.
void LogLeaseDatabase(int, const char *pcFormat, ...)
{
    char szText[2048];
    va_list args;
    va_start(args, pcFormat);
    vsnprintf(szText, sizeof(szText), pcFormat, args);
    va_end(args);
    LOG_Print(1, "PXEDLG", "%s", szText);
}

// Every service logs its three levels under its own categories: DHCP 1-3, TFTP 4-6, HTTP 7-9.
QV_LogSinks ServiceSinks(int iFirstCategory)
{
    QV_LogSinks stSinks;
    for (int i = 0; i < 3; ++i) {
        stSinks.astSink[i] = {LOG_PrintKind, iFirstCategory + i};
    }
    return stSinks;
}

// The sinks go in before the modules are initialised, so that initialisation can log; the modules
// are initialised in the order TFTP, HTTP, DHCP. False when one cannot be initialised.
bool InitServices()
{
    QVDHCP_SetLogFunc(ServiceSinks(1));
    QVTFTP_SetLogFunc(ServiceSinks(4));
    QVHTTP_SetLogFunc(ServiceSinks(7));
    if (QVTFTP_Init() != 0 || QVHTTP_Init() != 0 || QVDHCP_Init() != 0) {
        LOG_Print(0, "PXEDLG", "Failed to initialise the network services");
        return false;
    }
    return true;
}

// Process start: what runs before the main loop can exist. False ends the program.
bool StartProcess(const AppOptions &stOptions)
{
    MSG_SetChinese(PLAT_StartLanguageIsChinese());
    if (!PLAT_AcquireInstanceLock("KIVPXEServerMUTEX")) {
        PROMPT_Show(MSG_Choose("已经有ORV正在运行，或者之前有没有正常退出.",
                               "ORV is already running, or not exit normally before."),
                    "ERROR", PromptIcon::Warning);
        return false;
    }
    if (!PLAT_HasServicePrivilege()) {
        PROMPT_Show(MSG_Choose(ADMIN_TEXT_ZH, ADMIN_TEXT_EN), "ERROR", PromptIcon::Warning);
        return false;
    }
    if (PLAT_FirewallMayDrop()) {
        PROMPT_Show(MSG_Choose("检测到系统防火墙处于打开状态，请关闭系统防火墙以免影响使用.",
                               "It's recommended to turn off the system firewall to avoid "
                               "affecting the use."),
                    MSG_Choose("建议关闭防火墙", "Firewall Detected"), PromptIcon::Warning);
    }
    RefreshLocalAddresses();
    std::string strDir = PLAT_EnterDataDirectory(
        stOptions.strDataDir.empty() ? nullptr : stOptions.strDataDir.c_str());
    if (strDir.empty()) {
        PROMPT_Show("Cannot enter the data directory " + stOptions.strDataDir, "ERROR",
                    PromptIcon::Error);
        return false;
    }
    SetDataDirectory(strDir);
    CountBackgroundImages();
    return true;
}

// The REST interface runs until the program ends; KIV_REST_PORT moves it (tests). It starts once
// the log has its file and the HTTP sinks, so that a port another program holds is logged and
// shown like the services' own start failures; the server runs on without it.
void StartRest()
{
    const char *pcRestPort = getenv("KIV_REST_PORT");
    int iResult =
        KIV_REST_Start(pcRestPort != nullptr ? uint16_t(atoi(pcRestPort)) : KIV_REST_DEFAULT_PORT);
    if (iResult != 0) {
        ShowStartFailure("REST", iResult == int(QVHTTP_ERR_PORT_IN_USE));
    }
}

// Main-window initialisation: the data tree, the settings and the log file. False ends the
// program.
bool StartServer()
{
    curl_global_init(CURL_GLOBAL_ALL);
    std::string strMissing = PrepareDataTree(DataDirectory());
    if (!strMissing.empty()) {
        LOG_Print(0, "PXEDLG", "Required directory %s/%s is missing", DataDirectory().c_str(),
                  strMissing.c_str());
        PROMPT_Show(MSG_Text(23), "ERR", PromptIcon::Error);
        // The lines of this failed start would die with the process; when the log directory
        // could be made they go to this run's log file.
        LOG_SetFile(LOG_DefaultFileName(DataDirectory()));
        LOG_Flush();
        curl_global_cleanup();
        return false;
    }
    LinkChainLoaders();
    if (!InitServices()) {
        LOG_Flush();
        curl_global_cleanup();
        return false;
    }
    Settings() = ServerSettings{};
    RegisterBootSettings();
    CleanStartupMenus();
    // A save cut short by a crash left its temporary file; the saved file itself is whole.
    QV_RemoveStaleSaves("conf");
    LOG_SetFile(LOG_DefaultFileName(DataDirectory()));
    LOG_Print(0, "PXEDLG", "%s start, data directory %s", BannerText().c_str(),
              DataDirectory().c_str());
    StartRest();
    LoadPlugins();
    Settings().vecExtBootOpt = BuildExtBootOptions(PluginDescriptions());
    LEASEDB_SetLogSink({LogLeaseDatabase, 0});
    if (!LoadSettings()) {
        LOG_Print(1, "PXEDLG", "No settings loaded, built-in values stand");
    }
    // Installed systems never share a password known from outside: one is made on first start
    // and shown to the operator once here (the console and "ctl settings" show it later).
    if (EnsureRootPassword(Settings())) {
        SaveSettings();
        LOG_Print(0, "PXEDLG", "New root password of installed systems: %s",
                  Settings().strRootPassword.c_str());
        printf("ROOT_PASSWORD %s\n", Settings().strRootPassword.c_str());
        fflush(stdout);
    }
    // Leases are recovered only together with the pool they were handed out from.
    LEASEDB_Load(PoolStartAddress(Settings()), Settings().uiIPNum);
    ApplyBootSettings();
    LoadOsTypeTable();
    ControllerInit();
    return true;
}

// The console starts before the server so that the operator answers the start-up prompts; its
// URL (with the access token) goes to standard output.
bool StartConsole(const std::string &strAddrPort, const std::string &strMetrics)
{
    g_mkdir_with_parents("conf", 0755);
    std::string strUrl, strError;
    if (!CONSOLE_Start(strAddrPort, strMetrics, &strUrl, &strError)) {
        fprintf(stderr, "kivpxe: console: %s\n", strError.c_str());
        return false;
    }
    printf("CONSOLE %s\n", strUrl.c_str());
    fflush(stdout);
    return true;
}

gboolean OnTick(gpointer)
{
    OnTimerTick();
    return G_SOURCE_CONTINUE;
}

// A signal is the operator's order to close: no questions, then the orderly destruction. A prompt
// open in the console takes its default, so that its nested loop ends. The source stays installed
// until the very end: a second signal (timeout(1) signals its whole process group as well) must
// not meet the default action and kill the server while it saves its settings.
gboolean OnStopSignal(gpointer pvLoop)
{
    CONSOLE_CancelPrompts();
    if (OnClose(false)) {
        g_main_loop_quit(static_cast<GMainLoop *>(pvLoop));
    }
    return G_SOURCE_CONTINUE;
}

}  // namespace

int APP_Run(const AppOptions &stOptions)
{
    if (!StartProcess(stOptions)) {
        return 1;
    }
    bool bConsole = !stOptions.bNoConsole && !stOptions.bHeadless;
    if (bConsole && !StartConsole(stOptions.strConsole, stOptions.strMetrics)) {
        KIV_REST_Stop();
        return 1;
    }
    if (!StartServer()) {
        if (bConsole) {
            CONSOLE_Stop();
        }
        KIV_REST_Stop();
        return 1;
    }
    GMainLoop *pstLoop = g_main_loop_new(nullptr, FALSE);
    guint uiTimer = g_timeout_add(100, OnTick, nullptr);
    guint uiSigInt = g_unix_signal_add(SIGINT, OnStopSignal, pstLoop);
    guint uiSigTerm = g_unix_signal_add(SIGTERM, OnStopSignal, pstLoop);
    g_main_loop_run(pstLoop);
    g_source_remove(uiTimer);
    g_main_loop_unref(pstLoop);
    OnDestroy();
    if (bConsole) {
        CONSOLE_Stop();
    }
    UnloadPlugins();
    g_source_remove(uiSigInt);
    g_source_remove(uiSigTerm);
    return 0;
}
