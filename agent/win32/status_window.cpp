#include "win32/status_window.h"

#include <string>

#include "core/agent_context.h"
#include "core/agent_log.h"
#include "core/steps.h"
#include "win32/win_system.h"

#ifndef FERRIT_BITS
#define FERRIT_BITS 64
#endif

namespace ferrit {
namespace {

// The maintenance password guarding LOG and CMD (11 characters).
constexpr char kMaintenancePassword[] = "Kiv#Ferrit7";
static_assert(sizeof kMaintenancePassword == 12);

constexpr UINT kStartSteps = WM_APP + 1;
HINSTANCE g_hInstance = nullptr;
HWND g_hMain = nullptr, g_hStatus = nullptr, g_hPassword = nullptr;
bool g_bUnlocked = false;
volatile LONG g_lSetupStarted = 0;
int g_iRebootingShown = 0;
bool g_bLostFocus = false;
int g_iPasswordResult = 0;  // 0 waiting, 1 accepted, 2 cancelled

DWORD WINAPI StepThread(LPVOID)
{
    WinSystem system(g_hStatus);
    AgentContext ctx(system);
    // Identity and iBFT were read before the window existed.
    ctx.identity = g_stIdentity;
    ctx.bIbftTargetPresent = g_bIbftTarget;
    StepEnd end = RunSteps(ctx);
    AgentLog("Step routine ended: %s", end == StepEnd::Finished    ? "finished"
                                       : end == StepEnd::DebugStop ? "debug stop"
                                                                   : "failed");
    return 0;
}

HWND Control(HWND parent, const char *cls, const char *text, DWORD style, int x, int y, int w,
             int h, int id)
{
    HWND control =
        ::CreateWindowExA(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), g_hInstance, nullptr);
    ::SendMessageA(control, WM_SETFONT,
                   reinterpret_cast<WPARAM>(::GetStockObject(DEFAULT_GUI_FONT)), TRUE);
    return control;
}

// Modal over the disabled status panel; true once the right password was typed.
bool AskPassword()
{
    if (g_bUnlocked) return true;
    ::SetDlgItemTextA(g_hPassword, kIdPassword, "");
    ::EnableWindow(g_hStatus, FALSE);
    ::ShowWindow(g_hPassword, SW_SHOW);
    ::SetFocus(::GetDlgItem(g_hPassword, kIdPassword));
    g_iPasswordResult = 0;
    MSG msg;
    while (g_iPasswordResult == 0 && ::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (!::IsDialogMessageA(g_hPassword, &msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
    }
    ::ShowWindow(g_hPassword, SW_HIDE);
    ::EnableWindow(g_hStatus, TRUE);
    g_bUnlocked = g_iPasswordResult == 1;
    return g_bUnlocked;
}

void Run(const char *command)
{
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::string line = command;
    if (::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                         &pi)) {
        ::CloseHandle(pi.hThread);
        ::CloseHandle(pi.hProcess);
    }
}

LRESULT CALLBACK PasswordProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        char typed[64] = {};
        ::GetDlgItemTextA(window, kIdPassword, typed, sizeof typed);
        if (LOWORD(wParam) == IDCANCEL)
            g_iPasswordResult = 2;
        else if (std::string(typed) == kMaintenancePassword)
            g_iPasswordResult = 1;
        return 0;
    }
    if (message == WM_CLOSE) {
        g_iPasswordResult = 2;
        return 0;
    }
    return ::DefWindowProcA(window, message, wParam, lParam);
}

LRESULT CALLBACK StatusProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COMMAND) {
        switch (LOWORD(wParam)) {
        case kIdReboot:
            WinSystem::Reboot();
            return 0;
        case kIdLog:
            if (AskPassword()) Run("notepad.exe  kiv_ferrit.log");
            return 0;
        case kIdCmd:
            if (AskPassword()) Run("cmd.exe");
            return 0;
        }
    }
    return ::DefWindowProcA(window, message, wParam, lParam);
}

void BuildStatusPanel(HWND panel)
{
    struct Row {
        int label, status;
        const char *text;
    };
    const Row rows[] = {{kIdDriverLabel, kIdDriverStatus, "Install Option Driver"},
                        {kIdNetworkLabel, kIdNetworkStatus, "Initialize NetWork"},
                        {kIdSourceLabel, kIdSourceStatus, "Connect Image Source"},
                        {kIdSetupLabel, kIdSetupStatus, "Install Operation System"}};
    int y = 20;
    for (const Row &row : rows) {
        Control(panel, "STATIC", row.text, 0, 20, y, 180, 20, row.label);
        Control(panel, "STATIC", "", 0, 210, y, 160, 20, row.status);
        y += 40;
    }
    Control(panel, "BUTTON", "LOG", BS_PUSHBUTTON | WS_TABSTOP, 20, 250, 100, 28, kIdLog);
    Control(panel, "BUTTON", "CMD", BS_PUSHBUTTON | WS_TABSTOP, 140, 250, 100, 28, kIdCmd);
    Control(panel, "BUTTON", "REBOOT", BS_PUSHBUTTON | WS_TABSTOP, 260, 250, 100, 28, kIdReboot);
}

void BuildPasswordPanel(HWND panel)
{
    Control(panel, "STATIC", "Please Input Password:", 0, 20, 20, 300, 20, 0);
    Control(panel, "EDIT", "", WS_BORDER | WS_TABSTOP | ES_PASSWORD | ES_AUTOHSCROLL, 20, 50, 300,
            24, kIdPassword);
    Control(panel, "BUTTON", "OK", BS_DEFPUSHBUTTON | WS_TABSTOP, 60, 95, 90, 28, IDOK);
    Control(panel, "BUTTON", "Cancel", BS_PUSHBUTTON | WS_TABSTOP, 190, 95, 90, 28, IDCANCEL);
}

LRESULT CALLBACK MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE: {
        g_hMain = window;
        g_hStatus = ::CreateWindowExA(WS_EX_CONTROLPARENT, "kiv_status", "", WS_CHILD | WS_VISIBLE,
                                      0, 0, 400, 380, window, nullptr, g_hInstance, nullptr);
        BuildStatusPanel(g_hStatus);
        g_hPassword = ::CreateWindowExA(WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, "kiv_pwd", "PWD",
                                        WS_POPUP | WS_CAPTION | WS_SYSMENU, 80, 120, 350, 180,
                                        window, nullptr, g_hInstance, nullptr);
        BuildPasswordPanel(g_hPassword);
        // The step routine starts once the window stands, so it never talks to a half-made window.
        ::PostMessageA(window, kStartSteps, 0, 0);
        return 0;
    }
    case kStartSteps:
        ::CloseHandle(::CreateThread(nullptr, 0, StepThread, nullptr, 0, nullptr));
        return 0;
    case WM_ACTIVATE:
        if (LOWORD(wParam) == WA_INACTIVE) {
            g_bLostFocus = true;
        } else if (g_bLostFocus && g_lSetupStarted && g_iRebootingShown < 3) {
            ++g_iRebootingShown;
            ::SetDlgItemTextA(g_hStatus, kIdSetupStatus, "Success, Rebooting ...");
        }
        g_bLostFocus = LOWORD(wParam) == WA_INACTIVE;
        return 0;
    case WM_DESTROY:
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcA(window, message, wParam, lParam);
}

void RegisterWindowClass(HINSTANCE instance, const char *name, WNDPROC proc)
{
    WNDCLASSA wc{};
    wc.lpfnWndProc = proc;
    wc.hInstance = instance;
    wc.hCursor = ::LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = name;
    ::RegisterClassA(&wc);
}

}  // namespace

void MarkSetupStarted()
{
    ::InterlockedExchange(&g_lSetupStarted, 1);
}

HWND CreateAgentWindow(HINSTANCE instance)
{
    g_hInstance = instance;
    RegisterWindowClass(instance, "kiv_pxe", MainProc);
    RegisterWindowClass(instance, "kiv_status", StatusProc);
    RegisterWindowClass(instance, "kiv_pwd", PasswordProc);
    const char *title = FERRIT_BITS == 32 ? "ORV ASSIST x32" : "ORV ASSIST x64";
    return ::CreateWindowExA(0, "kiv_pxe", title, WS_OVERLAPPEDWINDOW, 40, 25, 400, 380, nullptr,
                             nullptr, instance, nullptr);
}

}  // namespace ferrit
