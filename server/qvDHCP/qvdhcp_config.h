// DHCP settings, the module's log function, the address pool and the lease database.
#pragma once

#include "qv_errors.h"
#include "qv_log_sink.h"

#include <atomic>
#include <cstdint>

// Log levels of the module: each goes to its own sink (DHCP_LOG, DHCP_DIG, DHCP_DBG).
constexpr unsigned QVDHCP_LOG = 2;
constexpr unsigned QVDHCP_DIG = 1;
constexpr unsigned QVDHCP_DBG = 0;

// Printing helpers: addresses most significant byte first, MACs in the two text forms.
#define QVDHCP_IP_FMT "%u.%u.%u.%u"
#define QVDHCP_IP_ARGS(ip)                                                                         \
    (unsigned)(((ip) >> 24) & 0xFF), (unsigned)(((ip) >> 16) & 0xFF),                              \
        (unsigned)(((ip) >> 8) & 0xFF), (unsigned)((ip)&0xFF)
#define QVDHCP_MAC_FMT       "%02x-%02x-%02x-%02x-%02x-%02x"
#define QVDHCP_MAC_SHORT_FMT "%02x%02x-%02x%02x-%02x%02x"
#define QVDHCP_MAC_ARGS(m)   (m)[0], (m)[1], (m)[2], (m)[3], (m)[4], (m)[5]

struct QVDHCP_ClientEvent {
    uint32_t uiIsPXE = 0;
    uint32_t uiIsEFI = 0;
    uint16_t usArch = 0;
    uint32_t uiIsKivIPXE = 0;
    uint8_t aucMac[6] = {};
    uint32_t uiAddress = 0;
    uint32_t uiMask = 0;
    uint32_t uiRouter = 0;
};

constexpr uint32_t QVDHCP_EVENT_OFFER = 1;
constexpr uint32_t QVDHCP_EVENT_ACK = 2;
constexpr uint32_t QVDHCP_EVENT_RELEASE = 3;

// Runs on the service thread; the record belongs to the caller and must be copied.
using QVDHCP_EventFunc = void (*)(uint32_t uiEventCode, const QVDHCP_ClientEvent *pstEvent);
// Runs on the service thread; 1 serves the client, anything else refuses it.
using QVDHCP_AdmitFunc = int (*)(uint32_t uiIsPXE, uint32_t uiIsEFI, const uint8_t aucMac[6]);
// Runs on the service thread before ACKs go out, once for the ACKs of a burst: returns once the
// events raised so far are acted on (lease saved, client files written), so that a client never
// holds an address that a crash could hand out again, nor asks for a file not yet there.
using QVDHCP_CommitFunc = void (*)();

constexpr unsigned QVDHCP_BOOTFILE_SIZE = 512;
constexpr unsigned QVDHCP_BCD_PATH_SIZE = 128;
constexpr unsigned QVDHCP_DNS_MAX = 3;
// A domain name is at most 253 characters; with it every OFFER still fits in one reply.
constexpr unsigned QVDHCP_DOMAIN_SIZE = 254;

// The service settings. Written by the controller while the service is stopped, except the two
// switches, which the operator may flip while it runs (read once per datagram).
struct QVDHCP_Settings {
    uint32_t uiServerIP = 0;
    uint32_t uiMask = 0;
    uint32_t uiRouter = 0;
    uint32_t uiStartIP = 0;
    uint32_t uiEndIP = 0;
    uint32_t uiNextServer = 0;
    uint32_t uiLeaseTime = 3600;
    std::atomic<uint32_t> uiOnlyPXE{1};
    std::atomic<uint32_t> uiVMFilter{0};
    // 1 while the iPXE tree is the loader in use: stock iPXE (user class "iPXE") then gets its
    // per-client script; otherwise it gets the tree's boot file like any PXE ROM.
    uint32_t uiIpxeLoader = 0;
    // 1: proxyDHCP beside the site's DHCP server: boot offers without addresses, port 4011 too,
    // no pool and no lease database.
    uint32_t uiProxy = 0;
    // 1: requests relayed to us (giaddr set) are served from the pool when its subnet holds
    // giaddr; replies go to the relay.
    uint32_t uiRelay = 0;
    // The HTTP service's port: UEFI HTTP boot clients get their loader as an http:// URL there
    // (under "kiv_loader/", the HTTP root of the loader tree).
    uint16_t usHttpPort = 0;
    char szBiosBootFile[QVDHCP_BOOTFILE_SIZE] = {};
    char szEfiBootFile[QVDHCP_BOOTFILE_SIZE] = {};
    // The boot configuration store the Windows boot manager of a BIOS or UEFI client reads
    // (option 252, which it prefers to its built-in "\Boot\BCD"); no option when empty.
    char szBiosBcdPath[QVDHCP_BCD_PATH_SIZE] = {};
    char szEfiBcdPath[QVDHCP_BCD_PATH_SIZE] = {};
    // Name servers (option 6) and domain (option 15) for OFFERs and ACKs; none when empty.
    uint32_t auiDns[QVDHCP_DNS_MAX] = {};
    uint32_t uiDnsCount = 0;
    char szDomain[QVDHCP_DOMAIN_SIZE] = {};
    QVDHCP_AdmitFunc pfnAdmit = nullptr;
    QVDHCP_EventFunc pfnEvent = nullptr;
    QVDHCP_CommitFunc pfnCommit = nullptr;
};

extern QVDHCP_Settings g_stDHCPCfg;

// Back to the defaults of a fresh start; the event and commit callbacks and the log sinks stay.
void QVDHCP_CFG_Reset();

void QVDHCP_CFG_SetServerIP(uint32_t uiIp);
void QVDHCP_CFG_SetMask(uint32_t uiMask);
void QVDHCP_CFG_SetRouter(uint32_t uiRouter);
void QVDHCP_CFG_SetIPRange(uint32_t uiStart, uint32_t uiEnd);
void QVDHCP_CFG_SetNextServer(uint32_t uiIp);
void QVDHCP_CFG_SetLeaseTime(uint32_t uiSeconds);
void QVDHCP_CFG_SetOnlyPXE(uint32_t uiOn);
void QVDHCP_CFG_SetVMFilter(uint32_t uiOn);
void QVDHCP_CFG_SetIpxeLoader(uint32_t uiOn);
void QVDHCP_CFG_SetProxy(uint32_t uiOn);
void QVDHCP_CFG_SetRelay(uint32_t uiOn);
void QVDHCP_CFG_SetHttpPort(uint16_t usPort);
void QVDHCP_CFG_SetBiosBootFile(const char *pcName);
void QVDHCP_CFG_SetEfiBootFile(const char *pcName);
// The store paths of option 252 for BIOS and UEFI clients; nullptr or "" sends no option.
void QVDHCP_CFG_SetBcdPaths(const char *pcBios, const char *pcEfi);
// Up to QVDHCP_DNS_MAX addresses are kept, the rest dropped; 0 addresses: no option 6.
void QVDHCP_CFG_SetDns(const uint32_t *puiDns, uint32_t uiCount);
// Cut to QVDHCP_DOMAIN_SIZE - 1 characters; empty: no option 15.
void QVDHCP_CFG_SetDomain(const char *pcDomain);
void QVDHCP_CFG_SetAdmitFunc(QVDHCP_AdmitFunc pfnAdmit);
void QVDHCP_CFG_SetEventFunc(QVDHCP_EventFunc pfnEvent);
void QVDHCP_CFG_SetCommitFunc(QVDHCP_CommitFunc pfnCommit);
void QVDHCP_SetLogFunc(const QV_LogSinks &stSinks);

void QVDHCP_Log(unsigned uiLevel, const char *pcFormat, ...) __attribute__((format(printf, 2, 3)));

// ---- Address pool: one byte per address of [start, end] while the service runs.
constexpr uint8_t QVDHCP_IP_FREE = 0;
constexpr uint8_t QVDHCP_IP_USED = 1;
constexpr uint8_t QVDHCP_IP_BAD = 2;

extern uint8_t *g_pucDHCPIpMap;

struct QVDHCP_AllocResult {
    uint32_t uiAddress = 0;
    uint32_t uiMask = 0;
    uint32_t uiRouter = 0;
};

// Creates the zero-filled map for the configured range; QV_ERR_FAILED for an empty range.
int QVDHCP_CFG_CreateIpMap();
void QVDHCP_CFG_FreeIpMap();

int QVDHCP_CFG_AllocIP(const uint8_t aucMac[6], QVDHCP_AllocResult *pstOut);
int QVDHCP_CFG_AllocFixedIP(const uint8_t aucMac[6], uint32_t uiAddress,
                            QVDHCP_AllocResult *pstOut);
void QVDHCP_CFG_FreeIP(uint32_t uiAddress);
void QVDHCP_CFG_SetIPBad(uint32_t uiAddress);
int QVDHCP_CFG_IsIPFree(const uint8_t aucMac[6], uint32_t uiAddress);

// 1 when pcText is a dotted IPv4 address whose four numbers are each 0..255, else 0 (also for
