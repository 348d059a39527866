#include "console.h"

#include <glib.h>
#include <unistd.h>

#include <cstdio>

#include "console_http.h"
#include "console_prompts.h"
#include "console_state.h"
#include "console_token.h"
#include "log.h"

bool CONSOLE_Start(const std::string &strAddrPort, const std::string &strMetrics,
                   std::string *pstrUrl, std::string *pstrError)
{
    size_t uiColon = strAddrPort.rfind(':');
    std::string strAddress = strAddrPort.substr(0, uiColon);
    uint16_t usPort = uint16_t(g_ascii_strtoull(strAddrPort.c_str() + uiColon + 1, nullptr, 10));
    std::string strToken = CONSOLE_MakeToken();
    if (strToken.empty() || !CONSOLE_WriteToken("conf/console.token", strToken)) {
        *pstrError = "cannot write conf/console.token";
        return false;
    }
    if (!HTTPC_Start(strAddress, usPort, strToken, strMetrics, pstrError)) {
        return false;
    }
    CONSOLE_InstallPromptHandlers();
    CONSOLE_StartPublisher();
    if (strAddress.rfind("127.", 0) != 0) {
        fprintf(stderr,
                "kivpxe: the console on %s is plain HTTP: its token crosses the network in clear; "
                "prefer 127.0.0.1 and an SSH tunnel\n",
                strAddrPort.c_str());
    }
    *pstrUrl = "http://" + strAddrPort + "/?token=" + strToken;
    LOG_Print(0, "PXEDLG", "Console listening on http://%s/", strAddrPort.c_str());
    return true;
}

void CONSOLE_Stop()
{
    CONSOLE_CancelPrompts();
    CONSOLE_StopPublisher();
    CONSOLE_RemovePromptHandlers();
    HTTPC_Stop();
    // The token dies with the server; a script then hears that no console runs.
    unlink("conf/console.token");
}
