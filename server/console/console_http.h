// The console's HTTP server: evhttp on its own thread, the access token on every request, static
// page assets, the JSON API and the Server-Sent Event stream.
#pragma once

#include <cstdint>
#include <string>

// strMetrics: "ADDR:PORT" of a second listener serving GET /metrics without the token, or empty.
bool HTTPC_Start(const std::string &strAddress, uint16_t usPort, const std::string &strToken,
                 const std::string &strMetrics, std::string *pstrError);
void HTTPC_Stop();
