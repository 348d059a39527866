#include "lab_system.h"

#include <glib.h>
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <regex>
#include <thread>

#include "core/text_util.h"
#include "core/wget_args.h"

namespace ferrit::lab {
namespace fs = std::filesystem;

namespace {
const auto g_start = std::chrono::steady_clock::now();

const char *FieldName(StatusField field)
{
    switch (field) {
    case StatusField::Driver:
        return "driver";
    case StatusField::Network:
        return "network";
    case StatusField::Source:
        return "source";
    case StatusField::Setup:
        return "setup";
    }
    return "?";
}

// Runs argv (no shell), bounded by coreutils' timeout (status 124); its exit status, -1 when
// it cannot start.
int RunStatus(std::vector<std::string> argv, std::string *output = nullptr, unsigned seconds = 30)
{
    argv.insert(argv.begin(), {"timeout", std::to_string(seconds)});
    std::vector<char *> raw;
    for (auto &arg : argv) raw.push_back(arg.data());
    raw.push_back(nullptr);
    gchar *out = nullptr, *err = nullptr;
    gint status = 0;
    GError *error = nullptr;
    int result = -1;
    if (g_spawn_sync(nullptr, raw.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out,
                     &err, &status, &error))
        result = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    if (error) {
        Say("cannot run %s: %s", argv[2].c_str(), error->message);
        g_error_free(error);
    }
    if (output) *output = std::string(out ? out : "") + (err ? err : "");
    g_free(out);
    g_free(err);
    return result;
}

bool Run(const std::vector<std::string> &argv, std::string *output = nullptr)
{
    return RunStatus(argv, output) == 0;
}

std::string MacOf(const std::string &interface)
{
    std::ifstream in("/sys/class/net/" + interface + "/address");
    std::string mac;
    std::getline(in, mac);
    return mac;
}

std::string Dotted(const sockaddr *address)
{
    char text[INET_ADDRSTRLEN] = "";
    if (address && address->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(address)->sin_addr, text,
                  sizeof text);
    return text;
}
}  // namespace

void Say(const char *format, ...)
{
    char message[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - g_start)
                  .count();
    std::printf("ferrit-lab: %6lld %s\n", static_cast<long long>(ms), message);
    std::fflush(stdout);
}

void LabSystem::SetStatus(StatusField field, const std::string &text)
{
    Say("status %s: %s", FieldName(field), text.c_str());
}

void LabSystem::SleepMs(unsigned ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void LabSystem::Exec(const std::string &command, Show)
{
    Say("not run (WinPE only): %s", command.c_str());
}

void LabSystem::RunAndWait(const std::string &command, Show)
{
    // wget.exe is our own downloader; Debian's curl does its one GET here.
    std::istringstream in(command);
    std::vector<std::string> words{std::istream_iterator<std::string>(in), {}};
    WgetArgs args;
    std::string error;
    if (words.empty() || words[0] != "wget.exe" ||
        !ParseWgetArgs({words.begin() + 1, words.end()}, args, error)) {
        Say("not run (Windows only): %s", command.c_str());
        return;
    }
    auto started = std::chrono::steady_clock::now();
    bool ok = Run({"curl", "-sf", "--max-time", "20", "-o", Native(args.szOutput), args.szUrl});
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - started)
                  .count();
    Say("download %s: %s in %lld ms (wget.exe stand-in: curl)", args.szUrl.c_str(),
        ok ? "saved" : "FAILED", static_cast<long long>(ms));
}

bool LabSystem::LoadWpeUtil()
{
    Say("wpeutil: stand-in (WinPE only)");
    return true;
}

void LabSystem::CallWpe(WpeFunction function)
{
    // The lab's DHCP client has configured the address WinPE's DHCP would ask for.
    Say("wpeutil function %d: stand-in (WinPE only)", static_cast<int>(function));
}

std::vector<AdapterInfo> LabSystem::Adapters()
{
    std::vector<AdapterInfo> adapters;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return adapters;
    for (ifaddrs *at = list; at; at = at->ifa_next) {
        if (!at->ifa_addr || at->ifa_addr->sa_family != AF_INET) continue;
        std::string mac = MacOf(at->ifa_name);
        AdapterInfo adapter;
        unsigned b[6];
        if (std::sscanf(mac.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4],
                        &b[5]) != 6)
            continue;
        for (int i = 0; i < 6; ++i) adapter.mac[i] = static_cast<std::uint8_t>(b[i]);
        adapter.uiIfIndex = if_nametoindex(at->ifa_name);
        adapter.addresses.push_back({Dotted(at->ifa_addr), Dotted(at->ifa_netmask)});
        adapters.push_back(adapter);
    }
    freeifaddrs(list);
    return adapters;
}

std::vector<std::uint8_t> LabSystem::PxeAckFromRegistry()
{
    Say("registry DHCPServerACK: none (WinPE only)");
    return {};
}

void LabSystem::DisableDhcpInRegistry()
{
    Say("not run (WinPE only): disable DHCP in the registry");
}

bool LabSystem::InstallInf(const std::string &path)
{
    Say("not run (WinPE only): install %s", path.c_str());
    return false;
}

std::vector<std::string> LabSystem::DiskPaths()
{
    std::vector<std::string> paths;
    for (const auto &disk : disks) paths.push_back(disk.szPath);
    return paths;
}

DiskInfo LabSystem::QueryDisk(const std::string &path)
{
    for (const auto &disk : disks)
        if (disk.szPath == path) return disk;
    return {};
}

bool LabSystem::Smb(const std::string &command)
{
    std::string output;
    bool ok = Run({"smbclient", szShare, "-A", szAuthFile, "-c", command}, &output);
    if (!ok) Say("smbclient %s on %s: %s", command.c_str(), szShare.c_str(), Trim(output).c_str());
    return ok;
}

int LabSystem::ConnectShare(const std::string &remote, char letter, const std::string &account,
                            const std::string &password)
{
    // "\\server\name" as smbclient writes it; "DOMAIN\user" split for its logon file.
    std::string share = remote;
    for (char &c : share)
        if (c == '\\') c = '/';
    auto slash = account.find('\\');
    std::string domain = slash == std::string::npos ? "" : account.substr(0, slash);
    std::string user = slash == std::string::npos ? account : account.substr(slash + 1);
    szAuthFile = root + "/smb-logon";
    {
        std::ofstream out(szAuthFile, std::ios::trunc);
        out << "username = " << user << "\npassword = " << password << "\n";
        if (!domain.empty()) out << "domain = " << domain << "\n";
    }
    chmod(szAuthFile.c_str(), 0600);
    szShare = share;
    bool ok = Smb("ls sources\\install.wim");
    Say("share %s as %s (smbclient, account %s): %s", share.c_str(), Format("%c:", letter).c_str(),
        account.c_str(), ok ? "connected, sources\\install.wim listed" : "FAILED");
    if (!ok) return 1;
    cShareLetter = letter;
    return 0;
}

std::uint32_t LabSystem::LogicalDrives()
{
    return (1u << ('C' - 'A')) | (1u << ('X' - 'A'));
}

void LabSystem::InstallHttpDiskDriver()
{
    Say("not run (Windows only): install the HTTP-disk driver");
}

int LabSystem::ConnectHttpDisk(char, const std::vector<std::uint8_t> &)
{
    Say("not run (Windows only): the HTTP disk");
    return 1;
}

bool LabSystem::StartProcess(const std::string &command)
{
    setup.bRan = true;
    setup.szCommand = command;
    Say("setup command line: %s", command.c_str());
    static const std::regex kUnattend("/unattend:(\\S+)");
    std::smatch match;
    if (!std::regex_search(command, match, kUnattend)) {
        Say("setup stand-in: no answer file (manual install)");
        return true;
    }
    std::string file = Native(match[1].str()), output;
    if (!Run({"xmllint", "--noout", file}, &output)) {
        Say("setup stand-in: %s is not well-formed: %s", file.c_str(), Trim(output).c_str());
        return false;
    }
    // The answer file's elements are in the unattend namespace.
    auto value = [&](const char *element) {
        std::string text;
        std::string xpath =
            Format("string((//*[local-name()='InstallTo'])[1]/*[local-name()='%s'])", element);
        if (!Run({"xmllint", "--xpath", xpath, file}, &text)) return std::string();
        return Trim(text);
    };
    setup.szDiskId = value("DiskID");
    setup.szPartitionId = value("PartitionID");
    setup.bValid = !setup.szDiskId.empty() && !setup.szPartitionId.empty();
    Say("setup stand-in: answer file well-formed, InstallTo DiskID=%s PartitionID=%s%s",
        setup.szDiskId.c_str(), setup.szPartitionId.c_str(), setup.bValid ? "" : " (REJECTED)");
    return setup.bValid;
}

void LabSystem::OnSetupStarted()
{
    Say("setup stand-in: started; its restart window shows at once");
}

bool LabSystem::CopyFileTo(const std::string &from, const std::string &to)
{
    std::error_code error;
    fs::create_directories(fs::path(Native(to)).parent_path(), error);
    bool ok = fs::copy_file(Native(from), Native(to), fs::copy_options::overwrite_existing, error);
    Say("copy %s to %s: %s", from.c_str(), to.c_str(), ok ? "done" : error.message().c_str());
    return ok;
}

bool LabSystem::DirectoryExists(const std::string &path)
{
    // Folders of the share are looked up on the share itself.
    if (cShareLetter && path.size() > 3 && path[0] == cShareLetter && path[1] == ':') {
        bool found = Smb("cd \"" + path.substr(3) + "\"");
        Say("share folder %s: %s", path.c_str(), found ? "present" : "absent");
        return found;
    }
    return fs::is_directory(Native(path));
}

std::string LabSystem::Native(const std::string &path) const
{
    std::string native = path;
    for (char &c : native)
        if (c == '\\') c = '/';
    if (native.size() >= 2 && native[1] == ':' &&
        std::isalpha(static_cast<unsigned char>(native[0])))
        native = root + "/" + native[0] + native.substr(2);
    return native;
}

bool LabSystem::FirstRunLine(const std::string &raw)
{
    std::string line = Trim(raw);
    if (line.empty() || g_ascii_strncasecmp(line.c_str(), "rem", 3) == 0 || line[0] == '@')
        return true;
    static const std::regex kTftp("tftp -i (\\S+) GET (\\S+) \\S+", std::regex::icase);
    std::smatch match;
    if (!std::regex_match(line, match, kTftp)) {
        Say("first run: not run (Windows only): %s", line.c_str());
        return true;
    }
    // The read request is the report: the server may answer it with the file or a TFTP error
    // (curl 68 to 71), as Windows' tftp would see it; no answer at all is a failure.
    std::string url = "tftp://" + match[1].str() + "/" + match[2].str();
    int status = RunStatus({"curl", "-s", "--max-time", "20", "-o", "/dev/null", url});
    bool ok = status == 0 || (status >= 68 && status <= 71);
    Say("first run: report %s (tftp stand-in: curl, status %d): %s", url.c_str(), status,
        ok ? "answered" : "FAILED");
    return ok;
}

}  // namespace ferrit::lab
