#include "core/firmware_tables.h"

#include "core/agent_log.h"
#include "core/text_util.h"

namespace ferrit {
namespace {

std::string Printable(std::string text)
{
    for (char &c : text) {
        auto u = static_cast<unsigned char>(c);
        if (u < 32 || u >= 127) c = '.';
    }
    return text;
}

// Bounded reads from a firmware table: outside the table every byte reads as 0.
struct Table {
    const std::vector<std::uint8_t> &bytes;
    unsigned u8(std::size_t at) const { return at < bytes.size() ? bytes[at] : 0; }
    unsigned u16(std::size_t at) const { return u8(at) | u8(at + 1) << 8; }
    unsigned u32(std::size_t at) const { return u16(at) | u16(at + 2) << 16; }
    std::string raw(std::size_t at, std::size_t n) const
    {
        std::string s;
        for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(u8(at + i)));
        return s;
    }
    // IPv4 held in the last four bytes of a 16-byte address field.
    std::string ip(std::size_t at) const
    {
        return Format("%u.%u.%u.%u", u8(at + 12), u8(at + 13), u8(at + 14), u8(at + 15));
    }
    std::string text(std::size_t offset, std::size_t length) const
    {
        if (offset == 0 || offset >= bytes.size()) return {};
        return Printable(raw(offset, std::min(length, bytes.size() - offset)));
    }
};

const char *OriginName(unsigned origin)
{
    static const char *names[] = {"IpPrefixOriginOther", "IpPrefixOriginManual",
                                  "IpPrefixOriginWellKnown", "IpPrefixOriginDhcp",
                                  "IpPrefixOriginRouterAdvertisement"};
    return origin < 5 ? names[origin] : "IpPrefixOriginUnchanged";
}

void LogNic(const Table &t, std::size_t at)
{
    unsigned pci = t.u16(at + 96);
    AgentLog(
        "\nACPI iBFT NIC "
        "Structure\nucStructureID=%u\nucVersion=%u\nusLength=%u\nucIndex=%u\nucFlags=%u\n"
        "aucIP=%s/%u\nucOrigin=%s\naucGW=%s\nauc1stDNS=%s\nauc2ndDNS=%s\naucDHCP=%s\nusVlan=%u\n"
        "aucMAC=[%02X-%02X-%02X-%02X-%02X-%02X]\nuiPCIBus=%u\nuiPCIDev=%u\nuiPCIFunc=%"
        "u\nusHostNameLen=%u\n"
        "usHostNameOffset=%u\n",
        t.u8(at), t.u8(at + 1), t.u16(at + 2), t.u8(at + 4), t.u8(at + 5), t.ip(at + 6).c_str(),
        t.u8(at + 22), OriginName(t.u8(at + 23)), t.ip(at + 24).c_str(), t.ip(at + 40).c_str(),
        t.ip(at + 56).c_str(), t.ip(at + 72).c_str(), t.u16(at + 88), t.u8(at + 90), t.u8(at + 91),
        t.u8(at + 92), t.u8(at + 93), t.u8(at + 94), t.u8(at + 95), pci >> 8, (pci & 0xFF) >> 3,
        pci & 7, t.u16(at + 98), t.u16(at + 100));
}

void LogTarget(const Table &t, std::size_t at)
{
    std::string lun = t.raw(at + 24, 8);
    AgentLog(
        "\nACPI iBFT Target "
        "Structure\nucStructureID=%u\nucVersion=%u\nusLength=%u\nucIndex=%u\nucFlags=%u\n"
        "aucTgtIP=%s\nusPort=%u\naucBootLun= [%02X %02X %02X %02X %02X %02X %02X %02X] "
        "(%s)\nucChapType=%u\n"
        "ucNicAsso=%u\nusTgtNameLen=%u\nusTgtNameOffset=%u\nusChapNameLen=%u\nusChapNameOffset=%u\n"
        "usChapPwdLen=%u\nusChapPwdOffset=%u\nusRChapNameLen=%u\nusRChapNameOffset=%"
        "u\nusRChapPwdLen=%u\n"
        "usRChapPwdOffset=%u\nTargetName=%s\n",
        t.u8(at), t.u8(at + 1), t.u16(at + 2), t.u8(at + 4), t.u8(at + 5), t.ip(at + 6).c_str(),
        t.u16(at + 22), t.u8(at + 24), t.u8(at + 25), t.u8(at + 26), t.u8(at + 27), t.u8(at + 28),
        t.u8(at + 29), t.u8(at + 30), t.u8(at + 31), Printable(lun).c_str(), t.u8(at + 32),
        t.u8(at + 33), t.u16(at + 34), t.u16(at + 36), t.u16(at + 38), t.u16(at + 40),
        t.u16(at + 42), t.u16(at + 44), t.u16(at + 46), t.u16(at + 48), t.u16(at + 50),
        t.u16(at + 52), t.text(t.u16(at + 36), t.u16(at + 34)).c_str());
}

}  // namespace

bool ParseSmbiosIdentity(const std::vector<std::uint8_t> &raw, MachineIdentity &identity)
{
    if (raw.size() < 8) return false;
    Table t{raw};
    std::size_t length = t.u32(4);
    if (raw.size() != length + 8) return false;
    std::size_t at = 8;
    while (at + 4 <= raw.size()) {
        unsigned type = raw[at], formatted = raw[at + 1];
        if (formatted < 4 || at + formatted > raw.size()) return false;
        // The strings follow the formatted area, each NUL-terminated; one more NUL ends the set
        // (two NULs when there is no string).
        std::vector<std::string> strings;
        std::size_t s = at + formatted;
        if (s + 1 < raw.size() && raw[s] == 0) {
            s += 1;
        } else {
            while (s < raw.size() && raw[s] != 0) {
                std::size_t end = s;
                while (end < raw.size() && raw[end] != 0) ++end;
                if (end >= raw.size()) return false;
                strings.emplace_back(reinterpret_cast<const char *>(&raw[s]), end - s);
                s = end + 1;
            }
        }
        if (s >= raw.size()) return false;
        if (type == 1) {
            auto pick = [&](std::size_t offset) -> std::string {
                unsigned n = offset < formatted ? raw[at + offset] : 0;
                if (n == 0) return {};
                if (n > strings.size()) return "BAD_INDEX";
                return Printable(strings[n - 1]);
            };
            identity = {pick(4), pick(5), pick(7)};
            return true;
        }
        at = s + 1;
    }
    return false;
}

bool LogIbftTable(const std::vector<std::uint8_t> &table)
{
    Table t{table};
    std::string oem = t.raw(10, 6), oemTable = t.raw(16, 8);
    const std::size_t c = 48;
    AgentLog("\nACPI iBFT Table\nSignature=0x%x\nLength=%u\nRevision=%u\nCheckSum=%u\n"
             "OEMID=[%02X %02X %02X %02X %02X %02X](%s)\nOEMTablID=[%02X %02X %02X %02X %02X %02X "
             "%02X %02X](%s)\n"
             "ucStructID=%u\nucVersion=%u\nusLength=%u\nucIndex=%u\nucFlags=%u\nusExtension=%u\n"
             "usInitiatorOffset=%u\nusNic0Offset=%u\nusTarget0Offset=%u\nusNic1Offset=%"
             "u\nusTarget1Offset=%u\n",
             t.u32(0), t.u32(4), t.u8(8), t.u8(9), t.u8(10), t.u8(11), t.u8(12), t.u8(13), t.u8(14),
             t.u8(15), Printable(oem).c_str(), t.u8(16), t.u8(17), t.u8(18), t.u8(19), t.u8(20),
             t.u8(21), t.u8(22), t.u8(23), Printable(oemTable).c_str(), t.u8(c), t.u8(c + 1),
             t.u16(c + 2), t.u8(c + 4), t.u8(c + 5), t.u16(c + 6), t.u16(c + 8), t.u16(c + 10),
             t.u16(c + 12), t.u16(c + 14), t.u16(c + 16));
    if (std::size_t i = t.u16(c + 8); i != 0) {
        AgentLog("\nACPI iBFT Initiator "
                 "Structure\nucStructureID=%u\nucVersion=%u\nusLength=%u\nucIndex=%u\n"
                 "ucFlags=%u\naucISNSSrv=%s\naucSLPSrv=%s\nauc1stRadiusSrv=%s\nauc2nsRadiusSrv=%"
                 "s\nusNameLen=%u\n"
                 "usNameOffset=%u\nszInitiatorName=%s\n",
                 t.u8(i), t.u8(i + 1), t.u16(i + 2), t.u8(i + 4), t.u8(i + 5), t.ip(i + 6).c_str(),
                 t.ip(i + 22).c_str(), t.ip(i + 38).c_str(), t.ip(i + 54).c_str(), t.u16(i + 70),
                 t.u16(i + 72), t.text(t.u16(i + 72), t.u16(i + 70)).c_str());
    }
    for (std::size_t nic : {t.u16(c + 10), t.u16(c + 14)})
        if (nic != 0) LogNic(t, nic);
    bool target = false;
    for (std::size_t tgt : {t.u16(c + 12), t.u16(c + 16)})
        if (tgt != 0) {
            LogTarget(t, tgt);
            target = true;
        }
    return target;
}

}  // namespace ferrit
