#include "core/http_disk.h"

#include <cstdio>
#include <cstdlib>

namespace ferrit {

bool ParseHttpDiskUrl(const std::string &url, HttpDiskUrl &parsed)
{
    auto scheme = url.find("http://");
    if (scheme == std::string::npos) return false;
    std::string rest = url.substr(scheme + 7);
    auto hostEnd = rest.find_first_of(":/");
    HttpDiskUrl result;
    result.szHost = rest.substr(0, hostEnd);
    if (result.szHost.empty() || result.szHost.size() > 32 || hostEnd == std::string::npos)
        return false;
    auto slash = rest.find('/', hostEnd);
    if (slash == std::string::npos) return false;
    if (rest[hostEnd] == ':') {
        std::string port = rest.substr(hostEnd + 1, slash - hostEnd - 1);
        char *end = nullptr;
        unsigned long value = std::strtoul(port.c_str(), &end, 10);
        if (port.empty() || *end != '\0' || value == 0 || value > 65535) return false;
        result.usPort = static_cast<std::uint16_t>(value);
    }
    result.szPath = rest.substr(slash);
    parsed = result;
    return true;
}

std::size_t ConnectRecordInputLength(const HttpDiskUrl &url)
{
    return url.szPath.size() + 271;
}

std::vector<std::uint8_t> BuildConnectRecord(const HttpDiskUrl &url, char driveLetter)
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    char tail = 0;
    if (std::sscanf(url.szHost.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 ||
        b > 255 || c > 255 || d > 255)
        return {};
    std::vector<std::uint8_t> record(url.szPath.size() + 272, 0);
    // Address and port in network byte order, as inet_addr and htons give them.
    record[0] = static_cast<std::uint8_t>(a);
    record[1] = static_cast<std::uint8_t>(b);
    record[2] = static_cast<std::uint8_t>(c);
    record[3] = static_cast<std::uint8_t>(d);
    record[4] = static_cast<std::uint8_t>(url.usPort >> 8);
    record[5] = static_cast<std::uint8_t>(url.usPort & 255);
    record[6] = static_cast<std::uint8_t>(driveLetter);
    record[8] = static_cast<std::uint8_t>(url.szHost.size() & 255);
    record[9] = static_cast<std::uint8_t>(url.szHost.size() >> 8);
    std::copy(url.szHost.begin(), url.szHost.end(), record.begin() + 10);
    record[266] = static_cast<std::uint8_t>(url.szPath.size() & 255);
    record[267] = static_cast<std::uint8_t>(url.szPath.size() >> 8);
    std::copy(url.szPath.begin(), url.szPath.end(), record.begin() + 268);
    return record;
}

}  // namespace ferrit
