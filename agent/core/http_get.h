// The agent's HTTP client: one GET per connection. A saved reply ends at its Content-Length:
// kivpxe keeps HTTP/1.1 connections open, and waiting for the close stalls every download.
#pragma once
#include <cstdint>
#include <string>

namespace ferrit {

// The exact request text sent for `path`.
std::string HttpRequestText(const std::string &path);
// The body of a whole reply (after the first blank line), cut after "</unattend>".
std::string HttpReplyBody(const std::string &reply);
// True once the reply holds its whole head and the body its Content-Length announces; false
// while either is short or the head carries no length (then the close ends the body).
bool ReplyComplete(const std::string &reply);
// -1 when the connection cannot be made, else 0. Without a save path one block of the reply is
// read and dropped; with one the body is written to that file.
int HttpGet(std::uint32_t ip, std::uint16_t port, const std::string &path,
            const char *savePath = nullptr);

}  // namespace ferrit
