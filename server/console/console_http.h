// The console's HTTP server: evhttp on its own thread, the access token on every request, static
// page assets, the JSON API and the Server-Sent Event stream.
#pragma once

#include <cstdint>
#include <string>

bool HTTPC_Start(const std::string &strAddress, uint16_t usPort, const std::string &strToken,
                 std::string *pstrError);
void HTTPC_Stop();
