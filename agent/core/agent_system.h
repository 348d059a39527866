// AgentSystem: what the step routine needs from Windows. agent/win32 implements it with the
// WinPE libraries and Win32 calls; the unit tests give a scripted stand-in. Everything decided
// from what these calls return lives in the core.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace ferrit {

struct AdapterAddress {
    std::string ip, mask;
};

struct AdapterInfo {
    std::array<std::uint8_t, 6> mac{};
    std::uint32_t uiIfIndex = 0;
    std::vector<AdapterAddress> addresses;
};

struct DiskInfo {
    std::string szPath;   // device interface path
    bool bOpened = true;  // false: the path could not be opened
    std::uint32_t uiOpenError = 0;
    std::int32_t iNumber = -1;      // -1 when the query failed
    std::uint32_t uiBusType = 127;  // 127 when the query failed
    std::uint32_t uiSizeGb = 0;
};

enum class WpeFunction {
    InitializeNetwork,
    WaitForNetwork,
    Reboot,
    DisableFirewall,
    InitializeNetworkDrivers
};
enum class StatusField { Driver, Network, Source, Setup };
enum class Show { Hidden, Normal, Minimized };

class AgentSystem {
public:
    virtual ~AgentSystem() = default;
    // --- program frame
    virtual void SetStatus(StatusField field, const std::string &text) = 0;
    virtual void SleepMs(unsigned ms) = 0;
    // Starts a command line (WinExec) without waiting.
    virtual void Exec(const std::string &command, Show show) = 0;
    // Runs a command line through the interpreter and waits for it.
    virtual void RunAndWait(const std::string &command, Show show) = 0;
    // --- WinPE utility library; LoadWpeUtil logs its own failure lines.
    virtual bool LoadWpeUtil() = 0;
    virtual void CallWpe(WpeFunction function) = 0;
    // --- network
    virtual std::vector<AdapterInfo> Adapters() = 0;
    // The raw "DHCPServerACK" value the PXE firmware left in the registry; empty when absent.
    virtual std::vector<std::uint8_t> PxeAckFromRegistry() = 0;
    virtual void DisableDhcpInRegistry() = 0;
    virtual void StartWinsock() = 0;
    // --- drivers, disks, firmware
    virtual bool InstallInf(const std::string &path) = 0;
    virtual std::vector<std::string> DiskPaths() = 0;  // empty when the enumeration fails
    virtual DiskInfo QueryDisk(const std::string &path) = 0;
    virtual bool BootedUefi() = 0;
    // Letter of the volume holding "\Windows" on the given disk, 'C' when none.
    virtual char WindowsDriveOnDisk(int disk) = 0;
    // --- installation source
    virtual int ConnectShare(const std::string &remote, char letter, const std::string &account,
                             const std::string &password) = 0;  // 0 on success
    virtual std::uint32_t LogicalDrives() = 0;                  // bit n: drive 'A' + n exists
    virtual void InstallHttpDiskDriver() = 0;
    virtual int ConnectHttpDisk(char letter,
                                const std::vector<std::uint8_t> &record) = 0;  // 0 on success
    // --- Windows Setup
    virtual bool StartProcess(const std::string &command) = 0;
    virtual void OnSetupStarted() = 0;
    // One look at the top-level windows: the Setup title whose restart text shows, or empty.
    virtual std::string SetupRestartWindow() = 0;
    virtual void WaitProcessEnd() = 0;
    virtual bool CopyFileTo(const std::string &from, const std::string &to) = 0;
    virtual bool DirectoryExists(const std::string &path) = 0;
    // The agent's current directory, ending without a separator ("X:\Windows\System32").
    virtual std::string CurrentDirectory() = 0;
};

}  // namespace ferrit
