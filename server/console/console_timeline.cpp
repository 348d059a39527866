#include "console_timeline.h"

#include <vector>

#include "client_history.h"
#include "client_table.h"

void DLG_AddClientHistory(int iRow, Json::Value &stDlg)
{
    std::vector<ClientRow> vecRows = ClientRows();
    ClientHistory stHistory;
    stDlg["history"] = Json::Value(Json::arrayValue);
    if (iRow < 1 || size_t(iRow) > vecRows.size() ||
        !HISTORY_Get(vecRows[size_t(iRow - 1)], &stHistory)) {
        return;
    }
    for (const ClientHistoryEntry &stEntry : stHistory.vecEntries) {
        Json::Value stJson;
        stJson["ms"] = Json::UInt64(stEntry.ullSinceFirstMs);
        stJson["status"] = stEntry.strStatus;
        stDlg["history"].append(stJson);
    }
    if (stDlg["startTime"].asString().empty()) {
        stDlg["startTime"] = HISTORY_LocalTime(stHistory.llFirstWallUs);
    }
}
