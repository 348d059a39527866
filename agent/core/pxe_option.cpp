#include "core/pxe_option.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "core/agent_log.h"
#include "core/text_util.h"

namespace ferrit {
namespace {
constexpr std::array<std::uint8_t, 4> kCookie{99, 130, 83, 99};

std::string Dotted(const std::uint8_t *b)
{
    return Format("%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}
}  // namespace

bool PxeOptionUsable(const PxeOption &option)
{
    return option.cookie == kCookie && !option.ip.empty();
}

std::string MacText(const std::array<std::uint8_t, 6> &m)
{
    return Format("%02x-%02x-%02x-%02x-%02x-%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
}

void LogPxeOption(const PxeOption &o)
{
    AgentLog("PXE Option: MAC:%s  IP:%s Mask:%s GateWay:%s", MacText(o.mac).c_str(), o.ip.c_str(),
             o.mask.c_str(), o.gateway.c_str());
}

int ParseDhcpAck(const std::vector<std::uint8_t> &ack, PxeOption &option)
{
    if (ack.size() < 240) return -1;
    PxeOption o;
    std::copy_n(ack.begin() + 28, 6, o.mac.begin());
    o.ip = Dotted(&ack[16]);
    std::copy_n(ack.begin() + 236, 4, o.cookie.begin());
    // Every option's length is checked against the value: a truncated option ends the walk.
    for (std::size_t at = 240; at < ack.size() && (o.mask.empty() || o.gateway.empty());) {
        std::uint8_t code = ack[at];
        if (code == 0) {
            ++at;
            continue;
        }
        if (code == 255 || at + 1 >= ack.size()) break;
        std::size_t length = ack[at + 1];
        if (at + 2 + length > ack.size()) break;
        if (length >= 4 && code == 1) o.mask = Dotted(&ack[at + 2]);
        if (length >= 4 && code == 3) o.gateway = Dotted(&ack[at + 2]);
        at += 2 + length;
    }
    option = o;
    LogPxeOption(option);
    return 0;
}

int ParseWimParam(const std::vector<std::uint8_t> &record, PxeOption &option)
{
    if (record.size() < 100) {
        AgentLog("wim param is not valid, only %u bytes", static_cast<unsigned>(record.size()));
        return -1;
    }
    auto word = [&](std::size_t at) {
        return static_cast<std::uint32_t>(record[at]) | record[at + 1] << 8 | record[at + 2] << 16 |
               static_cast<std::uint32_t>(record[at + 3]) << 24;
    };
    if (word(16) != 0xFFFFFFFFu) {
        AgentLog("wim param is not valid, 0x%x", word(16));
        return -1;
    }
    auto dotted = [&](std::size_t at) {
        std::uint32_t v = word(at);
        return Format("%u.%u.%u.%u", v >> 24, (v >> 16) & 255, (v >> 8) & 255, v & 255);
    };
    PxeOption o;
    o.ip = dotted(20);
    o.mask = dotted(24);
    o.gateway = dotted(28);
    std::copy_n(record.begin() + 32, 6, o.mac.begin());
    o.cookie = kCookie;
    option = o;
    LogPxeOption(option);
    return 0;
}

int ReadPxeOptionFromWimParam(const std::string &path, PxeOption &option)
{
    if (!FileExists(path)) {
        AgentLog("file wim_param.bin is not exist");
        return -1;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        AgentLog("Failed to open file wim_param.bin");
        return -1;
    }
    std::vector<std::uint8_t> record(100);
    in.read(reinterpret_cast<char *>(record.data()), 100);
    record.resize(static_cast<std::size_t>(in.gcount()));
    return ParseWimParam(record, option);
}

}  // namespace ferrit
