#include "core/install_run.h"

#include <algorithm>
#include <filesystem>

#include "core/agent_log.h"
#include "core/answer_file.h"
#include "core/disk_select.h"
#include "core/http_disk.h"
#include "core/http_get.h"
#include "core/text_util.h"

namespace ferrit {
namespace fs = std::filesystem;

std::vector<std::string> ListDriverDirs(const std::string &root)
{
    std::vector<std::string> dirs;
    std::error_code error;
    fs::directory_iterator it(root, error);
    if (error) {
        AgentLog("FindFirstFile(%s) return INVALID_HANDLE_VALUE", (root + "/*").c_str());
        AgentLog("KIV_UTIL_ListAllDir Failed %s", root.c_str());
        throw fs::filesystem_error("driver root", root, error);
    }
    for (const auto &entry : it) {
        std::string name = entry.path().filename().string();
        if (!entry.is_directory(error) || name.empty() || name[0] == '.') continue;
        std::string dir = root + "/" + name;
        if (FileExists(dir + "/kivpxe_driver_notuse")) {
            AgentLog("Load Driver %s bypass", dir.c_str());
            continue;
        }
        dirs.push_back(dir);
    }
    std::sort(dirs.begin(), dirs.end());
    return dirs;
}

int InstallWinPeDrivers(AgentContext &ctx, int &installed)
{
    installed = 0;
    std::string root = ctx.sys.CurrentDirectory().substr(0, 3) + "$WinPEDriver$";
    std::vector<std::string> dirs;
    try {
        dirs = ListDriverDirs(root);
    } catch (const fs::filesystem_error &) {
        return 1;
    }
    for (const auto &dir : dirs) {
        std::error_code error;
        std::vector<std::string> infs;
        for (const auto &entry : fs::directory_iterator(dir, error)) {
            std::string ext = entry.path().extension().string();
            for (char &c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (entry.is_regular_file(error) && ext == ".inf")
                infs.push_back(dir + "/" + entry.path().filename().string());
        }
        std::sort(infs.begin(), infs.end());
        for (const auto &inf : infs) {
            bool ok = ctx.sys.InstallInf(inf);
            AgentLog("[DRV] Install driver %s [ %s ]", inf.c_str(), ok ? "SUCCESS" : "FAILED");
            installed += ok ? 1 : 0;
        }
    }
    return 0;
}

std::string IdentityReportPath(const MachineIdentity &id)
{
    return "/kickstart/virturl_report_client_info?vendor=" + id.szVendor +
           "&pdt_serial=" + id.szSerial + "&pdt_name=" + id.szProduct + "&param_end";
}

void ReportIdentity(AgentContext &ctx)
{
    std::string path = IdentityReportPath(ctx.identity);
    AgentLog("report client detail %s:%u URL=%s", IpText(ctx.params.uiServerIp).c_str(),
             ctx.params.usHttpPort, path.c_str());
    while (HttpGet(ctx.params.uiServerIp, ctx.params.usHttpPort, path) != 0) {
        AgentLog("Report client detail failed, now wait ...");
        ctx.sys.SleepMs(500);
    }
}

std::string ShareAccount(const std::string &domain, const std::string &user)
{
    return domain.rfind(".", 0) == 0 ? user : domain + "\\" + user;
}

const std::string &ShareLetters()
{
    static const std::string letters = "HIJKLMNOPQRSTUVWYZ";
    return letters;
}

int MountShare(AgentContext &ctx)
{
    const AgentParameters &p = ctx.params;
    std::string account = ShareAccount(p.szDomain, p.szUserName);
    int result = -1;
    for (char letter : ShareLetters()) {
        result = ctx.sys.ConnectShare(p.szSharePath, letter, account, p.szPassword);
        AgentLog("Connect URL ret %d %c: %s", result, letter, p.szSharePath.c_str());
        if (result == 0) {
            ctx.szSourceDrive = Format("%c:", letter);
            return 0;
        }
        ctx.sys.SleepMs(5000);
    }
    for (char letter : ShareLetters()) {
        std::string command = Format("cmd /c net use %c: %s  %s /user:%s", letter,
                                     p.szSharePath.c_str(), p.szPassword.c_str(), account.c_str());
        AgentLog("Now run  %s",
                 Format("cmd /c net use %c: %s  %s /user:%s", letter, p.szSharePath.c_str(),
                        MaskedPassword(p.szPassword), account.c_str())
                     .c_str());
        ctx.sys.RunAndWait(command, Show::Normal);
        ctx.sys.SleepMs(5000);
        std::string drive = Format("%c:", letter);
        if (FileExists(drive + "\\setup.exe")) {
            AgentLog("File exist, mount success to %s", drive.c_str());
            ctx.szSourceDrive = drive;
            return 0;
        }
    }
    AgentLog("Connect To Share Folder Failed %d Path:%s Domain:%s  User:%s  PWD:%s", result,
             p.szSharePath.c_str(), p.szDomain.c_str(), p.szUserName.c_str(),
             MaskedPassword(p.szPassword));
    return result;
}

int MountHttpDisk(AgentContext &ctx)
{
    AgentLog("Start to install httpdisk driver ...");
    ctx.sys.InstallHttpDiskDriver();
    std::string url;
    if (ReadHttpDiskUrl(kAnswerFile, url) != 0) {
        AgentLog("Failed to parse URL from unattended file");
        return -1;
    }
    AgentLog("HTTP Disk URL: %s", url.c_str());
    std::uint32_t drives = ctx.sys.LogicalDrives();
    char letter = 0;
    for (char c = 'H'; c <= 'Z' && !letter; ++c)
        if (!(drives & (1u << (c - 'A')))) letter = c;
    if (!letter) {
        AgentLog("No free driver letter left, too many disks??");
        return -1;
    }
    HttpDiskUrl parsed;
    std::vector<std::uint8_t> record;
    if (!ParseHttpDiskUrl(url, parsed) || (record = BuildConnectRecord(parsed, letter)).empty()) {
        AgentLog("Failed to parse URL from unattended file");
        return -1;
    }
    int result = ctx.sys.ConnectHttpDisk(letter, record);
    if (result != 0) {
        AgentLog("Connect To http disk Failed %d", result);
        return result;
    }
    AgentLog("Mount http disk %s to %c: success", url.c_str(), letter);
    ctx.szSourceDrive = Format("%c:", letter);
    return 0;
}

std::string SetupCommand(const SetupCommandInput &in)
{
    const char *options = in.bNoReboot ? "/noreboot" : "";
    std::string command =
        in.bNormalMedia ? Format("\\setup.exe /unattend:unattended.xml %s", options)
                        : Format("%c:\\sources\\setup.exe /installfrom:%s\\sources\\install.wim "
                                 "/unattend:unattended.xml %s",
                                 in.cCurrentDrive, in.szSourceDrive.c_str(), options);
    static const std::string kUnattend = "/unattend:unattended.xml";
    if (in.bManual)
        if (auto at = command.find(kUnattend); at != std::string::npos)
            command.replace(at, kUnattend.size(), 24, ' ');
    return command;
}

void RunSetup(AgentContext &ctx)
{
    AgentSystem &sys = ctx.sys;
    const std::string &src = ctx.szSourceDrive;
    char current = sys.CurrentDirectory().empty() ? 'X' : sys.CurrentDirectory()[0];
    SetupCommandInput in{false, IsYes(ctx.params.szNoReboot), false, current, src};
    if (FileExists(src + "\\setup.exe") && FileExists(src + "\\sources\\winsetup.dll")) {
        AgentLog("This is normal windows version.");
        in.bNormalMedia = true;
    } else {
        AgentLog("This is mini windows version.");
        sys.RunAndWait(
            "cmd /c reg delete HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\PXE /f /va "
            "> regdel.log 2>&1",
            Show::Hidden);
        std::string eiFrom = src + "\\sources\\ei.cfg",
                    eiTo = Format("%c:\\sources\\ei.cfg", current);
        if (FileExists(eiFrom)) {
            AgentLog("Copy file %s to %s.", eiFrom.c_str(), eiTo.c_str());
            sys.CopyFileTo(eiFrom, eiTo);
        }
    }
    while (!FileExists("FirstRun.bat")) {
        AgentLog("FirstRun.bat NOT exist, now wait ...");
        sys.SleepMs(1000);
    }
    AgentLog("FirstRun.bat exist, now break");
    bool chinese = false;
    if (sys.DirectoryExists(src + "\\boot\\zh-cn")) {
        AgentLog("This image is chinese version");
        chinese = true;
    } else if (sys.DirectoryExists(src + "\\boot\\en-us")) {
        AgentLog("This image is english version");
    } else {
        AgentLog("This image is unknown version");
    }
    AdjustLanguage(kAnswerFile, chinese);
    int disk = ReadDiskId(kAnswerFile);
    AgentLog("Final disk id is %d", disk);
    in.bManual = ctx.bManualInstall;
    std::string command = SetupCommand(in);
    AgentLog("Install CMD<%s>", command.c_str());
    if (!sys.StartProcess(command)) {
        AgentLog("Failed to start %s", command.c_str());
        sys.SetStatus(StatusField::Setup, "Failed");
        return;
    }
    HttpGet(ctx.params.uiServerIp, ctx.params.usHttpPort, kInstallReportPath);
    sys.OnSetupStarted();
    std::string title;
    while ((title = sys.SetupRestartWindow()).empty()) sys.SleepMs(500);
    AgentLog("Rebooting Windows exist: %s", title.c_str());
    char windows = sys.WindowsDriveOnDisk(disk);
    HttpGet(ctx.params.uiServerIp, ctx.params.usHttpPort, kRebootReportPath);
    if (!ctx.bManualInstall) {
        sys.CopyFileTo("wget.exe", Format("%c:\\Windows\\wget.exe", windows));
        sys.CopyFileTo("FirstRun.bat", Format("%c:\\Windows\\FirstRun.bat", windows));
        AgentLog("Copy File Success after rebooting windows show");
    }
    sys.WaitProcessEnd();
}

}  // namespace ferrit
