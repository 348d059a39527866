// Router advertisements that make no one a router. iPXE waits for a router advertisement before it
// fetches its script; on a network without IPv6 routers that is a wait on every boot. This answers
// router solicitations on the server's interface with an advertisement of router lifetime 0, no
// prefix and the M/O flags clear: the clients learn at once that no router, no address
// configuration and no DHCPv6 are coming, and nothing routes through us.
#pragma once

#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <string>

constexpr uint8_t QVDHCP_RA_SOLICIT = 133;
constexpr uint8_t QVDHCP_RA_ADVERT = 134;
// Neighbour discovery comes only from the link itself: a packet routed to us has a lower limit.
constexpr int QVDHCP_RA_HOP_LIMIT = 255;
constexpr size_t QVDHCP_RA_SIZE = 16;

// The answer to one solicitation.
enum class QVDHCP_RaAnswer { None, Unicast, Multicast };

// Checks a received solicitation (the ICMPv6 message, its hop limit and source address) as a
// router must: type 133, code 0, hop limit 255, at least 8 bytes, every option with a non-zero
// length inside the message, and no link-layer address option from the unspecified address.
// A valid one from a link-local address is answered to that address; from any other address
// (unspecified, or one that is not on this link) to all nodes, so a reply never leaves the link.
// None with the reason in *ppcWhy otherwise.
QVDHCP_RaAnswer QVDHCP_RA_Check(const uint8_t *pucMsg, size_t uiLen, int iHopLimit,
                                const uint8_t aucSource[16], const char **ppcWhy);

// Writes the advertisement (checksum left to the kernel) into pucOut[0, QVDHCP_RA_SIZE).
void QVDHCP_RA_Build(uint8_t pucOut[QVDHCP_RA_SIZE]);

// Bounds the replies a flood of solicitations can draw: a bucket of QVDHCP_RA_BURST replies
// refilled at QVDHCP_RA_RATE a second, and multicast replies at most one per
// QVDHCP_RA_MULTICAST_GAP_US.
constexpr double QVDHCP_RA_BURST = 8;
constexpr double QVDHCP_RA_RATE = 4;
constexpr int64_t QVDHCP_RA_MULTICAST_GAP_US = 3 * G_USEC_PER_SEC;

struct QVDHCP_RaLimiter {
    double dTokens = QVDHCP_RA_BURST;
    int64_t llLastUs = 0;
    int64_t llLastMulticastUs = INT64_MIN / 2;

    // True when a reply of this kind may go out at llNowUs (monotonic microseconds).
    bool Take(QVDHCP_RaAnswer eAnswer, int64_t llNowUs);
};

// Starts the thread "QVRA" answering solicitations on the interface that holds the server's IPv4
// address uiServerIp. 0, or QV_ERR_FAILED (logged: no such interface, no raw socket or no IPv6
// there).
int QVDHCP_RA_Start(uint32_t uiServerIp);
// Ends it; nothing when it is not running.
void QVDHCP_RA_Stop();
