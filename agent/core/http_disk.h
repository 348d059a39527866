// The HTTP-disk source: the URL from the answer file and the connect record handed to the
// "httpdisk.sys" driver.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace ferrit {

struct HttpDiskUrl {
    std::string szHost;  // dotted address, at most 32 characters
    std::uint16_t usPort = 80;
    std::string szPath;  // starts with "/"
};

// False when the URL lacks "http://", a host, a valid port or a path.
bool ParseHttpDiskUrl(const std::string &url, HttpDiskUrl &parsed);
// HttpDiskConnectInfo, path length + 272 bytes; empty when the host is not a dotted address.
std::vector<std::uint8_t> BuildConnectRecord(const HttpDiskUrl &url, char driveLetter);
// The input length the connect request passes: path length + 271.
std::size_t ConnectRecordInputLength(const HttpDiskUrl &url);

}  // namespace ferrit
