// The agent's window "ORV ASSIST x32/x64": the four step rows with their status fields, the
// LOG / CMD / REBOOT buttons and the maintenance password prompt.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include "core/firmware_tables.h"

namespace ferrit {

// Read at start-up, before the window and the step routine exist.
extern MachineIdentity g_stIdentity;
extern bool g_bIbftTarget;

enum : int {
    kIdLog = 1001,
    kIdCmd = 1002,
    kIdReboot = 1003,
    kIdNetworkLabel = 1004,
    kIdSourceLabel = 1005,
    kIdDriverLabel = 1006,
    kIdSetupLabel = 1007,
    kIdNetworkStatus = 1008,
    kIdSourceStatus = 1009,
    kIdDriverStatus = 1010,
    kIdSetupStatus = 1011,
    kIdPassword = 1013,
};

// Registers the class "kiv_pxe" and creates the window; the status panel starts the step
// routine on its own thread once the window stands.
HWND CreateAgentWindow(HINSTANCE instance);
// From now on regaining the focus shows "Success, Rebooting ..." (three times at most).
void MarkSetupStarted();

}  // namespace ferrit
