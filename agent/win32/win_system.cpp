#include "win32/win_system.h"

#include <iphlpapi.h>
#include <algorithm>
#include <newdev.h>
#include <shlobj.h>
#include <winnetwk.h>

#include "core/agent_log.h"
#include "core/text_util.h"
#include "win32/status_window.h"

namespace ferrit {
namespace {

using WpeFn = HRESULT(WINAPI *)(HWND, HINSTANCE, LPCWSTR, int);
struct WpeUtil {
    HMODULE hLib = nullptr;
    WpeFn fn[5] = {};
};
WpeUtil g_stWpe;
const char *const kWpeNames[5] = {"InitializeNetworkW", "WaitForNetworkW", "RebootW",
                                  "DisableFirewallW", "WpeInitializeNetworkDrivers"};

int ShowCode(Show show)
{
    return show == Show::Normal      ? SW_SHOWNORMAL
           : show == Show::Minimized ? SW_SHOWMINIMIZED
                                     : SW_HIDE;
}

int StatusControl(StatusField field)
{
    switch (field) {
    case StatusField::Driver:
        return kIdDriverStatus;
    case StatusField::Network:
        return kIdNetworkStatus;
    case StatusField::Source:
        return kIdSourceStatus;
    case StatusField::Setup:
        return kIdSetupStatus;
    }
    return 0;
}

}  // namespace

std::string SystemMessage(DWORD error)
{
    char text[512] = {};
    ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                     text, sizeof text, nullptr);
    return Trim(text);
}

WinSystem::~WinSystem()
{
    if (m_hSetup) ::CloseHandle(m_hSetup);
}

void WinSystem::SetStatus(StatusField field, const std::string &text)
{
    if (!m_hStatus) return;
    ::SetDlgItemTextA(m_hStatus, StatusControl(field), text.c_str());
    ::UpdateWindow(m_hStatus);
}

void WinSystem::Exec(const std::string &command, Show show)
{
    ::WinExec(command.c_str(), ShowCode(show));
}

void WinSystem::RunAndWait(const std::string &command, Show show)
{
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = static_cast<WORD>(ShowCode(show));
    PROCESS_INFORMATION pi{};
    std::string line = command;
    if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                          &pi)) {
        AgentLog("Failed to run %s: %lu", command.c_str(), ::GetLastError());
        return;
    }
    ::WaitForSingleObject(pi.hProcess, INFINITE);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
}

bool WinSystem::LoadWpeUtil()
{
    HMODULE lib = ::LoadLibraryA("wpeutil.dll");
    if (!lib) {
        AgentLog("LoadLibrary wpeutil.dll return NULL");
        return false;
    }
    WpeUtil loaded{lib, {}};
    for (int i = 0; i < 5; ++i) {
        loaded.fn[i] =
            reinterpret_cast<WpeFn>(reinterpret_cast<void *>(::GetProcAddress(lib, kWpeNames[i])));
        if (!loaded.fn[i]) {
            AgentLog("GetProcAddress(\"%s\") return NULL", kWpeNames[i]);
            ::FreeLibrary(lib);
            return false;
        }
    }
    g_stWpe = loaded;
    return true;
}

void WinSystem::CallWpe(WpeFunction function)
{
    WpeFn fn = g_stWpe.fn[static_cast<int>(function)];
    if (fn) fn(nullptr, nullptr, L"", 5);
}

void WinSystem::Reboot()
{
    if (!g_stWpe.fn[2] && !WinSystem(nullptr).LoadWpeUtil()) return;
    g_stWpe.fn[2](nullptr, nullptr, L"", 5);
}

std::vector<AdapterInfo> WinSystem::Adapters()
{
    ULONG size = sizeof(IP_ADAPTER_INFO);
    std::vector<unsigned char> buffer(size);
    DWORD result = ::GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO *>(buffer.data()), &size);
    if (result == ERROR_BUFFER_OVERFLOW) {
        buffer.resize(size);
        result = ::GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO *>(buffer.data()), &size);
    }
    std::vector<AdapterInfo> adapters;
    if (result != NO_ERROR) return adapters;
    for (auto *a = reinterpret_cast<IP_ADAPTER_INFO *>(buffer.data()); a; a = a->Next) {
        AdapterInfo info;
        std::copy_n(a->Address, std::min<UINT>(6, a->AddressLength), info.mac.begin());
        info.uiIfIndex = a->Index;
        for (IP_ADDR_STRING *ip = &a->IpAddressList; ip; ip = ip->Next)
            info.addresses.push_back({ip->IpAddress.String, ip->IpMask.String});
        adapters.push_back(info);
    }
    return adapters;
}

std::vector<std::uint8_t> WinSystem::PxeAckFromRegistry()
{
    HKEY key = nullptr;
    LONG ret = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\PXE", 0,
                                 nullptr, 0, KEY_READ, nullptr, &key, nullptr);
    AgentLog("RegCreateKeyEx: ret %ld", ret);
    if (ret != ERROR_SUCCESS) return {};
    std::vector<std::uint8_t> value(65536);
    DWORD size = static_cast<DWORD>(value.size());
    ret = ::RegQueryValueExA(key, "DHCPServerACK", nullptr, nullptr, value.data(), &size);
    AgentLog("RegQueryValueEx: ret %ld size %ld", ret, static_cast<long>(size));
    ::RegCloseKey(key);
    if (ret != ERROR_SUCCESS) return {};
    value.resize(size);
    return value;
}

void WinSystem::DisableDhcpInRegistry()
{
    static const char kInterfaces[] =
        "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces";
    HKEY key = nullptr;
    while (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kInterfaces, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        AgentLog("RegOpenKeyEx failed, now wait...");
        ::Sleep(500);
    }
    AgentLog("RegOpenKeyEx success");
    DWORD index = 0;
    for (;;) {
        char name[256];
        DWORD length = sizeof name;
        if (::RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            if (index == 0) {
                AgentLog("nIndex = 0, now wait ...");
                ::Sleep(500);
                continue;
            }
            break;
        }
        AgentLog("Interface : %s", name);
        std::string path = Format("%s\\%s", kInterfaces, name);
        HKEY sub = nullptr;
        LONG ret = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                     nullptr, &sub, nullptr);
        AgentLog("RegCreateKeyEx: ret %ld", ret);
        if (ret == ERROR_SUCCESS) {
            DWORD zero = 0;
            ret = ::RegSetValueExA(sub, "EnableDHCP", 0, REG_DWORD,
                                   reinterpret_cast<const BYTE *>(&zero), sizeof zero);
            AgentLog("RegSetValueEx %s\\EnableDHCP 0 ret:%ld", name, ret);
            ::RegCloseKey(sub);
        }
        ++index;
    }
    ::RegCloseKey(key);
    AgentLog("RegEnumKeyEx finished, nIndex:%lu", index);
}

void WinSystem::StartWinsock()
{
    WSADATA data;
    ::WSAStartup(MAKEWORD(1, 1), &data);
}

bool WinSystem::InstallInf(const std::string &path)
{
    // DiInstallDriverA is not in every import library: taken from newdev.dll at run time.
    using DiInstallFn = BOOL(WINAPI *)(HWND, LPCSTR, DWORD, PBOOL);
    static HMODULE lib = ::LoadLibraryA("newdev.dll");
    auto install = lib ? reinterpret_cast<DiInstallFn>(
                             reinterpret_cast<void *>(::GetProcAddress(lib, "DiInstallDriverA")))
                       : nullptr;
    if (!install) return false;
    std::string windowsPath = path;
    for (char &c : windowsPath)
        if (c == '/') c = '\\';
    return install(m_hStatus, windowsPath.c_str(), 0, nullptr) != FALSE;
}

bool WinSystem::BootedUefi()
{
    ::GetFirmwareEnvironmentVariableA("", "{00000000-0000-0000-0000-000000000000}", nullptr, 0);
    return ::GetLastError() != ERROR_INVALID_FUNCTION;
}

int WinSystem::ConnectShare(const std::string &remote, char letter, const std::string &account,
                            const std::string &password)
{
    std::string local = Format("%c:", letter), remoteName = remote;
    NETRESOURCEA resource{};
    resource.dwType = RESOURCETYPE_DISK;
    resource.lpLocalName = local.data();
    resource.lpRemoteName = remoteName.data();
    return static_cast<int>(::WNetAddConnection2A(&resource, password.c_str(), account.c_str(), 0));
}

void WinSystem::InstallHttpDiskDriver()
{
    SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        AgentLog("OpenSCManager()Failed %lu!", ::GetLastError());
        return;
    }
    AgentLog("OpenSCManager() OK !");
    std::string image = Format("%s\\%s", "X:\\Windows\\System32\\drivers", "httpdisk.sys");
    SC_HANDLE service =
        ::CreateServiceA(manager, "httpdisk.sys", "httpdisk.sys", SERVICE_ALL_ACCESS,
                         SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                         image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service) {
        AgentLog("CreateService() OK !\n");
    } else {
        DWORD error = ::GetLastError();
        if (error == ERROR_IO_PENDING || error == ERROR_SERVICE_EXISTS)
            AgentLog("CreateService() Failed is ERROR_IO_PENDING or ERROR_SERVICE_EXISTS!");
        else
            AgentLog("CreateService()Failed %lu!", error);
        service = ::OpenServiceA(manager, "httpdisk.sys", SERVICE_ALL_ACCESS);
        if (service)
            AgentLog("OpenService() OK!\n");
        else
            AgentLog("OpenService() Failed %lu!\n", ::GetLastError());
    }
    if (service) {
        if (::StartServiceA(service, 0, nullptr)) {
            AgentLog("StartService OK");
        } else {
            DWORD error = ::GetLastError();
            if (error == ERROR_IO_PENDING)
                AgentLog("startService() Failed ERROR_IO_PENDING\n");
            else if (error == ERROR_SERVICE_ALREADY_RUNNING)
                AgentLog("startService() Failed ERROR_SERVICE_ALREADY_RUNNING\n");
            else
                AgentLog("startService() Failed  error: %lu!\n", error);
        }
        ::CloseServiceHandle(service);
    }
    ::CloseServiceHandle(manager);
}

int WinSystem::ConnectHttpDisk(char letter, const std::vector<std::uint8_t> &record)
{
    std::string drive = Format("%c:", letter), volume = Format("\\\\.\\%c:", letter);
    HANDLE probe = ::CreateFileA(volume.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
        ::CloseHandle(probe);
        AgentLog("%s: %s", drive.c_str(), SystemMessage(ERROR_BUSY).c_str());
        return ERROR_BUSY;
    }
    std::string device = Format("\\Device\\HttpDisk\\HttpCd%u", 0u);
    if (!::DefineDosDeviceA(DDD_RAW_TARGET_PATH, drive.c_str(), device.c_str())) {
        DWORD error = ::GetLastError();
        AgentLog("%s: %s", drive.c_str(), SystemMessage(error).c_str());
        return static_cast<int>(error);
    }
    HANDLE disk = ::CreateFileA(volume.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_NO_BUFFERING, nullptr);
    if (disk == INVALID_HANDLE_VALUE) {
        DWORD error = ::GetLastError();
        AgentLog("%s: %s", drive.c_str(), SystemMessage(error).c_str());
        ::DefineDosDeviceA(DDD_REMOVE_DEFINITION, drive.c_str(), nullptr);
        return static_cast<int>(error);
    }
    DWORD returned = 0;
    std::vector<std::uint8_t> input = record;
    // The driver takes the record without its last byte: path length + 271.
    if (!::DeviceIoControl(disk, 0x7E000, input.data(), static_cast<DWORD>(input.size() - 1),
                           nullptr, 0, &returned, nullptr)) {
        DWORD error = ::GetLastError();
        AgentLog("%s: %s", "HttpDisk", SystemMessage(error).c_str());
        ::DefineDosDeviceA(DDD_REMOVE_DEFINITION, drive.c_str(), nullptr);
        ::CloseHandle(disk);
        return static_cast<int>(error);
    }
    ::CloseHandle(disk);
    std::string root = drive + "\\";
    ::SHChangeNotify(SHCNE_DRIVEADD, SHCNF_PATHA, root.c_str(), nullptr);
    return 0;
}

bool WinSystem::StartProcess(const std::string &command)
{
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::string line = command;
    if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                          &pi))
        return false;
    ::CloseHandle(pi.hThread);
    m_hSetup = pi.hProcess;
    return true;
}

void WinSystem::OnSetupStarted()
{
    MarkSetupStarted();
}

namespace {
struct SetupSearch {
    std::string szTitle;
    bool bRestart = false;
};

BOOL CALLBACK FindRestartText(HWND child, LPARAM param)
{
    char cls[64] = {}, text[512] = {};
    ::GetClassNameA(child, cls, sizeof cls);
    if (lstrcmpiA(cls, "Static") != 0) return TRUE;
    ::GetWindowTextA(child, text, sizeof text);
    std::string t = text;
    if (Contains(t, "needs to restart to continue") ||
        Contains(t, "\xD0\xE8\xD2\xAA\xD6\xD8\xC6\xF4\xB2\xC5\xC4\xDC\xBC\xCC\xD0\xF8")) {
        reinterpret_cast<SetupSearch *>(param)->bRestart = true;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK FindSetupWindow(HWND window, LPARAM param)
{
    // Titles in code page 936: "Windows 安装程序" and "安装 Windows".
    static const char *titles[] = {"Windows Setup", "Windows \xB0\xB2\xD7\xB0\xB3\xCC\xD0\xF2",
                                   "Install Windows", "\xB0\xB2\xD7\xB0 Windows"};
    char text[256] = {};
    ::GetWindowTextA(window, text, sizeof text);
    auto *search = reinterpret_cast<SetupSearch *>(param);
    for (const char *title : titles) {
        if (lstrcmpiA(text, title) != 0) continue;
        ::EnumChildWindows(window, FindRestartText, param);
        if (search->bRestart) {
            search->szTitle = text;
            return FALSE;
        }
    }
    return TRUE;
}
}  // namespace

std::string WinSystem::SetupRestartWindow()
{
    SetupSearch search;
    ::EnumWindows(FindSetupWindow, reinterpret_cast<LPARAM>(&search));
    return search.bRestart ? search.szTitle : std::string();
}

void WinSystem::WaitProcessEnd()
{
    if (m_hSetup) ::WaitForSingleObject(m_hSetup, INFINITE);
}

bool WinSystem::CopyFileTo(const std::string &from, const std::string &to)
{
    return ::CopyFileA(from.c_str(), to.c_str(), FALSE) != FALSE;
}

bool WinSystem::DirectoryExists(const std::string &path)
{
    DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string WinSystem::CurrentDirectory()
{
    char dir[MAX_PATH] = {};
    ::GetCurrentDirectoryA(sizeof dir, dir);
    return dir;
}

std::vector<std::uint8_t> FirmwareTable(DWORD provider, DWORD id)
{
    UINT size = ::GetSystemFirmwareTable(provider, id, nullptr, 0);
    if (size == 0) {
        AgentLog("iBufferSizeNeeded=%d %lu", 0, ::GetLastError());
        return {};
    }
    std::vector<std::uint8_t> table(size);
    UINT got = ::GetSystemFirmwareTable(provider, id, table.data(), size);
    table.resize(got <= size ? got : 0);
    return table;
}

}  // namespace ferrit
