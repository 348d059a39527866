#include <winsock2.h>

#include "core/net_socket.h"

namespace ferrit {

std::intptr_t SocketConnect(std::uint32_t ip, std::uint16_t port)
{
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return -1;
    // A server that accepts and then says nothing must not hold the agent for ever.
    DWORD timeoutMs = 60000;
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&timeoutMs),
                 sizeof timeoutMs);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(ip);
    if (::connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        ::closesocket(s);
        return -1;
    }
    return static_cast<std::intptr_t>(s);
}

bool SocketSendAll(std::intptr_t s, const char *data, std::size_t size)
{
    while (size > 0) {
        int sent = ::send(static_cast<SOCKET>(s), data, static_cast<int>(size), 0);
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

long SocketReceive(std::intptr_t s, char *buffer, std::size_t size)
{
    return ::recv(static_cast<SOCKET>(s), buffer, static_cast<int>(size), 0);
}

void SocketClose(std::intptr_t s)
{
    ::closesocket(static_cast<SOCKET>(s));
}

}  // namespace ferrit
