// The work around Windows Setup: WinPE drivers, the reports to the server, the installation
// source (share or HTTP disk) and the Setup run itself.
#pragma once
#include <string>
#include <vector>

#include "core/agent_context.h"

namespace ferrit {

// Usable driver subdirectories of `root` (no "." names, none holding "kivpxe_driver_notuse").
std::vector<std::string> ListDriverDirs(const std::string &root);
// Installs every INF directly inside those subdirectories; 1 when the root cannot be listed.
int InstallWinPeDrivers(AgentContext &ctx, int &installed);

std::string IdentityReportPath(const MachineIdentity &identity);
inline constexpr const char *kInstallReportPath = "kickstart/FERRIT/Install";
inline constexpr const char *kRebootReportPath = "kickstart/FERRIT/Reboot";
// Retries every 500 ms until the server takes the connection.
void ReportIdentity(AgentContext &ctx);

std::string ShareAccount(const std::string &domain, const std::string &user);
// H to W, then Y and Z: X is WinPE's own drive.
const std::string &ShareLetters();
int MountShare(AgentContext &ctx);
int MountHttpDisk(AgentContext &ctx);

struct SetupCommandInput {
    bool bNormalMedia;  // setup.exe and sources\winsetup.dll on the source
    bool bNoReboot;
    bool bManual;
    char cCurrentDrive;  // the agent's own drive letter
    std::string szSourceDrive;
};
std::string SetupCommand(const SetupCommandInput &in);
void RunSetup(AgentContext &ctx);

}  // namespace ferrit
