// The DHCP service: initialisation, start and stop of the one receive thread, the kill signal
// and the filters in front of the message engine.
#pragma once

#include "qvdhcp_config.h"

#include <glib.h>
#include <net/if.h>

#include <cstddef>
#include <cstdint>

constexpr const char *QVDHCP_VERSION = "1.00.00";

// Allocates the receive and send buffers and sets the default settings. 0 or QV_ERR_FAILED.
int QVDHCP_Init();
void QVDHCP_Deinit();

// Binds port 67 (and in proxyDHCP mode port 4011) on the interface that holds the server address
// and starts the thread "QVDHCP". A proxy needs no pool.
// 0, QV_ERR_PORT_IN_USE (another program serves port 67 there; no thread is started) or
// QV_ERR_FAILED.
int QVDHCP_Start(GThread **ppThread);
// Ends the thread with the kill signal and forgets the client tables and the pool map.
// 0, or QV_ERR_FAILED for a missing thread.
int QVDHCP_Stop(GThread *pstThread);

// The name of the interface that holds the IPv4 address uiIp, or false.
bool QVDHCP_FindInterface(uint32_t uiIp, char szName[IF_NAMESIZE]);

enum class QVDHCP_Verdict { Continue, Stop };

// One received datagram: the kill signal check, the summary, the three filters and the message
// engine. Stop when it was this service's own kill signal. usLocalPort is the port it came in on
// (67 or 4011), usPeerPort the one it came from (where a 4011 answer goes).
QVDHCP_Verdict QVDHCP_HandleDatagram(const uint8_t *pucData, size_t uiLen, int iSocket,
                                     uint16_t usLocalPort = 67, uint16_t usPeerPort = 68);
