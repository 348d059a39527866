#include "console_state.h"

#include <glib.h>

#include <deque>
#include <utility>

#include "client_phase.h"
#include "client_table.h"
#include "commands.h"
#include "console_bridge.h"
#include "console_dialogs.h"
#include "console_metrics.h"
#include "console_prompts.h"
#include "controller.h"
#include "msg_table.h"
#include "prompt.h"
#include "settings.h"
#include "transfer_stats.h"
#include "version.h"

namespace {

constexpr guint PUBLISH_MS = 250;
guint g_uiPublisher = 0;
std::string g_strLastState;
// The rows as last sent, one compact JSON text each.
std::vector<std::string> g_vecLastRows;
bool g_bRowsSent = false;

// Throughput: one sample a second, the last three minutes kept for the sparkline.
constexpr size_t SPARK_SAMPLES = 180;
struct Throughput {
    int64_t llLastUs = 0;
    uint64_t ullTftp = 0;
    uint64_t ullHttp = 0;
    std::deque<std::pair<uint64_t, uint64_t>> dqSamples;  // TFTP, HTTP bytes per second
};
Throughput g_stRate;
std::string g_strLastOverview;

void SampleThroughput()
{
    int64_t llNow = g_get_monotonic_time();
    uint64_t ullTftp = STATS_Tftp().ullBytes;
    uint64_t ullHttp = STATS_Http().ullBytes;
    if (g_stRate.llLastUs == 0) {
        g_stRate = Throughput{llNow, ullTftp, ullHttp, {}};
        return;
    }
    int64_t llSpan = llNow - g_stRate.llLastUs;
    if (llSpan < G_USEC_PER_SEC) {
        return;
    }
    auto PerSecond = [llSpan](uint64_t ullBytes) {
        return uint64_t(double(ullBytes) * G_USEC_PER_SEC / double(llSpan));
    };
    g_stRate.dqSamples.emplace_back(PerSecond(ullTftp - g_stRate.ullTftp),
                                    PerSecond(ullHttp - g_stRate.ullHttp));
    if (g_stRate.dqSamples.size() > SPARK_SAMPLES) {
        g_stRate.dqSamples.pop_front();
    }
    g_stRate.llLastUs = llNow;
    g_stRate.ullTftp = ullTftp;
    g_stRate.ullHttp = ullHttp;
}

std::string Compact(const Json::Value &stValue)
{
    return ConsoleJson(stValue).strBody;
}

gboolean OnPublish(gpointer)
{
    CONSOLE_PublishState();
    return G_SOURCE_CONTINUE;
}

}  // namespace

Json::Value CONSOLE_StateJson()
{
    const ControllerState &stCtl = Controller();
    const ServerSettings &stSet = Settings();
    Json::Value stState;
    stState["title"] = WindowTitle();
    stState["banner"] = BannerText();
    stState["running"] = stCtl.bRunning;
    stState["osType"] = stCtl.strOsType;
    stState["installLabel"] = stCtl.strInstallLabel;
    stState["language"] = MSG_IsChinese() ? "zh" : "en";
    Json::Value &stFields = stState["fields"];
    stFields["ip"] = stSet.strIPAddr;
    stFields["count"] = stSet.uiIPNum;
    stFields["source"] = stSet.strImgPath;
    stFields["history"] = Json::Value(Json::arrayValue);
    for (const std::string &strPath : stSet.vecHistoryPath) {
        stFields["history"].append(strPath);
    }
    MenuState stMenu = CMD_MenuState();
    Json::Value &stMenuJson = stState["menu"];
    stMenuJson["dhcpOnlyPxe"] = stMenu.bDhcpOnlyPxe;
    stMenuJson["zelVmFilter"] = stMenu.bZelVmFilter;
    stMenuJson["autoStart"] = stMenu.bAutoStart;
    stMenuJson["isoFile"] = stMenu.bIsoFile;
    stMenuJson["chinese"] = stMenu.bChinese;
    stMenuJson["autoInstall"] = stMenu.bAutoInstall;
    stMenuJson["idleOnly"] = stMenu.bIdleOnlyItemsEnabled;
    stState["prompt"] = CONSOLE_PromptJson();
    stState["progress"] = CONSOLE_ProgressJson();
    stState["extract"] = DLG_ExtractState();
    return stState;
}

Json::Value CONSOLE_RowJson(int iRow, const ClientRow &stRow)
{
    Json::Value stJson;
    stJson["n"] = iRow;
    stJson["ip"] = stRow.strAddress;
    stJson["mac"] = stRow.strMac;
    stJson["status"] = stRow.strStatus;
    stJson["progress"] = stRow.dProgress;
    stJson["finished"] = StatusIsFinished(stRow.strStatus);
    stJson["phase"] = CLIENTS_PhaseName(CLIENTS_Phase(stRow.strStatus));
    return stJson;
}

Json::Value CONSOLE_RowsJson()
{
    Json::Value stRows(Json::arrayValue);
    int iRow = 0;
    for (const ClientRow &stRow : ClientRows()) {
        stRows.append(CONSOLE_RowJson(++iRow, stRow));
    }
    return stRows;
}

Json::Value CONSOLE_OverviewJson(const std::vector<ClientRow> &vecRows)
{
    Json::Value stOverview;
    Json::Value &stPhases = stOverview["phases"];
    for (int i = 0; i < CLIENT_PHASE_COUNT; ++i) {
        stPhases[CLIENTS_PhaseName(ClientPhase(i))] = 0;
    }
    for (const ClientRow &stRow : vecRows) {
        Json::Value &stCount = stPhases[CLIENTS_PhaseName(CLIENTS_Phase(stRow.strStatus))];
        stCount = stCount.asUInt() + 1;
    }
    Json::Value &stSpark = stOverview["spark"];
    stSpark = Json::Value(Json::arrayValue);
    for (const auto &[ullTftp, ullHttp] : g_stRate.dqSamples) {
        Json::Value stSample(Json::arrayValue);
        stSample.append(Json::UInt64(ullTftp));
        stSample.append(Json::UInt64(ullHttp));
        stSpark.append(stSample);
    }
    bool bAny = !g_stRate.dqSamples.empty();
    stOverview["tftpBps"] = Json::UInt64(bAny ? g_stRate.dqSamples.back().first : 0);
    stOverview["httpBps"] = Json::UInt64(bAny ? g_stRate.dqSamples.back().second : 0);
    return stOverview;
}

namespace {

void PublishOverview(const std::vector<ClientRow> &vecRows)
{
    SampleThroughput();
    std::string strOverview = Compact(CONSOLE_OverviewJson(vecRows));
    if (strOverview != g_strLastOverview) {
        g_strLastOverview = strOverview;
        CONSOLE_Broadcast("overview", strOverview);
    }
}

}  // namespace

void CONSOLE_PublishState()
{
    std::string strState = Compact(CONSOLE_StateJson());
    if (strState != g_strLastState) {
        g_strLastState = strState;
        CONSOLE_Broadcast("state", strState);
    }
    // Each tab gets the whole table once, then only the rows that changed: with hundreds of
    // clients a tab must not receive (and redraw) the table for every status line.
    std::vector<std::pair<std::string, std::string>> vecEvents;
    std::vector<ClientRow> vecRows = ClientRows();
    std::vector<std::string> vecNow;
    Json::Value stAll(Json::arrayValue);
    for (size_t i = 0; i < vecRows.size(); ++i) {
        Json::Value stRow = CONSOLE_RowJson(int(i + 1), vecRows[i]);
        vecNow.push_back(Compact(stRow));
        if (i >= g_vecLastRows.size() || g_vecLastRows[i] != vecNow.back()) {
            vecEvents.emplace_back("row", vecNow.back());
        }
        stAll.append(std::move(stRow));
    }
    if (vecRows.size() != g_vecLastRows.size() || !g_bRowsSent) {
        Json::Value stCount;
        stCount["count"] = Json::UInt64(vecRows.size());
        vecEvents.emplace_back("rowcount", Compact(stCount));
    }
    PublishOverview(vecRows);
    CONSOLE_SetDocument("metrics", CONSOLE_MetricsText(vecRows));
    if (vecEvents.empty()) {
        return;
    }
    g_vecLastRows = std::move(vecNow);
    g_bRowsSent = true;
    CONSOLE_BroadcastChanges("rows", Compact(stAll), vecEvents);
}

void CONSOLE_StartPublisher()
{
    g_strLastState.clear();
    g_vecLastRows.clear();
    g_bRowsSent = false;
    g_strLastOverview.clear();
    CONSOLE_PublishState();
    g_uiPublisher = g_timeout_add(PUBLISH_MS, OnPublish, nullptr);
}

void CONSOLE_StopPublisher()
{
    if (g_uiPublisher != 0) {
        g_source_remove(g_uiPublisher);
        g_uiPublisher = 0;
    }
}
