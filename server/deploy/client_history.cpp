#include "client_history.h"

#include <glib.h>

#include <cctype>
#include <list>
#include <map>

namespace {

// Clients remembered at most; the one heard of longest ago goes first (bounded state on a
// network where anyone can invent MACs).
constexpr size_t MAX_CLIENTS = 4096;

struct Entry {
    ClientHistory stHistory;
    uint64_t ullFirstMs = 0;
    std::string strLastKind;
    std::list<std::string>::iterator itAge;
};

std::map<std::string, Entry> g_mapClients;
std::list<std::string> g_lstAge;  // oldest first

std::string Key(const ClientRow &stRow)
{
    return stRow.strMac != "N/A" && !stRow.strMac.empty() ? stRow.strMac : stRow.strAddress;
}

// The status without its figures: "Downloading file(TFTP: 12.50%):x" and "...(TFTP: 13.00%):x"
// are one step.
std::string Kind(const std::string &strStatus)
{
    std::string strKind;
    for (char c : strStatus) {
        if (!g_ascii_isdigit(c) && c != '.' && c != '%') {
            strKind += c;
        }
    }
    return strKind;
}

}  // namespace

void HISTORY_Record(const ClientRow &stRow)
{
    std::string strKey = Key(stRow);
    auto it = g_mapClients.find(strKey);
    if (it == g_mapClients.end()) {
        if (g_mapClients.size() >= MAX_CLIENTS) {
            g_mapClients.erase(g_lstAge.front());
            g_lstAge.pop_front();
        }
        it = g_mapClients.emplace(strKey, Entry{}).first;
        it->second.stHistory.llFirstWallUs = g_get_real_time();
        it->second.ullFirstMs = CLIENTS_NowMs();
        it->second.itAge = g_lstAge.insert(g_lstAge.end(), strKey);
    } else {
        g_lstAge.splice(g_lstAge.end(), g_lstAge, it->second.itAge);
    }
    Entry &stEntry = it->second;
    std::string strKind = Kind(stRow.strStatus);
    if (strKind == stEntry.strLastKind) {
        return;
    }
    stEntry.strLastKind = strKind;
    std::vector<ClientHistoryEntry> &vecEntries = stEntry.stHistory.vecEntries;
    if (vecEntries.size() == CLIENT_HISTORY_MAX) {
        vecEntries.erase(vecEntries.begin());
    }
    vecEntries.push_back({CLIENTS_NowMs() - stEntry.ullFirstMs, stRow.strStatus});
}

bool HISTORY_Get(const ClientRow &stRow, ClientHistory *pstHistory)
{
    auto it = g_mapClients.find(Key(stRow));
    if (it == g_mapClients.end()) {
        return false;
    }
    *pstHistory = it->second.stHistory;
    return true;
}

std::string HISTORY_LocalTime(int64_t llWallUs)
{
    GDateTime *pstTime = g_date_time_new_from_unix_local(llWallUs / G_USEC_PER_SEC);
    if (pstTime == nullptr) {
        return "";
    }
    gchar *pcText = g_date_time_format(pstTime, "%Y/%m/%d %H:%M:%S");
    std::string strText = pcText != nullptr ? pcText : "";
    g_free(pcText);
    g_date_time_unref(pstTime);
    return strText;
}
