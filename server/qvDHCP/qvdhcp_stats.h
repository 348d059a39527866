// Counters of the DHCP service for the metrics: messages received and sent by type, and the
// requests it refused, by reason. Counted on the DHCP thread, read from any thread.
#pragma once

#include <cstdint>

// Why a request got no answer. The admission function's own reasons (finished, MAC filter) are
// counted by the deployment, which decides them.
enum class QVDHCP_Refusal {
    Malformed,      // not a DHCP message this service can read
    NotPxe,         // "DHCP Only PXE" and no PXE client
    VmFilter,       // the virtual-machine iPXE filter
    Admission,      // refused by the deployment's admission function
    PoolExhausted,  // no free address in the pool
    Relay,          // a relayed message this service does not serve
    Count
};

struct QVDHCP_Counters {
    uint64_t aullIn[9] = {};   // received, by a client's message type (1, 3, 4, 7, 8); 0: other
    uint64_t aullOut[9] = {};  // sent, by a server's message type (2, 5, 6)
    uint64_t aullRefused[int(QVDHCP_Refusal::Count)] = {};
};

void QVDHCP_STATS_In(uint8_t ucType);
void QVDHCP_STATS_Out(uint8_t ucType);
void QVDHCP_STATS_Refused(QVDHCP_Refusal eReason);
QVDHCP_Counters QVDHCP_STATS_Get();
// The metrics' names: "discover", "offer"... ("other" for 0 and unknown types); "malformed",
// "not_pxe"...
const char *QVDHCP_STATS_TypeName(int iType);
const char *QVDHCP_STATS_RefusalName(QVDHCP_Refusal eReason);
