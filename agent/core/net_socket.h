// The few socket calls the agent's HTTP client makes: BSD sockets natively, Winsock on Windows.
#pragma once
#include <cstddef>
#include <cstdint>

namespace ferrit {

// A connected TCP socket to ip:port (first octet most significant), or -1.
std::intptr_t SocketConnect(std::uint32_t ip, std::uint16_t port);
bool SocketSendAll(std::intptr_t socket, const char *data, std::size_t size);
// Bytes read, 0 when the peer closed, -1 on error.
long SocketReceive(std::intptr_t socket, char *buffer, std::size_t size);
void SocketClose(std::intptr_t socket);

}  // namespace ferrit
