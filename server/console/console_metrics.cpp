#include "console_metrics.h"

#include <cinttypes>
#include <cstdio>

#include "admission.h"
#include "client_phase.h"
#include "client_table.h"
#include "controller.h"
#include "plugin_host.h"
#include "qvdhcp_rfc.h"
#include "qvdhcp_stats.h"
#include "transfer_stats.h"

namespace {

// A label value with backslash, quote and line feed escaped.
std::string Label(const std::string &strValue)
{
    std::string strOut;
    for (char c : strValue) {
        if (c == '\\' || c == '"') {
            strOut += '\\';
            strOut += c;
        } else if (c == '\n') {
            strOut += "\\n";
        } else {
            strOut += c;
        }
    }
    return strOut;
}

struct Writer {
    std::string strText;

    void Family(const char *pcName, const char *pcType, const char *pcHelp)
    {
        strText += std::string("# HELP ") + pcName + " " + pcHelp + "\n# TYPE " + pcName + " " +
                   pcType + "\n";
    }
    void Sample(const char *pcName, const std::string &strLabels, uint64_t ullValue)
    {
        char szValue[32];
        snprintf(szValue, sizeof(szValue), "%" PRIu64, ullValue);
        strText += pcName;
        if (!strLabels.empty()) {
            strText += "{" + strLabels + "}";
        }
        strText += std::string(" ") + szValue + "\n";
    }
    void Transfers(const char *pcService, const TransferCounters &stCounters)
    {
        std::string strService = std::string("service=\"") + pcService + "\"";
        Sample("kivpxe_transfers_total", strService + ",outcome=\"started\"",
               stCounters.ullStarted);
        Sample("kivpxe_transfers_total", strService + ",outcome=\"finished\"",
               stCounters.ullFinished);
        Sample("kivpxe_transfers_total", strService + ",outcome=\"failed\"", stCounters.ullFailed);
    }
};

}  // namespace

std::string CONSOLE_MetricsText(const std::vector<ClientRow> &vecRows)
{
    Writer stOut;
    // Messages and refusals as the DHCP service counts them; the admission's own reasons (a
    // finished install, the MAC filter) as the deployment decides them.
    QVDHCP_Counters stDhcp = QVDHCP_STATS_Get();
    stOut.Family("kivpxe_dhcp_messages_total", "counter",
                 "DHCP messages received and sent, by direction and type.");
    for (int i = 0; i < 9; ++i) {
        const std::string strType = std::string(",type=\"") + QVDHCP_STATS_TypeName(i) + "\"";
        if (i != QVDHCP_MSG_OFFER && i != QVDHCP_MSG_ACK && i != QVDHCP_MSG_NAK) {
            stOut.Sample("kivpxe_dhcp_messages_total", "direction=\"in\"" + strType,
                         stDhcp.aullIn[i]);
        } else {
            stOut.Sample("kivpxe_dhcp_messages_total", "direction=\"out\"" + strType,
                         stDhcp.aullOut[i]);
        }
    }
    AdmissionRefusals stRefused = ADMIT_Refusals();
    stOut.Family("kivpxe_dhcp_refusals_total", "counter", "DHCP requests refused, by reason.");
    stOut.Sample("kivpxe_dhcp_refusals_total", "reason=\"finished\"", stRefused.ullFinished);
    stOut.Sample("kivpxe_dhcp_refusals_total", "reason=\"mac_filter\"", stRefused.ullMacFilter);
    for (int i = 0; i < int(QVDHCP_Refusal::Count); ++i) {
        if (QVDHCP_Refusal(i) != QVDHCP_Refusal::Admission) {
            stOut.Sample("kivpxe_dhcp_refusals_total",
                         std::string("reason=\"") + QVDHCP_STATS_RefusalName(QVDHCP_Refusal(i)) +
                             "\"",
                         stDhcp.aullRefused[i]);
        }
    }
    stOut.Family("kivpxe_transfers_total", "counter",
                 "TFTP and HTTP transfers by outcome (started, finished, failed).");
    stOut.Transfers("tftp", STATS_Tftp());
    stOut.Transfers("http", STATS_Http());
    stOut.Family("kivpxe_transfer_bytes_total", "counter", "Bytes sent by TFTP and HTTP.");
    stOut.Sample("kivpxe_transfer_bytes_total", "service=\"tftp\"", STATS_Tftp().ullBytes);
    stOut.Sample("kivpxe_transfer_bytes_total", "service=\"http\"", STATS_Http().ullBytes);
    uint64_t aullPhases[CLIENT_PHASE_COUNT] = {};
    for (const ClientRow &stRow : vecRows) {
        ++aullPhases[int(CLIENTS_Phase(stRow.strStatus))];
    }
    stOut.Family("kivpxe_clients", "gauge", "Clients in the table, by phase.");
    for (int i = 0; i < CLIENT_PHASE_COUNT; ++i) {
        stOut.Sample("kivpxe_clients",
                     std::string("phase=\"") + CLIENTS_PhaseName(ClientPhase(i)) + "\"",
                     aullPhases[i]);
    }
    const ControllerState &stCtl = Controller();
    stOut.Family("kivpxe_deployment_running", "gauge", "1 while a deployment runs.");
    stOut.Sample("kivpxe_deployment_running", "", stCtl.bRunning ? 1 : 0);
    stOut.Family("kivpxe_plugin_in_use", "gauge",
                 "1 for the plug-in and OS of the running deployment.");
    if (stCtl.bRunning) {
        stOut.Sample("kivpxe_plugin_in_use",
                     "plugin=\"" + Label(ActivePluginFileName()) + "\",os=\"" +
                         Label(stCtl.stOsInfo.strOsName) + "\"",
                     1);
    }
    return stOut.strText;
}
