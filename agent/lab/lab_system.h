// LabSystem: the agent's system interface on Linux for the Windows lab. What a Linux machine
// can do for real is done for real: the adapters are this network namespace's interfaces, the
// share is checked with smbclient against the server's Samba, wget.exe is Debian's curl. What
// only Windows has is stood in for and says so: the disks come from a table, Setup is a
// stand-in that validates the answer file with xmllint, the WinPE library calls are recorded.
#pragma once
#include <chrono>
#include <string>
#include <vector>

#include "core/agent_system.h"

namespace ferrit::lab {

// One line per step: "ferrit-lab: <ms since start> <what>"; the test reads them.
void Say(const char *format, ...) __attribute__((format(printf, 1, 2)));

struct SetupCheck {
    bool bRan = false, bValid = false;
    std::string szCommand, szDiskId, szPartitionId;
};

class LabSystem : public AgentSystem {
public:
    std::vector<DiskInfo> disks;
    bool uefi = false;
    std::string root;  // drive letters map to root/<letter>/...
    SetupCheck setup;

    void SetStatus(StatusField field, const std::string &text) override;
    void SleepMs(unsigned ms) override;
    void Exec(const std::string &command, Show show) override;
    void RunAndWait(const std::string &command, Show show) override;
    bool LoadWpeUtil() override;
    void CallWpe(WpeFunction function) override;
    std::vector<AdapterInfo> Adapters() override;
    std::vector<std::uint8_t> PxeAckFromRegistry() override;
    void DisableDhcpInRegistry() override;
    void StartWinsock() override {}
    bool InstallInf(const std::string &path) override;
    std::vector<std::string> DiskPaths() override;
    DiskInfo QueryDisk(const std::string &path) override;
    bool BootedUefi() override { return uefi; }
    char WindowsDriveOnDisk(int) override { return 'C'; }
    int ConnectShare(const std::string &remote, char letter, const std::string &account,
                     const std::string &password) override;
    std::uint32_t LogicalDrives() override;
    void InstallHttpDiskDriver() override;
    int ConnectHttpDisk(char letter, const std::vector<std::uint8_t> &record) override;
    bool StartProcess(const std::string &command) override;
    void OnSetupStarted() override;
    std::string SetupRestartWindow() override { return "Windows Setup"; }
    void WaitProcessEnd() override {}
    bool CopyFileTo(const std::string &from, const std::string &to) override;
    bool DirectoryExists(const std::string &path) override;
    std::string CurrentDirectory() override { return "X:\\Windows\\System32"; }

    // A Windows path ("C:\Windows\x", or relative) as a path of this machine.
    std::string Native(const std::string &path) const;
    // Runs one command of the installed system's first-run batch: its "tftp -i SERVER GET FILE"
    // report is sent with curl; other commands are Windows-only and only recorded. False when
    // the report fails.
    bool FirstRunLine(const std::string &line);

private:
    std::string szShare, szAuthFile;  // the connected share ("//ip/name") and its logon
    char cShareLetter = 0;
    bool Smb(const std::string &command);
};

}  // namespace ferrit::lab
