// A scripted AgentSystem for the step tests: adapters, disks and answers set by the test, every
// command and status change recorded.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "core/agent_system.h"

namespace ferrit::test {

class FakeSystem : public AgentSystem {
public:
    std::vector<AdapterInfo> adapters;
    std::vector<std::uint8_t> pxeAck;
    std::vector<DiskInfo> disks;
    bool wpeUtilPresent = true, uefi = false, setupStarts = true;
    int shareResult = 0, httpDiskResult = 0;
    std::uint32_t drives = (1u << 2) | (1u << 23);  // C: and X:
    std::string currentDirectory = "X:\\Windows\\System32";

    std::vector<std::string> log;  // "status <field> <text>", "exec <cmd>", "wpe <n>", ...
    std::vector<std::uint8_t> httpDiskRecord;
    std::map<StatusField, std::string> status;

    void SetStatus(StatusField field, const std::string &text) override;
    void SleepMs(unsigned) override {}
    void Exec(const std::string &command, Show) override { log.push_back("exec " + command); }
    void RunAndWait(const std::string &command, Show) override { log.push_back("run " + command); }
    bool LoadWpeUtil() override { return wpeUtilPresent; }
    void CallWpe(WpeFunction function) override
    {
        log.push_back("wpe " + std::to_string(static_cast<int>(function)));
    }
    std::vector<AdapterInfo> Adapters() override { return adapters; }
    std::vector<std::uint8_t> PxeAckFromRegistry() override { return pxeAck; }
    void DisableDhcpInRegistry() override { log.push_back("dhcp-off"); }
    void StartWinsock() override {}
    bool InstallInf(const std::string &path) override;
    std::vector<std::string> DiskPaths() override;
    DiskInfo QueryDisk(const std::string &path) override;
    bool BootedUefi() override { return uefi; }
    char WindowsDriveOnDisk(int) override { return 'C'; }
    int ConnectShare(const std::string &remote, char letter, const std::string &account,
                     const std::string &password) override;
    std::uint32_t LogicalDrives() override { return drives; }
    void InstallHttpDiskDriver() override { log.push_back("httpdisk-driver"); }
    int ConnectHttpDisk(char letter, const std::vector<std::uint8_t> &record) override;
    bool StartProcess(const std::string &command) override;
    void OnSetupStarted() override { log.push_back("setup-started"); }
    std::string SetupRestartWindow() override { return "Windows Setup"; }
    void WaitProcessEnd() override { log.push_back("setup-ended"); }
    bool CopyFileTo(const std::string &from, const std::string &to) override;
    bool DirectoryExists(const std::string &) override { return false; }
    std::string CurrentDirectory() override { return currentDirectory; }
};

AdapterInfo Adapter(std::array<std::uint8_t, 6> mac, std::uint32_t ifIndex, std::string ip,
                    std::string mask);

}  // namespace ferrit::test
