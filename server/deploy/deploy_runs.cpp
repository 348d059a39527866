#include "deploy_runs.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <memory>

#include "client_phase.h"
#include "log.h"

namespace {

constexpr const char *RUNS_FILE = "conf/history.json";

bool g_bLoaded = false;
Json::Value g_stRuns(Json::arrayValue);
Json::Value g_stOpen;  // the running deployment's record, null when none

std::string Now()
{
    GDateTime *pstNow = g_date_time_new_now_local();
    gchar *pcText = g_date_time_format(pstNow, "%Y-%m-%dT%H:%M:%S%z");
    std::string strText = pcText;
    g_free(pcText);
    g_date_time_unref(pstNow);
    return strText;
}

void Load()
{
    if (g_bLoaded) {
        return;
    }
    g_bLoaded = true;
    gchar *pcText = nullptr;
    gsize ulSize = 0;
    if (!g_file_get_contents(RUNS_FILE, &pcText, &ulSize, nullptr)) {
        return;
    }
    Json::CharReaderBuilder stBuilder;
    std::unique_ptr<Json::CharReader> pstReader(stBuilder.newCharReader());
    Json::Value stRead;
    if (pstReader->parse(pcText, pcText + ulSize, &stRead, nullptr) && stRead.isArray()) {
        g_stRuns = stRead;
    } else {
        // Kept aside rather than overwritten by the next stop.
        g_rename(RUNS_FILE, "conf/history.json.damaged");
        LOG_Print(1, "PXEDLG", "%s is not a JSON list: kept as history.json.damaged", RUNS_FILE);
    }
    g_free(pcText);
}

// g_file_set_contents writes a temporary file and renames it over the old one: a crash leaves
// either the old or the new history, never half of one.
bool Save()
{
    Json::StreamWriterBuilder stBuilder;
    stBuilder["indentation"] = " ";
    std::string strText = Json::writeString(stBuilder, g_stRuns);
    g_mkdir_with_parents("conf", 0755);
    GError *pstError = nullptr;
    if (!g_file_set_contents(RUNS_FILE, strText.data(), gssize(strText.size()), &pstError)) {
        LOG_Print(1, "PXEDLG", "Cannot write %s: %s", RUNS_FILE, pstError->message);
        g_error_free(pstError);
        return false;
    }
    return true;
}

std::string CsvField(const std::string &strValue)
{
    if (strValue.find_first_of(",\"\r\n") == std::string::npos) {
        return strValue;
    }
    std::string strOut = "\"";
    for (char c : strValue) {
        strOut += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return strOut + "\"";
}

}  // namespace

void RUNS_Started(const std::string &strSource, const std::string &strOs)
{
    g_stOpen = Json::Value(Json::objectValue);
    g_stOpen["source"] = strSource;
    g_stOpen["os"] = strOs;
    g_stOpen["start"] = Now();
}

bool RUNS_Stopped(const std::vector<ClientRow> &vecRows)
{
    if (g_stOpen.isNull()) {
        return true;
    }
    Load();
    Json::Value stRun = g_stOpen;
    g_stOpen = Json::Value();
    stRun["stop"] = Now();
    unsigned uiFinished = 0, uiFailed = 0;
    Json::Value &stRows = stRun["rows"];
    stRows = Json::Value(Json::arrayValue);
    for (const ClientRow &stRow : vecRows) {
        ClientPhase ePhase = CLIENTS_Phase(stRow.strStatus);
        uiFinished += ePhase == ClientPhase::Finished ? 1 : 0;
        uiFailed += ePhase == ClientPhase::Failed ? 1 : 0;
        Json::Value stJson;
        stJson["ip"] = stRow.strAddress;
        stJson["mac"] = stRow.strMac;
        stJson["phase"] = CLIENTS_PhaseName(ePhase);
        stJson["status"] = stRow.strStatus;
        stRows.append(stJson);
    }
    stRun["clients"] = Json::UInt(vecRows.size());
    stRun["finished"] = uiFinished;
    stRun["failed"] = uiFailed;
    g_stRuns.append(stRun);
    while (g_stRuns.size() > DEPLOY_RUNS_MAX) {
        Json::Value stDropped;
        g_stRuns.removeIndex(0, &stDropped);
    }
    return Save();
}

const Json::Value &RUNS_All()
{
    Load();
    return g_stRuns;
}

std::string RUNS_Csv(int iIndex)
{
    Load();
    if (iIndex < 0 || Json::ArrayIndex(iIndex) >= g_stRuns.size()) {
        return "";
    }
    std::string strCsv = "ip,mac,phase,status\r\n";
    for (const Json::Value &stRow : g_stRuns[Json::ArrayIndex(iIndex)]["rows"]) {
        strCsv += CsvField(stRow["ip"].asString()) + "," + CsvField(stRow["mac"].asString()) + "," +
                  CsvField(stRow["phase"].asString()) + "," + CsvField(stRow["status"].asString()) +
                  "\r\n";
    }
    return strCsv;
}

void RUNS_Reset()
{
    g_bLoaded = false;
    g_stRuns = Json::Value(Json::arrayValue);
    g_stOpen = Json::Value();
}
