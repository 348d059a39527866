#include "core/network.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "core/agent_log.h"
#include "core/text_util.h"

namespace ferrit {
namespace {

std::uint32_t ParseIp(const std::string &text)
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) != 4) return 0;
    return (a << 24) | (b << 16) | (c << 8) | d;
}

std::optional<std::array<std::uint8_t, 6>> ParseMacPairs(const std::string &text)
{
    if (text.size() < 17) return std::nullopt;
    std::array<std::uint8_t, 6> mac{};
    for (int i = 0; i < 6; ++i) {
        char pair[3] = {text[i * 3], text[i * 3 + 1], 0};
        if (!std::isxdigit(static_cast<unsigned char>(pair[0])) ||
            !std::isxdigit(static_cast<unsigned char>(pair[1])))
            return std::nullopt;
        mac[i] = static_cast<std::uint8_t>(std::strtoul(pair, nullptr, 16));
    }
    return mac;
}

std::string Upper(std::string text)
{
    for (char &c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string MacColons(const std::array<std::uint8_t, 6> &m)
{
    return Format("%02X:%02X:%02X:%02X:%02X:%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
}

// Runs a wmic listing into `file` and returns the lines after its header line. The header may
// appear late (wmic is slow on a first run), so that wait has no limit; a file that never opens
// gives an empty listing.
std::vector<std::string> WmicListing(AgentSystem &sys, const std::string &command,
                                     const std::string &file, const char *header,
                                     const char *waitText, const char *foundText)
{
    std::remove(file.c_str());
    AgentLog("Run szCmd=%s", command.c_str());
    sys.Exec(command, Show::Hidden);
    std::optional<std::vector<std::string>> lines;
    for (int tries = 0; tries < 30; ++tries) {
        if ((lines = ReadLines(file))) break;
        AgentLog("Failed to open %s, now wait ...", file.c_str());
        sys.SleepMs(500);
    }
    if (!lines) return {};
    AgentLog("Success to open %s", file.c_str());
    while (lines->empty() || !Contains(Upper((*lines)[0]), header)) {
        AgentLog("%s", waitText);
        sys.SleepMs(500);
        lines = ReadLines(file);
        if (!lines) lines.emplace();
    }
    AgentLog("%s", foundText);
    return {lines->begin() + 1, lines->end()};
}

NicListing ListNics(AgentSystem &sys)
{
    return ParseNicListing(
        WmicListing(sys, "cmd /c wmic nic get index,MacAddress,NetConnectionID |more >> ifname.txt",
                    "ifname.txt", "NETCONNECTIONID", "NO NetConnetcionID, now wait ...",
                    "Find NetConnetcionID "));
}

bool MacListed(AgentContext &ctx, const std::array<std::uint8_t, 6> *mac)
{
    std::string file = Format("tmp_mac_%u.txt", ctx.uiMacListings++);
    auto lines = WmicListing(ctx.sys, "cmd /c wmic nic get MacAddress |more >> " + file, file,
                             "MACADDRESS", "NO MACADDRESS, now wait ...", "Find MacAddress ");
    return ListingHasMac(lines, mac);
}

const NicEntry *FindNic(const NicListing &listing, const std::array<std::uint8_t, 6> &mac)
{
    for (const auto &entry : listing.entries)
        if (entry.mac == mac) return &entry;
    return nullptr;
}

int IfIndexForMac(AgentSystem &sys, const std::array<std::uint8_t, 6> &mac)
{
    AgentLog("Adapter List:");
    int found = -1;
    for (const auto &adapter : sys.Adapters()) {
        AgentLog("pIpAdapterInfo->Address %s", MacText(adapter.mac).c_str());
        if (found < 0 && adapter.mac == mac) found = static_cast<int>(adapter.uiIfIndex);
    }
    return found;
}

bool WmicPresent()
{
    if (FileExists("wbem\\wmic.exe") || FileExists("wmic.exe")) return true;
    AgentLog("NO WMIC command found");
    return false;
}

void UseDhcp(AgentSystem &sys)
{
    sys.CallWpe(WpeFunction::InitializeNetwork);
    sys.CallWpe(WpeFunction::WaitForNetwork);
}

bool AddressIs(AgentContext &ctx, const std::string &want, bool stopOnLinkLocal, int &result)
{
    std::string ip, mac;
    result = ChooseAdapter(ctx.sys.Adapters(), ctx.params.uiServerIp, stopOnLinkLocal, ip, mac);
    return result == 0 && ip == want;
}

void RunNetcfgTwice(AgentSystem &sys)
{
    for (int i = 0; i < 2; ++i) {
        sys.Exec("cmd /c netcfg.exe -winpe > netcfg.log 2>&1", Show::Hidden);
        sys.SleepMs(1000);
    }
}

void IsolatePxeAdapter(AgentContext &ctx, NicListing &listing, int wmicIndex)
{
    AgentSystem &sys = ctx.sys;
    for (int i = 0; i < 10; ++i) {
        for (const auto &command : DisableOtherNicsCommands(listing)) {
            AgentLog("run cmd %s", command.c_str());
            sys.Exec(command, Show::Hidden);
            sys.SleepMs(listing.iMaclessCount > 1 ? 1000 : 2000);
        }
        sys.SleepMs(3000);
        if (!MacListed(ctx, nullptr)) {
            AgentLog("All interfaces are closed");
            break;
        }
        AgentLog("Still has some mac, now retry");
    }
    RunNetcfgTwice(sys);
    AgentLog("Now Disable DHCP by reg");
    sys.DisableDhcpInRegistry();
    std::string enable = Format(
        "cmd /c wmic path win32_networkadapter where index=%d call enable > enable.log", wmicIndex);
    sys.Exec(enable, Show::Hidden);
    for (int i = 0; i < 10; ++i) {
        if (MacListed(ctx, &ctx.pxe.mac)) {
            AgentLog("Enable take affect, now break");
            break;
        }
        AgentLog("Enable not take affect, now retry ...");
        sys.Exec(enable, Show::Hidden);
        sys.SleepMs(500);
    }
}

bool SetStaticByWmic(AgentContext &ctx, NicListing &listing, int &wmicIndex)
{
    const PxeOption &o = ctx.pxe;
    for (int retry = 0; retry < 3; ++retry) {
        AgentLog("retry = %d", retry);
        if (wmicIndex == -1) {
            AgentLog("iWmicIndex = %d, now reget", wmicIndex);
            listing = ListNics(ctx.sys);
            const NicEntry *nic = FindNic(listing, o.mac);
            wmicIndex = nic ? nic->iIndex : -1;
            AgentLog("iWmicIndex = %d, after reget", wmicIndex);
        }
        for (const auto &command : {Format("cmd /c wmic NICCONFIG where index=%d call EnableStatic "
                                           "(\"%s\"),(\"%s\") > setip.log 2>&1",
                                           wmicIndex, o.ip.c_str(), o.mask.c_str()),
                                    Format("cmd /c wmic NICCONFIG where index=%d call SetGateways "
                                           "(\"%s\"),(10) > setgw.log 2>&1",
                                           wmicIndex, o.gateway.c_str())}) {
            AgentLog("run cmd %s", command.c_str());
            ctx.sys.Exec(command, Show::Hidden);
        }
        for (int check = 0; check < 5; ++check) {
            int result = 0;
            if (AddressIs(ctx, o.ip, true, result)) return true;
            if (result == -10 && check > 0) {
                AgentLog("The ip changed to 169.254.x.x, now break");
                return false;
            }
            AgentLog("IP not changed %s, now wait ...", o.ip.c_str());
            ctx.sys.SleepMs(5000);
        }
    }
    return false;
}

}  // namespace

int ChooseAdapter(const std::vector<AdapterInfo> &adapters, std::uint32_t serverIp,
                  bool stopOnLinkLocal, std::string &ip, std::string &mac)
{
    bool found = false;
    int candidates = 0;
    std::string lastIp, lastMac;
    for (const auto &adapter : adapters) {
        std::string macText = MacText(adapter.mac);
        for (const auto &address : adapter.addresses) {
            bool linkLocal = Contains(address.ip, "169.254.");
            if (stopOnLinkLocal && linkLocal) {
                AgentLog("Get MAC:%s IP %s", macText.c_str(), address.ip.c_str());
                return -10;
            }
            if (linkLocal || address.ip == "0.0.0.0" || address.ip == "127.0.0.1") continue;
            AgentLog("Get MAC:%s IP %s", macText.c_str(), address.ip.c_str());
            lastIp = address.ip;
            lastMac = macText;
            ++candidates;
            std::uint32_t mask = ParseIp(address.mask);
            if ((ParseIp(address.ip) & mask) == (serverIp & mask)) {
                ip = address.ip;
                mac = macText;
                found = true;
                break;  // the next adapter; a later one in the subnet replaces this one
            }
        }
    }
    if (found) return 0;
    if (candidates == 1) {
        ip = lastIp;
        mac = lastMac;
        return 0;
    }
    return -1;
}

NicListing ParseNicListing(const std::vector<std::string> &lines)
{
    NicListing listing;
    for (const auto &raw : lines) {
        std::string line = Trim(raw);
        if (line.empty() || !std::isdigit(static_cast<unsigned char>(line[0]))) continue;
        char *end = nullptr;
        long index = std::strtol(line.c_str(), &end, 10);
        if (line.size() < 17) {
            listing.iMaclessIndex = static_cast<int>(index);
            ++listing.iMaclessCount;
            continue;
        }
        AgentLog("szLine=<%s>", line.c_str());
        std::string rest = Trim(end);
        auto mac = ParseMacPairs(rest);
        if (!mac) continue;
        NicEntry entry{*mac, static_cast<int>(index), Trim(rest.substr(17))};
        AgentLog("Network interface %d %s <%s>", entry.iIndex, MacColons(entry.mac).c_str(),
                 entry.szName.c_str());
        listing.entries.push_back(entry);
    }
    return listing;
}

bool ListingHasMac(const std::vector<std::string> &lines, const std::array<std::uint8_t, 6> *mac)
{
    for (const auto &raw : lines) {
        std::string line = Trim(raw);
        if (line.size() <= 16) continue;
        AgentLog("szLine=<%s>", line.c_str());
        auto found = ParseMacPairs(line);
        if (found && (!mac || *found == *mac)) {
            AgentLog("Find MAC, now return true");
            return true;
        }
    }
    return false;
}

std::vector<std::string> DisableOtherNicsCommands(const NicListing &listing)
{
    if (listing.iMaclessCount == 0)
        return {"cmd /c wmic path win32_networkadapter where index!=999 call disable > disable.log "
                "2>&1"};
    if (listing.iMaclessCount == 1)
        return {Format(
            "cmd /c wmic path win32_networkadapter where index!=%d call disable > disable.log 2>&1",
            listing.iMaclessIndex)};
    AgentLog("g_iBadIntfNum = %d", listing.iMaclessCount);
    std::vector<std::string> commands;
    for (const auto &entry : listing.entries)
        commands.push_back(
            Format("cmd /c wmic path win32_networkadapter where MacAddress=\"%s\" call disable > "
                   "disable.log 2>&1",
                   MacColons(entry.mac).c_str()));
    return commands;
}

void BringUpNetwork(AgentContext &ctx)
{
    AgentSystem &sys = ctx.sys;
    const PxeOption &o = ctx.pxe;
    if (!PxeOptionUsable(o)) {
        AgentLog("Now USE DHCP");
        UseDhcp(sys);
        return;
    }
    sys.CallWpe(WpeFunction::InitializeNetworkDrivers);
    sys.SleepMs(1000);
    bool wmic = WmicPresent();
    NicListing listing;
    int wmicIndex = -1;
    const NicEntry *nic = nullptr;
    if (wmic) {
        listing = ListNics(sys);
        nic = FindNic(listing, o.mac);
        wmicIndex = nic ? nic->iIndex : -1;
    }
    AgentLog("iWmicIndex=%d", wmicIndex);
    if (IsYes(ctx.params.szDhcpDisable) && wmicIndex != -1 && nic && !nic->szName.empty()) {
        AgentLog("Index=%d IfName = <%s>", wmicIndex, nic->szName.c_str());
        IsolatePxeAdapter(ctx, listing, wmicIndex);
    } else {
        RunNetcfgTwice(sys);
    }
    int ifIndex = -1;
    for (int i = 0; i < 30; ++i) {
        ifIndex = IfIndexForMac(sys, o.mac);
        if (ifIndex > 0) {
            AgentLog("Get ifindex success %d", ifIndex);
            break;
        }
        AgentLog("Invalid ifindex, now wait ...");
        sys.SleepMs(500);
    }
    if (ifIndex > 0) {
        AgentLog("Now Set static IP for interface %d", ifIndex);
        if (wmic && SetStaticByWmic(ctx, listing, wmicIndex)) return;
        sys.Exec(Format("cmd /c netsh interface ip set address name=%d source=static addr=%s "
                        "mask=%s gateway=%s > "
                        "netsh.log 2>&1",
                        ifIndex, o.ip.c_str(), o.mask.c_str(), o.gateway.c_str()),
                 Show::Minimized);
        sys.SleepMs(3000);
        for (int check = 0; check < 5; ++check) {
            int result = 0;
            if (AddressIs(ctx, o.ip, false, result)) return;
            AgentLog("IP not changed, now wait ...");
            sys.SleepMs(5000);
        }
    }
    AgentLog("Set IP failed, now use DHCP, ifIndex %d", ifIndex);
    UseDhcp(sys);
}

bool WaitForAddress(AgentContext &ctx)
{
    AgentSystem &sys = ctx.sys;
    for (int i = 0; i < 60; ++i) {
        std::string ip, mac;
        if (ChooseAdapter(sys.Adapters(), ctx.params.uiServerIp, false, ip, mac) == 0) {
            ctx.szClientIp = ip;
            ctx.szClientMac = mac;
            sys.SetStatus(StatusField::Network, "Success");
            sys.SetStatus(StatusField::Source, "......");
            AgentLog("Initialize NetWork  Success");
            sys.Exec("wpeinit.exe", Show::Hidden);
            sys.CallWpe(WpeFunction::DisableFirewall);
            sys.StartWinsock();
            return true;
        }
        AgentLog("Network not OK, now wait ...");
        sys.SleepMs(2000);
    }
    sys.SetStatus(StatusField::Network, "Fail NOIP");
    sys.SetStatus(StatusField::Source, "......");
    return false;
}

}  // namespace ferrit
