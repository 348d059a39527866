// The agent's HTTP client: one GET per connection; the server closes after its reply.
#pragma once
#include <cstdint>
#include <string>

namespace ferrit {

// The exact request text sent for `path`.
std::string HttpRequestText(const std::string &path);
// The body of a whole reply (after the first blank line), cut after "</unattend>".
std::string HttpReplyBody(const std::string &reply);
// -1 when the connection cannot be made, else 0. Without a save path one block of the reply is
// read and dropped; with one the body is written to that file.
int HttpGet(std::uint32_t ip, std::uint16_t port, const std::string &path,
            const char *savePath = nullptr);

}  // namespace ferrit
