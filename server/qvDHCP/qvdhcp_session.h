// The client tables of the service: the active one (offered or bound clients), the released one
// (the last entry of each client that sent RELEASE) and, in proxyDHCP mode, the proxy one (clients
// given a boot offer, with the address they were seen to take; no pool address behind it). Ordered
// by MAC bytes, one mutex each; every operation holds its table's mutex for its whole run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstddef>
#include <functional>

struct QVDHCP_ClientEntry {
    uint32_t uiAddress = 0;
    uint32_t uiMask = 0;
    uint32_t uiRouter = 0;
    int64_t llTime = 0;  // seconds since 1970: last offer, acknowledge or renewal
    uint32_t uiLease = 0;
    uint32_t uiState = 0;
};

constexpr uint32_t QVDHCP_STATE_BOUND = 0;
constexpr uint32_t QVDHCP_STATE_OFFERED = 1;

enum class QVDHCP_Table { Active, Released, Proxy };

// The tables exist only while the service runs.
void QVDHCP_SESSION_Create();
void QVDHCP_SESSION_Destroy();

int64_t QVDHCP_SESSION_Now();

bool QVDHCP_SESSION_Find(QVDHCP_Table eTable, const uint8_t aucMac[6], QVDHCP_ClientEntry *pstOut);
// Replaces the entry of a MAC that is already there. The released table keeps at most
// QVDHCP_SESSION_ReleasedLimit() entries (the pool's size): a new MAC beyond it evicts the oldest.
void QVDHCP_SESSION_Insert(QVDHCP_Table eTable, const uint8_t aucMac[6],
                           const QVDHCP_ClientEntry &stEntry);
size_t QVDHCP_SESSION_ReleasedLimit();
size_t QVDHCP_SESSION_Count(QVDHCP_Table eTable);
// Removing from the active table returns the address to the pool. False when absent.
bool QVDHCP_SESSION_Remove(QVDHCP_Table eTable, const uint8_t aucMac[6],
                           QVDHCP_ClientEntry *pstOut);
// Changes an entry in place under the lock and hands back its new value. False when absent.
bool QVDHCP_SESSION_Update(QVDHCP_Table eTable, const uint8_t aucMac[6],
                           const std::function<void(QVDHCP_ClientEntry &)> &fnChange,
                           QVDHCP_ClientEntry *pstOut);

// Removes the entries last touched before llBefore; returns how many.
unsigned QVDHCP_SESSION_Prune(QVDHCP_Table eTable, int64_t llBefore);

// True when the entry has aged at llNow: an offer unanswered for over 10 s, a bound entry whose
// lease passed. A clock that went back keeps the entry. Logs the aged client.
bool QVDHCP_SESSION_CheckAging(const uint8_t aucMac[6], const QVDHCP_ClientEntry &stEntry,
                               int64_t llNow);
// Removes every aged client of the active table, freeing its address; the lease database keeps
// the pairing. Returns how many were removed.
unsigned QVDHCP_SESSION_AgeActive(int64_t llNow);
