// The Host header check of the console: a page from another site that a rebinding DNS name
// points at the console still sends its own name, which is not one of the console's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The names a browser reaches the console by when it listens on strBind (an IPv4 address):
// that address; for 0.0.0.0 every local address; for a loopback address the localhost forms;
// and this machine's host name.
std::vector<std::string> CONSOLE_HostNames(const std::string &strBind);

// True when the Host header names one of vecNames (any case) with the console's port, or
// without a port when that port is 80.
bool CONSOLE_HostAllowed(const std::string &strHost, const std::vector<std::string> &vecNames,
                         uint16_t usPort);
