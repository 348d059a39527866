// AgentSystem on WinPE: the WinPE utility library, IP Helper, the registry, SetupAPI, storage
// IOCTLs, WNet, the service manager and the status window.
#pragma once
// winsock2.h before windows.h, or the old winsock.h definitions clash with it.
#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "core/agent_system.h"

namespace ferrit {

class WinSystem : public AgentSystem {
public:
    explicit WinSystem(HWND statusDialog) : m_hStatus(statusDialog) {}
    ~WinSystem() override;
    void SetStatus(StatusField field, const std::string &text) override;
    void SleepMs(unsigned ms) override { ::Sleep(ms); }
    void Exec(const std::string &command, Show show) override;
    void RunAndWait(const std::string &command, Show show) override;
    bool LoadWpeUtil() override;
    void CallWpe(WpeFunction function) override;
    std::vector<AdapterInfo> Adapters() override;
    std::vector<std::uint8_t> PxeAckFromRegistry() override;
    void DisableDhcpInRegistry() override;
    void StartWinsock() override;
    bool InstallInf(const std::string &path) override;
    std::vector<std::string> DiskPaths() override;
    DiskInfo QueryDisk(const std::string &path) override;
    bool BootedUefi() override;
    char WindowsDriveOnDisk(int disk) override;
    int ConnectShare(const std::string &remote, char letter, const std::string &account,
                     const std::string &password) override;
    std::uint32_t LogicalDrives() override { return ::GetLogicalDrives(); }
    void InstallHttpDiskDriver() override;
    int ConnectHttpDisk(char letter, const std::vector<std::uint8_t> &record) override;
    bool StartProcess(const std::string &command) override;
    void OnSetupStarted() override;
    std::string SetupRestartWindow() override;
    void WaitProcessEnd() override;
    bool CopyFileTo(const std::string &from, const std::string &to) override;
    bool DirectoryExists(const std::string &path) override;
    std::string CurrentDirectory() override;

    // The "REBOOT" button works whether or not the step routine loaded the library.
    static void Reboot();

private:
    HWND m_hStatus;
    HANDLE m_hSetup = nullptr;
};

// The system's text for an error code, without its line end.
std::string SystemMessage(DWORD error);
// Raw firmware table (GetSystemFirmwareTable); empty when the firmware has none.
std::vector<std::uint8_t> FirmwareTable(DWORD provider, DWORD id);

}  // namespace ferrit
