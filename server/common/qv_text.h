// Text forms shared by every subsystem: IPv4 addresses as host-order 32-bit values with the
// first dotted octet in the most significant byte, and MAC addresses in wire order.
#pragma once

#include <cstdint>
#include <string>

// "%u.%u.%u.%u" of the four bytes, most significant first.
std::string QV_IpText(uint32_t uiIp);

// Parses "%u.%u.%u.%u" the way sscanf does (leading blanks allowed, trailing text ignored) and
// assembles the four numbers, each cut to its low byte. False when fewer than four numbers parse.
bool QV_IpParse(const char *pcText, uint32_t *puiIp);

// True for exactly four dot-separated decimal numbers of one to three digits, each at most 255
// ("192.168.1.10"); nothing before, between or after them.
bool QV_IpValid(const char *pcText);

// "%02x-%02x-%02x-%02x-%02x-%02x", lower case: the client table, leases, filters, file names.
std::string QV_MacText(const uint8_t aucMac[6]);

// uiLength characters drawn from strAlphabet with the kernel's random generator; empty when the
// generator fails or uiLength exceeds 256.
std::string QV_RandomText(const std::string &strAlphabet, size_t uiLength);

// Text from the network made safe for a status, a log line or a standard-output line: control
// bytes and bytes that are not part of valid UTF-8 become "\xNN"; valid UTF-8 stays.
std::string QV_Printable(const std::string &strText);
