// FERRIT.exe: started by WinPE in place of a shell (winpeshl.ini).
#include <winsock2.h>
#include <windows.h>

#include "core/agent_log.h"
#include "core/firmware_tables.h"
#include "win32/status_window.h"
#include "win32/win_system.h"

namespace ferrit {
MachineIdentity g_stIdentity;
bool g_bIbftTarget = false;
}  // namespace ferrit

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show)
{
    using namespace ferrit;
    // Providers are written most significant byte first, ACPI table ids as the bytes lie in memory.
    auto provider = [](const char *s) {
        return static_cast<DWORD>(s[0]) << 24 | static_cast<DWORD>(s[1]) << 16 |
               static_cast<DWORD>(s[2]) << 8 | s[3];
    };
    auto tableId = [](const char *s) {
        return static_cast<DWORD>(s[3]) << 24 | static_cast<DWORD>(s[2]) << 16 |
               static_cast<DWORD>(s[1]) << 8 | s[0];
    };
    AgentLog("%s started", "FERRIT");
    std::vector<std::uint8_t> ibft = FirmwareTable(provider("ACPI"), tableId("iBFT"));
    if (!ibft.empty()) g_bIbftTarget = LogIbftTable(ibft);
    if (!ParseSmbiosIdentity(FirmwareTable(provider("RSMB"), 0), g_stIdentity))
        AgentLog("No SMBIOS system information");
    AgentLog("g_szVendorName=%s", g_stIdentity.szVendor.c_str());
    AgentLog("g_szProductName=%s", g_stIdentity.szProduct.c_str());
    AgentLog("g_szProductSerial=%s", g_stIdentity.szSerial.c_str());
    HWND window = CreateAgentWindow(instance);
    if (!window) {
        AgentLog("CreateWindow failed %lu", ::GetLastError());
        return 1;
    }
    ::ShowWindow(window, show);
    ::UpdateWindow(window);
    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    return 0;
}
