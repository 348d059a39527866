#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "core/net_socket.h"

namespace ferrit {

std::intptr_t SocketConnect(std::uint32_t ip, std::uint16_t port)
{
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return -1;
    // A server that accepts and then says nothing must not hold the agent for ever.
    timeval timeout{60, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(ip);
    if (::connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

bool SocketSendAll(std::intptr_t s, const char *data, std::size_t size)
{
    while (size > 0) {
        ssize_t sent = ::send(static_cast<int>(s), data, size, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

long SocketReceive(std::intptr_t s, char *buffer, std::size_t size)
{
    return static_cast<long>(::recv(static_cast<int>(s), buffer, size, 0));
}

void SocketClose(std::intptr_t s)
{
    ::close(static_cast<int>(s));
}

}  // namespace ferrit
