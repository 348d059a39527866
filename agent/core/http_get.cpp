#include "core/http_get.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "core/agent_log.h"
#include "core/net_socket.h"

namespace ferrit {

std::string HttpRequestText(const std::string &path)
{
    return "GET " + path +
           " HTTP/1.1\r\nAccept:text/html,application/xhtml+xml,image/webp,*/*;q=0.8\r\n\r\n";
}

std::string HttpReplyBody(const std::string &reply)
{
    auto head = reply.find("\r\n\r\n");
    if (head == std::string::npos) return {};
    std::string body = reply.substr(head + 4);
    static const char kEnd[] = "</unattend>";
    if (auto end = body.find(kEnd); end != std::string::npos) body.resize(end + sizeof kEnd - 1);
    // The body is text: it ends at a NUL byte.
    if (auto nul = body.find('\0'); nul != std::string::npos) body.resize(nul);
    return body;
}

bool ReplyComplete(const std::string &reply)
{
    auto head = reply.find("\r\n\r\n");
    if (head == std::string::npos) return false;
    std::string lower = reply.substr(0, head);
    for (auto &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto field = lower.find("\r\ncontent-length:");
    if (field == std::string::npos) return false;  // no length: the close ends the body
    char *end = nullptr;
    unsigned long long length = std::strtoull(lower.c_str() + field + 17, &end, 10);
    if (end == lower.c_str() + field + 17) return false;
    return reply.size() - head - 4 >= length;
}

int HttpGet(std::uint32_t ip, std::uint16_t port, const std::string &path, const char *savePath)
{
    std::intptr_t s = SocketConnect(ip, port);
    if (s == -1) return -1;
    std::string request = HttpRequestText(path);
    SocketSendAll(s, request.data(), request.size());
    char block[1024];
    if (!savePath) {
        SocketReceive(s, block, sizeof block - 1);
        SocketClose(s);
        return 0;
    }
    // The whole reply is gathered before the head is split off, so a head that spans blocks is
    // handled like any other.
    std::string reply;
    for (long n; !ReplyComplete(reply) && (n = SocketReceive(s, block, sizeof block - 1)) > 0;)
        reply.append(block, static_cast<std::size_t>(n));
    SocketClose(s);
    std::string body = HttpReplyBody(reply);
    std::ofstream out(savePath, std::ios::trunc);
    if (!out) {
        AgentLog("Failed to create file %s", savePath);
        return 0;
    }
    out << body;
    AgentLog("Success save %u chars to file %s", static_cast<unsigned>(body.size()), savePath);
    return 0;
}

}  // namespace ferrit
