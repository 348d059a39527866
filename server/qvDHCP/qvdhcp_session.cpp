#include "qvdhcp_session.h"

#include "qvdhcp_config.h"

#include <glib.h>

#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

namespace {

using Mac = std::array<uint8_t, 6>;

struct ClientTable {
    GMutex stLock;
    std::map<Mac, QVDHCP_ClientEntry> mapClients;
    ClientTable() { g_mutex_init(&stLock); }
    ~ClientTable() { g_mutex_clear(&stLock); }
};

std::unique_ptr<ClientTable> s_pstActive;
std::unique_ptr<ClientTable> s_pstReleased;
std::unique_ptr<ClientTable> s_pstProxy;

// The most entries one pass of the sweep collects; a longer list is taken by further passes.
constexpr size_t kAgingBatch = 256;

ClientTable &TableOf(QVDHCP_Table eTable)
{
    ClientTable *pstTable = (eTable == QVDHCP_Table::Active     ? s_pstActive
                             : eTable == QVDHCP_Table::Released ? s_pstReleased
                                                                : s_pstProxy)
                                .get();
    g_assert(0 != pstTable);
    return *pstTable;
}

class Locked {
public:
    explicit Locked(ClientTable &stTable) : m_stTable(stTable) { g_mutex_lock(&stTable.stLock); }
    ~Locked() { g_mutex_unlock(&m_stTable.stLock); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

private:
    ClientTable &m_stTable;
};

Mac ToMac(const uint8_t aucMac[6])
{
    Mac aucKey;
    std::memcpy(aucKey.data(), aucMac, aucKey.size());
    return aucKey;
}

// The caller holds the table's lock.
bool RemoveLocked(QVDHCP_Table eTable, ClientTable &stTable, const Mac &aucKey,
                  QVDHCP_ClientEntry *pstOut)
{
    auto it = stTable.mapClients.find(aucKey);
    if (it == stTable.mapClients.end()) {
        return false;
    }
    if (pstOut != nullptr) {
        *pstOut = it->second;
    }
    if (eTable == QVDHCP_Table::Active) {
        QVDHCP_CFG_FreeIP(it->second.uiAddress);
    }
    stTable.mapClients.erase(it);
    return true;
}

}  // namespace

void QVDHCP_SESSION_Create()
{
    s_pstActive = std::make_unique<ClientTable>();
    s_pstReleased = std::make_unique<ClientTable>();
    s_pstProxy = std::make_unique<ClientTable>();
}

void QVDHCP_SESSION_Destroy()
{
    s_pstActive.reset();
    s_pstReleased.reset();
    s_pstProxy.reset();
}

int64_t QVDHCP_SESSION_Now()
{
    return g_get_real_time() / G_USEC_PER_SEC;
}

bool QVDHCP_SESSION_Find(QVDHCP_Table eTable, const uint8_t aucMac[6], QVDHCP_ClientEntry *pstOut)
{
    return QVDHCP_SESSION_Update(
        eTable, aucMac, [](QVDHCP_ClientEntry &) {}, pstOut);
}

void QVDHCP_SESSION_Insert(QVDHCP_Table eTable, const uint8_t aucMac[6],
                           const QVDHCP_ClientEntry &stEntry)
{
    ClientTable &stTable = TableOf(eTable);
    Locked lock(stTable);
    Mac aucKey = ToMac(aucMac);
    // The released table only remembers addresses to hand back: it never holds more entries
    // than the pool has addresses, whatever number of MACs sent RELEASE. The oldest goes.
    if (eTable == QVDHCP_Table::Released && stTable.mapClients.count(aucKey) == 0 &&
        stTable.mapClients.size() >= QVDHCP_SESSION_ReleasedLimit()) {
        auto itOldest = stTable.mapClients.begin();
        for (auto it = stTable.mapClients.begin(); it != stTable.mapClients.end(); ++it) {
            if (it->second.llTime < itOldest->second.llTime) {
                itOldest = it;
            }
        }
        if (itOldest != stTable.mapClients.end()) {
            stTable.mapClients.erase(itOldest);
        }
    }
    stTable.mapClients[aucKey] = stEntry;
}

size_t QVDHCP_SESSION_ReleasedLimit()
{
    uint32_t uiStart = g_stDHCPCfg.uiStartIP, uiEnd = g_stDHCPCfg.uiEndIP;
    return uiEnd >= uiStart ? size_t(uiEnd - uiStart) + 1 : 1;
}

size_t QVDHCP_SESSION_Count(QVDHCP_Table eTable)
{
    ClientTable &stTable = TableOf(eTable);
    Locked lock(stTable);
    return stTable.mapClients.size();
}

bool QVDHCP_SESSION_Remove(QVDHCP_Table eTable, const uint8_t aucMac[6], QVDHCP_ClientEntry *pstOut)
{
    ClientTable &stTable = TableOf(eTable);
    Locked lock(stTable);
    return RemoveLocked(eTable, stTable, ToMac(aucMac), pstOut);
}

bool QVDHCP_SESSION_Update(QVDHCP_Table eTable, const uint8_t aucMac[6],
                           const std::function<void(QVDHCP_ClientEntry &)> &fnChange,
                           QVDHCP_ClientEntry *pstOut)
{
    ClientTable &stTable = TableOf(eTable);
    Locked lock(stTable);
    auto it = stTable.mapClients.find(ToMac(aucMac));
    if (it == stTable.mapClients.end()) {
        return false;
    }
    fnChange(it->second);
    if (pstOut != nullptr) {
        *pstOut = it->second;
    }
    return true;
}

unsigned QVDHCP_SESSION_Prune(QVDHCP_Table eTable, int64_t llBefore)
{
    ClientTable &stTable = TableOf(eTable);
    Locked lock(stTable);
    std::vector<Mac> vecOld;
    for (const auto &[aucMac, stEntry] : stTable.mapClients) {
        if (stEntry.llTime < llBefore) {
            vecOld.push_back(aucMac);
        }
    }
    for (const Mac &aucMac : vecOld) {
        RemoveLocked(eTable, stTable, aucMac, nullptr);
    }
    return unsigned(vecOld.size());
}

bool QVDHCP_SESSION_CheckAging(const uint8_t aucMac[6], const QVDHCP_ClientEntry &stEntry,
                               int64_t llNow)
{
    int64_t llElapsed = llNow - stEntry.llTime;
    if (llElapsed < 0) {
        return false;
    }
    bool bAged = stEntry.uiState == QVDHCP_STATE_OFFERED ? llElapsed > 10
                                                         : llElapsed > int64_t(stEntry.uiLease);
    if (bAged) {
        QVDHCP_Log(QVDHCP_DBG, "Client " QVDHCP_MAC_SHORT_FMT " with ip " QVDHCP_IP_FMT " aging",
                   QVDHCP_MAC_ARGS(aucMac), QVDHCP_IP_ARGS(stEntry.uiAddress));
    }
    return bAged;
}

unsigned QVDHCP_SESSION_AgeActive(int64_t llNow)
{
    ClientTable &stTable = TableOf(QVDHCP_Table::Active);
    Locked lock(stTable);
    unsigned uiRemoved = 0;
    std::vector<Mac> vecAged;
    do {
        vecAged.clear();
        for (const auto &[aucMac, stEntry] : stTable.mapClients) {
            if (QVDHCP_SESSION_CheckAging(aucMac.data(), stEntry, llNow)) {
                vecAged.push_back(aucMac);
                if (vecAged.size() == kAgingBatch) {
                    break;
                }
            }
        }
        for (const Mac &aucMac : vecAged) {
            uiRemoved += RemoveLocked(QVDHCP_Table::Active, stTable, aucMac, nullptr) ? 1 : 0;
        }
    } while (vecAged.size() == kAgingBatch);
    return uiRemoved;
}
