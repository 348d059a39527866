// The Linux layer under the server core: what the operating system provides at start-up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Single-instance lock: binds the abstract Unix socket "@<name>" and keeps it open for the life
// of the process. The kernel frees it on any exit, and the name is private to the network
// namespace. False when another process holds it (or the socket cannot be made).
bool PLAT_AcquireInstanceLock(const char *pcName);

// True when the process may serve DHCP/TFTP and bind sockets to a device: effective UID 0, or
// CAP_NET_BIND_SERVICE together with CAP_NET_RAW or CAP_NET_ADMIN.
bool PLAT_HasServicePrivilege();
// The decision itself, from an effective UID and an effective capability mask.
bool PLAT_PrivilegeSufficient(unsigned uiEuid, uint64_t ulCapEffective);

// True when the host's packet filter (nftables, or iptables through iptables-save) has an input
// rule or policy that could drop DHCP, TFTP or HTTP traffic. Tools that are missing or fail count
// as "nothing found": this is a notice, never a failure.
bool PLAT_FirewallMayDrop();
// The decision for one ruleset text, as printed by "nft list ruleset" or "iptables-save".
bool PLAT_RulesetMayDrop(const std::string &strRuleset);

// Start language: the first of LC_ALL, LC_MESSAGES, LANG that is set and not empty decides;
// Chinese when it starts with "zh_CN".
bool PLAT_StartLanguageIsChinese();
bool PLAT_LocaleIsChinese(const char *pcLcAll, const char *pcLcMessages, const char *pcLang);

// One IPv4 address of a network interface, in dotted text.
struct PLAT_LocalAddress {
    std::string strAddress;
    std::string strMask;
    std::string strName;
};

// Every IPv4 address of every interface in the order the kernel reports them; "0.0.0.0" left out.
std::vector<PLAT_LocalAddress> PLAT_LocalAddresses();

// Changes into pcDir when given (nullptr: stay), then returns the working directory as the data
// directory. Empty text when the change fails or the directory cannot be read.
std::string PLAT_EnterDataDirectory(const char *pcDir);

// The MAC the kernel's neighbour (ARP) table holds for an IPv4 address (host order), complete
// entries only. PLAT_FindNeighbour reads a table in the text of /proc/net/arp.
bool PLAT_NeighbourMac(uint32_t uiAddress, uint8_t aucMac[6]);
bool PLAT_FindNeighbour(const std::string &strTable, uint32_t uiAddress, uint8_t aucMac[6]);
// The heap of a server with a thread per transfer: few malloc arenas (glibc makes up to eight
// per core, each keeping what its threads freed), set before the first service thread starts.
void PLAT_LimitHeapArenas();
// Hands the heap's free pages back to the system (after a storm of clients).
void PLAT_ReleaseFreeHeap();
