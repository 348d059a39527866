#include "core/agent_params.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "core/agent_log.h"
#include "core/text_util.h"

namespace ferrit {

bool IsYes(const std::string &value)
{
    return value == "YES";
}

std::string ParameterValue(const std::string &text, const char *key)
{
    std::string quoted = std::string("\"") + key + "\"";
    auto at = text.find(quoted);
    if (at == std::string::npos) return {};
    auto open = text.find('"', at + quoted.size());
    if (open == std::string::npos) return {};
    auto close = text.find('"', open + 1);
    if (close == std::string::npos) return {};
    return text.substr(open + 1, close - open - 1);
}

namespace {
int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

std::string DecodeReversedHex(const std::string &hex)
{
    if (hex.size() % 2 != 0) return {};
    std::string clear;
    for (std::size_t at = hex.size(); at >= 2; at -= 2) {
        int high = HexDigit(hex[at - 2]), low = HexDigit(hex[at - 1]);
        if (high < 0 || low < 0) return {};
        clear.push_back(static_cast<char>(high * 16 + low));
    }
    return clear;
}

const char *MaskedPassword(const std::string &password)
{
    return password.empty() ? "" : "******";
}

std::string IpText(std::uint32_t ip)
{
    return Format("%u.%u.%u.%u", ip >> 24, (ip >> 16) & 255, (ip >> 8) & 255, ip & 255);
}

AgentParameters ParseAgentParameters(const std::string &text)
{
    AgentParameters p;
    p.szSharePath = Bounded(ParameterValue(text, "KIV_PXE_SHARE_PATH"), 1024);
    p.szDomain = Bounded(ParameterValue(text, "DOMAIN"), 512);
    p.szUserName = Bounded(ParameterValue(text, "USERNAME"), 512);
    p.szPassword = DecodeReversedHex(Bounded(ParameterValue(text, "PASSWORD"), 512));
    p.szImageIndex = Bounded(ParameterValue(text, "IMAGE_INDEX"), 64);
    p.uiImageIndex = static_cast<std::uint32_t>(std::strtoul(p.szImageIndex.c_str(), nullptr, 10));
    unsigned a = 0, b = 0, c = 0, d = 0;
    std::string ip = ParameterValue(text, "SERVER_IP");
    if (std::sscanf(ip.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) == 4 && a < 256 && b < 256 &&
        c < 256 && d < 256)
        p.uiServerIp = (a << 24) | (b << 16) | (c << 8) | d;
    p.szServerMask = Bounded(ParameterValue(text, "SERVER_MASK"), 32);
    unsigned long port = std::strtoul(ParameterValue(text, "HTTP_PORT").c_str(), nullptr, 10);
    p.usHttpPort = port <= 65535 ? static_cast<std::uint16_t>(port) : 0;
    p.szDebugMod = Bounded(ParameterValue(text, "DEBUGMOD"), 64);
    p.szDebugStep = Bounded(ParameterValue(text, "DEBUGSTEP"), 64);
    p.szIscsiFirst = Bounded(ParameterValue(text, "ISCSI_FIRST"), 64);
    p.szDhcpDisable = Bounded(ParameterValue(text, "DHCP_DISABLE"), 64);
    p.szForbiddenUsbDisk = Bounded(ParameterValue(text, "FORBIDDEN_USB_DISK"), 64);
    p.szNoReboot = Bounded(ParameterValue(text, "NO_REBOOT"), 64);
    return p;
}

int ReadAgentParameters(const std::string &path, AgentParameters &params)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return 1;
    std::string text, line;
    while (std::getline(in, line)) {
        line = Bounded(line, 2048) + "\n";
        if (text.size() + line.size() > 10240) break;
        text += line;
    }
    params = ParseAgentParameters(text);
    AgentLog(
        "Read config "
        "file\nKIV_PXE_SHARE_PATH:%s\nDOMAIN:%s\nUSERNAME:%s\nPASSWORD:%s\nIMAGE_INDEX:(%s)%u\n"
        "SERVER_IP:%u\nHTTP_PORT:%u\n",
        params.szSharePath.c_str(), params.szDomain.c_str(), params.szUserName.c_str(),
        MaskedPassword(params.szPassword), params.szImageIndex.c_str(), params.uiImageIndex,
        params.uiServerIp, params.usHttpPort);
    return 0;
}

}  // namespace ferrit
