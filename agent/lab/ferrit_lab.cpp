// ferrit-lab: the agent's step routine on Linux against a real kivpxe, for the Windows lab.
//
//   ferrit-lab --dir DIR [--disk NUMBER:BUS:GB ...] [--uefi] [--vendor TEXT] [--product TEXT]
//              [--serial TEXT] [--timeout SECONDS]
//
// DIR holds what the boot WIM put in WinPE's System32 (Ferrit.json, wim_param.bin, wget.exe);
// the agent works there as in System32, drive letters map to DIR/<letter>. The machine's
// identity is given as an SMBIOS system structure, which the agent reads as it reads the
// firmware's. Every disk is NUMBER:BUS:GB with BUS one of the bus type names (Usb, Sata, Nvme,
// iScsi, ...). After the step routine the installed system's first run is stood in for: the
// report lines of the first-run batch the agent left in C:\Windows are sent.
// Exit status 0 when every step and the first-run report succeeded.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/agent_log.h"
#include "core/disk_select.h"
#include "core/firmware_tables.h"
#include "core/steps.h"
#include "core/text_util.h"
#include "lab_system.h"

namespace {
using namespace ferrit;

// The raw "RSMB" table the firmware would give: header, a type 1 structure (manufacturer,
// product, serial as its strings 1, 2 and 3), the end structure.
std::vector<std::uint8_t> SmbiosTable(const std::string &vendor, const std::string &product,
                                      const std::string &serial)
{
    std::vector<std::uint8_t> table = {1, 27, 0x01, 0x00, 1, 2, 0, 3};
    table.resize(27, 0);
    for (const std::string *text : {&vendor, &product, &serial})
        table.insert(table.end(), text->begin(), text->end()), table.push_back(0);
    table.push_back(0);
    table.insert(table.end(), {127, 4, 0x02, 0x00, 0, 0});
    std::vector<std::uint8_t> raw = {0, 2, 8, 0};
    std::uint32_t length = static_cast<std::uint32_t>(table.size());
    for (int i = 0; i < 4; ++i) raw.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
    raw.insert(raw.end(), table.begin(), table.end());
    return raw;
}

bool ParseDisk(const std::string &text, DiskInfo &disk)
{
    int number = -1;
    char bus[32] = "";
    unsigned gb = 0;
    if (std::sscanf(text.c_str(), "%d:%31[A-Za-z]:%u", &number, bus, &gb) != 3) return false;
    for (std::uint32_t type = 0; type < 32; ++type) {
        if (std::string("BusType") + bus == BusTypeName(type)) {
            disk = {Format("\\\\?\\lab#disk#%d", number), true, 0, number, type, gb};
            return true;
        }
    }
    return false;
}

// The agent's own downloads (HttpGet) leave no trace but their log lines: each "Success save"
// line against the line before it, which the agent writes just before the request.
void ReportDownloadTimes()
{
    auto lines = ReadLines(AgentLogPath());
    if (!lines) return;
    auto millis = [](const std::string &line) {
        int h = 0, m = 0, s = 0, ms = 0;
        if (std::sscanf(line.c_str(), "%% %*d/%*d/%*d %d:%d:%d.%d", &h, &m, &s, &ms) != 4)
            return -1LL;
        return ((h * 60LL + m) * 60 + s) * 1000 + ms;
    };
    for (std::size_t i = 1; i < lines->size(); ++i) {
        const std::string &line = (*lines)[i];
        auto at = line.find("Success save ");
        if (at == std::string::npos) continue;
        long long took = millis(line) - millis((*lines)[i - 1]);
        lab::Say("download (agent HttpGet): %s in %lld ms", Trim(line.substr(at + 13)).c_str(),
                 took);
    }
}

int Usage(const char *why)
{
    std::fprintf(stderr,
                 "ferrit-lab: %s\nusage: ferrit-lab --dir DIR [--disk NUMBER:BUS:GB ...] "
                 "[--uefi] [--vendor TEXT] [--product TEXT] [--serial TEXT] [--timeout S]\n",
                 why);
    return 2;
}
}  // namespace

int main(int argc, char **argv)
{
    lab::LabSystem sys;
    std::string dir, vendor = "Dell Inc.", product = "OptiPlex 7090", serial = "LAB 0001";
    unsigned timeout = 120;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--uefi") {
            sys.uefi = true;
            continue;
        }
        if (!value) return Usage(("missing value after " + arg).c_str());
        ++i;
        if (arg == "--dir") {
            dir = value;
        } else if (arg == "--disk") {
            DiskInfo disk;
            if (!ParseDisk(value, disk)) return Usage((std::string("bad disk ") + value).c_str());
            sys.disks.push_back(disk);
        } else if (arg == "--vendor") {
            vendor = value;
        } else if (arg == "--product") {
            product = value;
        } else if (arg == "--serial") {
            serial = value;
        } else if (arg == "--timeout") {
            timeout = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        } else {
            return Usage(("unknown argument " + arg).c_str());
        }
    }
    if (dir.empty()) return Usage("--dir is required");
    if (chdir(dir.c_str()) != 0) return Usage(("cannot enter " + dir).c_str());
    sys.root = get_current_dir_name();
    // The agent's waits are unbounded where WinPE would wait for ever; the lab is not.
    std::signal(SIGALRM, [](int) {
        static const char kText[] = "ferrit-lab: FAIL: time is up\n";
        (void)!write(1, kText, sizeof kText - 1);
        _exit(3);
    });
    alarm(timeout);

    AgentContext ctx(sys);
    if (!ParseSmbiosIdentity(SmbiosTable(vendor, product, serial), ctx.identity))
        return Usage("the identity does not make an SMBIOS table");
    lab::Say("identity from SMBIOS: vendor=%s product=%s serial=%s", ctx.identity.szVendor.c_str(),
             ctx.identity.szProduct.c_str(), ctx.identity.szSerial.c_str());
    StepEnd end = RunSteps(ctx);
    ReportDownloadTimes();
    lab::Say("parameters: server %s:%u share %s account %s password %s",
             IpText(ctx.params.uiServerIp).c_str(), ctx.params.usHttpPort,
             ctx.params.szSharePath.c_str(), ctx.params.szUserName.c_str(),
             ctx.params.szPassword.empty() ? "(none)" : "(decoded)");
    lab::Say("client %s %s; source %s", ctx.szClientIp.c_str(), ctx.szClientMac.c_str(),
             ctx.szSourceDrive.empty() ? "(none)" : ctx.szSourceDrive.c_str());
    if (end != StepEnd::Finished || !sys.setup.bRan || !sys.setup.bValid) {
        lab::Say("FAIL: the step routine ended before a valid Setup run");
        return 1;
    }
    auto batch = ReadLines(sys.Native("C:\\Windows\\FirstRun.bat"));
    if (!batch) {
        lab::Say("FAIL: no first-run batch in C:\\Windows");
        return 1;
    }
    bool reported = true;
    for (const auto &line : *batch) reported = sys.FirstRunLine(line) && reported;
    lab::Say(reported ? "done" : "FAIL: the first-run report failed");
    return reported ? 0 : 1;
}
