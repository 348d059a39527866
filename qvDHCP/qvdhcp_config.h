// DHCP settings and the address pool.
#pragma once

// 1 when pcText is a dotted IPv4 address whose four numbers are each 0..255, else 0 (also for
// a missing text).
int QVDHCP_CFG_IsValidIPStr(const char *pcText);
