// The service controller: turns the start command into a running deployment (plug-in, DHCP,
// TFTP, HTTP, virtual ISO) and the stop command back into an idle server; the 100 ms timer, the
// automatic start, and the close and destruction of the server. Everything runs on the main
// thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <glib.h>

#include "kiv_plugin_api.h"

struct IsoImage;

struct ControllerState {
    uint32_t uiLocalAddr = 0;
    uint32_t uiLocalMask = 0;
    GThread *pstDhcp = nullptr;
    GThread *pstTftp = nullptr;
    GThread *pstHttp = nullptr;
    std::unique_ptr<IsoImage> pstImage;  // the open source image, none for a directory
    bool bRunning = false;
    bool bExiting = false;
    bool bAutoStartRequest = false;
    PluginOsInfo stOsInfo;  // of the running deployment
    std::string strTitle = "KIV Deploy System";
    std::string strOsType = "unknown";  // picture "icon/os/os-<type>.png"
    std::string strInstallLabel;        // architecture and "\r\nAuto" / "\r\nManual"
};

const ControllerState &Controller();

// Installs the event callbacks and the client table's hooks, publishes the idle state to REST and
// raises the automatic start request when AutoStart is set. Called once after the settings load.
void ControllerInit();

void StartDeployment();
// The operator's message for a service that could not start ("DHCP", "TFTP", "HTTP", "REST"):
// messages 128 and 129 when another program holds its port, 129 alone otherwise.
void ShowStartFailure(const char *pcService, bool bPortInUse);
// Asks first unless the server is exiting; does nothing when no deployment runs.
void StopDeployment();
// The 100 ms timer: the automatic start, the notification queue, a periodic log flush.
void OnTimerTick();
// A close request. bAsk: ask twice while running (the console's close); false for a signal,
// which is the operator's explicit order. True when the server may close.
bool OnClose(bool bAsk);
// Destruction: stops the deployment, shuts the services down, saves the settings.
void OnDestroy();

// Puts strSource at the front of the history; an entry equal to it ignoring case moves there with
// the letter case typed now.
void UpdateSourceHistory(std::vector<std::string> &vecHistory, const std::string &strSource);
// The OS picture type and the install-mode label of the running deployment.
void RefreshInstallLabel();
