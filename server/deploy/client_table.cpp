#include "client_table.h"

#include <glib.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <variant>

#include "client_history.h"
#include "log.h"
#include "msg_table.h"
#include "prompt.h"
#include "transfer_stats.h"
#include "qv_text.h"

namespace {

using EventCopy =
    std::variant<QVDHCP_ClientEvent, QVTFTP_TransferEvent, QVHTTP_RequestEvent, KIV_REST_KsNotify>;

struct Notification {
    uint32_t uiWindowCode = 0;
    uint16_t usEventCode = 0;
    EventCopy stEvent;
};

std::mutex g_mtxQueue;
std::deque<Notification> g_dqQueue;

std::recursive_mutex g_mtxRows;
std::vector<ClientRow> g_vecRows;
// Under the row lock: the first row (from 1) of each MAC (lower case) and of each address, and
// how many rows were only offered an address. Appends update them; anything that moves rows
// rebuilds them.
std::unordered_map<std::string, int> g_mapMacRow;
std::unordered_map<uint32_t, int> g_mapAddressRow;
size_t g_uiOfferOnly = 0;
size_t g_uiOfferLimit = 0;
bool g_bLimitLogged = false;

ClientTableHooks g_stHooks;
std::function<uint64_t()> g_fnClock;

void Enqueue(uint32_t uiWindowCode, uint16_t usEventCode, EventCopy stEvent)
{
    std::lock_guard<std::mutex> lock(g_mtxQueue);
    g_dqQueue.push_back({uiWindowCode, usEventCode, std::move(stEvent)});
}

bool Running(const std::function<bool()> &fn)
{
    return fn && fn();
}

std::string AddressText(uint32_t uiAddress)
{
    char szText[16];
    g_snprintf(szText, sizeof(szText), QVDHCP_IP_FMT, QVDHCP_IP_ARGS(uiAddress));
    return szText;
}

std::string Format(const char *pcFormat, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char *pcFormat, ...)
{
    va_list args;
    va_start(args, pcFormat);
    gchar *pcText = g_strdup_vprintf(pcFormat, args);
    va_end(args);
    std::string strText = pcText;
    g_free(pcText);
    return strText;
}

std::string MacKey(const std::string &strMac)
{
    gchar *pcLower = g_ascii_strdown(strMac.c_str(), -1);
    std::string strKey = pcLower;
    g_free(pcLower);
    return strKey;
}

// Call with the row lock held.
void IndexRow(int iRow)
{
    const ClientRow &stRow = g_vecRows[size_t(iRow - 1)];
    g_mapMacRow.emplace(MacKey(stRow.strMac), iRow);
    g_mapAddressRow.emplace(stRow.uiAddress, iRow);
}

void RebuildIndex()
{
    g_mapMacRow.clear();
    g_mapAddressRow.clear();
    g_uiOfferOnly = 0;
    for (size_t i = 0; i < g_vecRows.size(); ++i) {
        IndexRow(int(i + 1));
        g_uiOfferOnly += g_vecRows[i].bAcked ? 0 : 1;
    }
}

int AppendRow(ClientRow stRow)
{
    g_uiOfferOnly += stRow.bAcked ? 0 : 1;
    g_vecRows.push_back(std::move(stRow));
    IndexRow(int(g_vecRows.size()));
    return int(g_vecRows.size());
}

// Call with the row lock held; iRow from 1.
void RowChanged(int iRow)
{
    HISTORY_Record(g_vecRows[size_t(iRow - 1)]);
    if (g_stHooks.fnRowChanged) {
        g_stHooks.fnRowChanged(iRow, g_vecRows[size_t(iRow - 1)]);
    }
}

// Call with the row lock held: a client seen past its offer (lease, download, finish) keeps its
// row when the offer ages.
void MarkTaken(ClientRow &stRow)
{
    if (!stRow.bAcked) {
        stRow.bAcked = true;
        --g_uiOfferOnly;
    }
}

std::string NewToken()
{
    return QV_RandomText("0123456789abcdefghijklmnopqrstuvwxyz", 24);
}

// An end-of-install report counts only with the row's token right after strMarker (letters and
// digits up to the next other byte); any other is logged and changes nothing.
bool ReportHasToken(int iRow, const std::string &strText, const char *pcMarker)
{
    std::lock_guard<std::recursive_mutex> lock(g_mtxRows);
    size_t uiAt = strText.find(pcMarker);
    std::string strGiven;
    if (uiAt != std::string::npos) {
        uiAt += strlen(pcMarker);
        size_t uiEnd = uiAt;
        while (uiEnd < strText.size() && g_ascii_isalnum(strText[uiEnd])) {
            ++uiEnd;
        }
        strGiven = strText.substr(uiAt, uiEnd - uiAt);
    }
    std::string strToken = ClientToken(iRow);
    if (!strToken.empty() && strGiven == strToken) {
        return true;
    }
    LOG_Print(0, "PXEDLG", "Install end report for row %d (%s) without its token, ignored", iRow,
              AddressText(g_vecRows[size_t(iRow - 1)].uiAddress).c_str());
    return false;
}

void SetStatus(int iRow, const std::string &strStatus, double dProgress = -1)
{
    std::lock_guard<std::recursive_mutex> lock(g_mtxRows);
    ClientRow &stRow = g_vecRows[size_t(iRow - 1)];
    MarkTaken(stRow);
    // Statuses quote file names and URIs that clients chose.
    stRow.strStatus = QV_Printable(strStatus);
    stRow.dProgress = dProgress;
    RowChanged(iRow);
}

// bTaken: the client took the address already (an acknowledgement without a row), so the limit
// on offered-only rows does not apply.
void HandleDhcpOffer(const QVDHCP_ClientEvent &stEvent, bool bTaken = false)
{
    std::string strAddress = AddressText(stEvent.uiAddress);
    char szMac[18];
    g_snprintf(szMac, sizeof(szMac), QVDHCP_MAC_FMT, QVDHCP_MAC_ARGS(stEvent.aucMac));
    std::lock_guard<std::recursive_mutex> lock(g_mtxRows);
    LOG_Print(0, "ORV_DLG", "DHCP Discovery: begin to find Index for ip=%s mac=%s log count=%u",
              strAddress.c_str(), szMac, unsigned(g_vecRows.size()));
    int iRow = FindRowByMac(szMac);
    if (iRow != 0) {
        LOG_Print(0, "ORV_DLG", "DHCP Discovery: find Index(%d) for ip=%s mac=%s log count=%u",
                  iRow, strAddress.c_str(), szMac, unsigned(g_vecRows.size()));
    } else if (!bTaken && g_uiOfferLimit != 0 && g_uiOfferOnly >= g_uiOfferLimit) {
        // One line per flood: logged again only after the table drained below half the limit.
        if (!g_bLimitLogged) {
            LOG_Print(1, "PXEDLG",
                      "%u clients were offered an address and never took it: "
                      "no row for further offers until they age.",
                      unsigned(g_uiOfferOnly));
            g_bLimitLogged = true;
        }
        return;
    } else {
        ClientRow stNew;
        stNew.strMac = szMac;
        stNew.uiAddress = stEvent.uiAddress;
        stNew.strToken = NewToken();
        iRow = AppendRow(std::move(stNew));
    }
    ClientRow &stRow = g_vecRows[size_t(iRow - 1)];
    bool bMoved = stRow.uiAddress != stEvent.uiAddress;
    stRow.uiAddress = stEvent.uiAddress;
    // A new boot of the same client: what its boot menu reported stays until it reports again.
    stRow.stRecord = ClientRecord{
        stEvent.uiIsEFI != 0, stEvent.usArch, "", "", "", std::move(stRow.stRecord.strPimNetwork)};
    stRow.ullStartMs = CLIENTS_NowMs();
    stRow.strAddress = strAddress;
    stRow.dProgress = -1;
    if (bMoved) {
        RebuildIndex();
    }
    const char *pcArch = ArchitectureName(stEvent.usArch);
    if (stEvent.uiIsEFI) {
        LOG_Print(0, "PXEDLG", "Client %s %s start install OS in UEFI mode.", szMac, pcArch);
        stRow.strStatus = Format("%s(UEFI %s)", MSG_Text(122), pcArch);
    } else if (stEvent.uiIsPXE) {
        LOG_Print(0, "PXEDLG", "Client %s %s start install OS in BIOS mode.", szMac, pcArch);
        stRow.strStatus = Format("%s(BIOS %s)", MSG_Text(122), pcArch);
    } else {
        stRow.strStatus = Format("%s(NonPXE)", MSG_Text(122));
    }
    RowChanged(iRow);
    LOG_Print(2, "PXEDLG", "Log Count Add Count=%u.", unsigned(g_vecRows.size()));
}

// The client took its offer: its configuration files are written now, not at every offer, so
// DISCOVERs alone leave no files behind; its row and token exist by then, and the files carry it. A
// proxy offers before it knows the client's address; the row takes it once the client names it.
void HandleDhcpAck(const QVDHCP_ClientEvent &stEvent)
{
    char szMac[18];
    g_snprintf(szMac, sizeof(szMac), QVDHCP_MAC_FMT, QVDHCP_MAC_ARGS(stEvent.aucMac));
    std::lock_guard<std::recursive_mutex> lock(g_mtxRows);
    int iRow = FindRowByMac(szMac);
    if (iRow == 0) {
        // Its offer found the table full (or aged): a client that takes its lease gets its row.
        HandleDhcpOffer(stEvent, true);
        iRow = FindRowByMac(szMac);
    }
    if (stEvent.uiAddress != 0 && g_vecRows[size_t(iRow - 1)].uiAddress != stEvent.uiAddress) {
        ClientRow &stRow = g_vecRows[size_t(iRow - 1)];
        stRow.uiAddress = stEvent.uiAddress;
        stRow.strAddress = AddressText(stEvent.uiAddress);
        RebuildIndex();
        LOG_Print(0, "ORV_DLG", "Client %s takes address %s", szMac, stRow.strAddress.c_str());
        RowChanged(iRow);
    }
    bool bMismatch =
        g_stHooks.fnConfigureClient && g_stHooks.fnConfigureClient(&stEvent, stEvent.uiAddress);
    ClientRow &stRow = g_vecRows[size_t(iRow - 1)];
    MarkTaken(stRow);
    const std::string strNote = MSG_Text(145);
    bool bNoted = stRow.strStatus.size() >= strNote.size() &&
                  stRow.strStatus.compare(stRow.strStatus.size() - strNote.size(), strNote.size(),
                                          strNote) == 0;
    if (bMismatch && !bNoted) {
        stRow.strStatus += strNote;
        RowChanged(iRow);
    }
}

void HandleDhcp(uint16_t usCode, const QVDHCP_ClientEvent &stEvent)
{
    if (!Running(g_stHooks.fnDhcpRunning)) {
        return;
    }
    if (usCode == QVDHCP_EVENT_OFFER) {
        HandleDhcpOffer(stEvent);
    } else if (usCode == QVDHCP_EVENT_ACK) {
        HandleDhcpAck(stEvent);
        if (stEvent.uiIsKivIPXE && g_stHooks.fnAdvanceBackground) {
            g_stHooks.fnAdvanceBackground();
        }
    }
}

// A boot-file request from an address that never passed our DHCP: configure and add the client.
void AddTftpClient(const QVTFTP_TransferEvent &stEvent)
{
    std::lock_guard<std::recursive_mutex> lock(g_mtxRows);
    ClientRow stRow;
    stRow.uiAddress = stEvent.uiClientIp;
    stRow.strAddress = AddressText(stEvent.uiClientIp);
    stRow.strMac = "N/A";
    stRow.strStatus = MSG_Text(122);
    stRow.ullStartMs = CLIENTS_NowMs();
    stRow.strToken = NewToken();
    stRow.bAcked = true;  // it came by TFTP: there is no offer to age
    int iRow = AppendRow(std::move(stRow));
    // The row (and its token) exists before the client's files are written: they carry it.
    if (g_stHooks.fnConfigureClient) {
        g_stHooks.fnConfigureClient(nullptr, stEvent.uiClientIp);
    }
    RowChanged(iRow);
}

// A proxyDHCP client whose address we never heard (its REQUEST did not reach us) asks for a file
// from an address no row holds: the row of its MAC, still without an address, takes it, and its
// files are written as at an acknowledgement. Rows with an address are never moved.
int AdoptAddress(uint32_t uiAddress)
{
    QVDHCP_ClientEvent stEvent;
    if (!g_stHooks.fnNeighbourMac || !g_stHooks.fnNeighbourMac(uiAddress, stEvent.aucMac)) {
        return 0;
    }
    std::lock_guard<std::recursive_mutex> lock(g_mtxRows);
    int iRow = FindRowByMac(QV_MacText(stEvent.aucMac));
    if (iRow == 0 || g_vecRows[size_t(iRow - 1)].uiAddress != 0) {
        return 0;
    }
    const ClientRecord &stRecord = g_vecRows[size_t(iRow - 1)].stRecord;
    stEvent.uiIsPXE = 1;
    stEvent.uiIsEFI = stRecord.bEfi ? 1 : 0;
    stEvent.usArch = uint16_t(stRecord.uiArch);
    stEvent.uiAddress = uiAddress;
    HandleDhcpAck(stEvent);
    return FindRowByAddress(uiAddress);
}

void HandleTftp(uint16_t usCode, const QVTFTP_TransferEvent &stEvent)
{
    if (!Running(g_stHooks.fnTftpRunning)) {
        return;
    }
    if (usCode == QVTFTP_EVENT_START || usCode == QVTFTP_EVENT_PROGRESS) {
        int iRow = FindRowByAddress(stEvent.uiClientIp);
        if (iRow == 0) {
            iRow = AdoptAddress(stEvent.uiClientIp);
        }
        if (iRow == 0) {
            LOG_Print(1, "PXEDLG", "TFTP Notify IP:" QVDHCP_IP_FMT " %u not found.",
                      QVDHCP_IP_ARGS(stEvent.uiClientIp), unsigned(ClientRowCount()));
            if (g_stHooks.fnIsBootFile && g_stHooks.fnIsBootFile(stEvent.szFileName)) {
                AddTftpClient(stEvent);
            }
            return;
        }
        // An empty file is wholly sent as soon as it starts.
        double dPercent = stEvent.ullFileSize == 0
                              ? 100.0
                              : double(stEvent.ullSent) * 100.0 / double(stEvent.ullFileSize);
        SetStatus(iRow,
                  Format("%s(TFTP: %.02lf%%):%s", MSG_Text(119), dPercent, stEvent.szFileName),
                  dPercent);
        return;
    }
    // A finished download, or firmware that declined the options after asking for the size (it
    // asks again at once, without them): neither is a failure to show.
    if (usCode == QVTFTP_EVENT_END &&
        (stEvent.uiResult == 0 || stEvent.uiResult == QVTFTP_ERR_UNSUPPORTED_OPT)) {
        return;
    }
    if (usCode == QVTFTP_EVENT_END || usCode == QVTFTP_EVENT_REQ_FAILED) {
        int iRow = FindRowByAddress(stEvent.uiClientIp);
        if (iRow == 0) {
            return;
        }
        if (usCode == QVTFTP_EVENT_REQ_FAILED &&
            strstr(stEvent.szFileName, "FERRIT/InstallFinish")) {
            if (ReportHasToken(iRow, stEvent.szFileName, "FERRIT/InstallFinish/")) {
                MarkFinished(iRow, MSG_Text(114));
            }
        } else {
            SetStatus(iRow,
                      Format("%s(TFTP %s0x%08lx):%s", MSG_Text(118), MSG_Text(2),
                             static_cast<unsigned long>(stEvent.uiResult), stEvent.szFileName));
        }
    }
}

void HandleHttp(const QVHTTP_RequestEvent &stEvent)
{
    if (!Running(g_stHooks.fnHttpRunning)) {
        return;
    }
    int iRow = FindRowByAddress(stEvent.uiClientIp);
    if (iRow == 0) {
        iRow = AdoptAddress(stEvent.uiClientIp);
    }
    if (iRow == 0) {
        LOG_Print(1, "PXEDLG", "HTTP Notify IP:" QVDHCP_IP_FMT " %u not found.",
                  QVDHCP_IP_ARGS(stEvent.uiClientIp), unsigned(ClientRowCount()));
        return;
    }
    const char *pcUri = stEvent.szURI;
    if (strstr(pcUri, "PXEClientInstallEnd")) {
        if (ReportHasToken(iRow, stEvent.szRequest, "token=")) {
            MarkFinished(iRow, MSG_Text(114));
        }
    } else if (strstr(pcUri, "FERRIT/Reboot")) {
        SetStatus(iRow, MSG_Text(117));
    } else if (strstr(pcUri, "FERRIT/Install")) {
        SetStatus(iRow, MSG_Text(116));
    } else if (strstr(pcUri, "kickstart/virturl_report_client_info")) {
        std::lock_guard<std::recursive_mutex> lock(g_mtxRows);
        ReadClientReport(stEvent.szRequest, g_vecRows[size_t(iRow - 1)].stRecord);
        RowChanged(iRow);
    } else {
        std::string strStatus;
        {
            std::lock_guard<std::recursive_mutex> lock(g_mtxRows);
            strStatus = g_vecRows[size_t(iRow - 1)].strStatus;
        }
        if (StatusIsFinished(strStatus)) {
            return;
        }
        if (stEvent.uiCode == QVHTTP_EVT_START) {
            SetStatus(iRow, Format("%s: (HTTP) %s", MSG_Text(119), pcUri));
        } else if (stEvent.uiCode == QVHTTP_EVT_PROGRESS) {
            if (stEvent.ullTotalLen != 0) {
                double dPercent = double(stEvent.ullTotalLen - stEvent.ullRemainLen) * 100.0 /
                                  double(stEvent.ullTotalLen);
                SetStatus(iRow, Format("%s: (HTTP: %.2lf%%) %s", MSG_Text(119), dPercent, pcUri),
                          dPercent);
            } else {
                SetStatus(iRow, Format("%s: (HTTP) %s", MSG_Text(119), pcUri));
            }
        } else if (stEvent.uiCode == QVHTTP_EVT_END) {
            bool bFailed = stEvent.uiStatus == 404 || stEvent.uiStatus == 405;
            SetStatus(iRow, Format("%s: (HTTP) %s", MSG_Text(bFailed ? 120 : 121), pcUri));
        }
    }
}

// A client's boot menu reports the network it set up: logged, and kept in the row of that MAC
// for the detail dialog. Reports come whether or not a deployment runs; an unknown MAC has no row.
void HandleRestNotify(const KIV_REST_KsNotify &stNote)
{
    char szMac[18];
    g_snprintf(szMac, sizeof(szMac), QVDHCP_MAC_FMT, QVDHCP_MAC_ARGS(stNote.aucMac));
    std::string strNetwork =
        Format("IP %s mask %s gateway %s (%s)", AddressText(stNote.uiAddress).c_str(),
               AddressText(stNote.uiMask).c_str(), AddressText(stNote.uiGateway).c_str(),
               stNote.uiUefi ? "UEFI" : "BIOS");
    LOG_Print(0, "PXEDLG", "PIM notify MAC:%s %s", szMac, strNetwork.c_str());
    std::lock_guard<std::recursive_mutex> lock(g_mtxRows);
    int iRow = FindRowByMac(szMac);
    if (iRow == 0) {
        LOG_Print(1, "PXEDLG", "PIM notify MAC:%s %u not found.", szMac,
                  unsigned(g_vecRows.size()));
        return;
    }
    g_vecRows[size_t(iRow - 1)].stRecord.strPimNetwork = strNetwork;
    RowChanged(iRow);
}

// The value after strKey up to the next "&", trimmed; empty when no "&" follows.
std::string ReportValue(const std::string &strRequest, size_t uiKey, size_t uiKeyLen)
{
    size_t uiAmp = strRequest.find('&', uiKey);
    if (uiAmp == std::string::npos) {
        return "";
    }
    size_t uiStart = uiKey + uiKeyLen;
    gchar *pcValue = g_strstrip(g_strdup(strRequest.substr(uiStart, uiAmp - uiStart).c_str()));
    std::string strValue = pcValue;
    g_free(pcValue);
    return strValue;
}

}  // namespace

void CLIENTS_SetHooks(ClientTableHooks stHooks)
{
    g_stHooks = std::move(stHooks);
}

void OnDhcpEvent(uint32_t uiCode, const QVDHCP_ClientEvent *pstEvent)
{
    Enqueue(WM_DHCP_NOTIFY, uint16_t(uiCode), *pstEvent);
}

void OnTftpEvent(uint32_t uiCode, QVTFTP_TransferEvent *pstEvent)
{
    Enqueue(WM_TFTP_NOTIFY, uint16_t(uiCode), *pstEvent);
}

void OnHttpEvent(const QVHTTP_RequestEvent *pstEvent)
{
    Enqueue(WM_HTTP_NOTIFY, 0, *pstEvent);
}

void OnRestNotify(const KIV_REST_KsNotify *pstNotify)
{
    Enqueue(WM_REST_NOTIFY, 0, *pstNotify);
}

void DrainNotifications()
{
    CLIENTS_AgeOffers();
    while (true) {
        Notification stEntry;
        {
            std::lock_guard<std::mutex> lock(g_mtxQueue);
            if (g_dqQueue.empty()) {
                return;
            }
            stEntry = std::move(g_dqQueue.front());
            g_dqQueue.pop_front();
        }
        switch (stEntry.uiWindowCode) {
        case WM_HTTP_NOTIFY:
            STATS_HttpEvent(std::get<QVHTTP_RequestEvent>(stEntry.stEvent));
            HandleHttp(std::get<QVHTTP_RequestEvent>(stEntry.stEvent));
            break;
        case WM_TFTP_NOTIFY:
            STATS_TftpEvent(stEntry.usEventCode, std::get<QVTFTP_TransferEvent>(stEntry.stEvent));
            HandleTftp(stEntry.usEventCode, std::get<QVTFTP_TransferEvent>(stEntry.stEvent));
            break;
        case WM_DHCP_NOTIFY:
            HandleDhcp(stEntry.usEventCode, std::get<QVDHCP_ClientEvent>(stEntry.stEvent));
            break;
        case WM_REST_NOTIFY:
            HandleRestNotify(std::get<KIV_REST_KsNotify>(stEntry.stEvent));
            break;
        default:
            break;
        }
    }
}

void DiscardNotifications()
{
    std::lock_guard<std::mutex> lock(g_mtxQueue);
    g_dqQueue.clear();
}

size_t PendingNotifications()
{
    std::lock_guard<std::mutex> lock(g_mtxQueue);
    return g_dqQueue.size();
}

void MarkFinished(int iRow, const std::string &strText)
{
    std::lock_guard<std::recursive_mutex> lock(g_mtxRows);
    if (iRow < 1 || size_t(iRow) > g_vecRows.size()) {
        return;
    }
    ClientRow &stRow = g_vecRows[size_t(iRow - 1)];
    MarkTaken(stRow);
    uint64_t ullNow = CLIENTS_NowMs();
    int iSeconds = int((ullNow - stRow.ullStartMs) / 1000);
    stRow.strStatus =
        Format("%s(%s: %dm%ds)", strText.c_str(), MSG_Text(144), iSeconds / 60, iSeconds % 60);
    stRow.ullStartMs = ullNow;
    stRow.dProgress = -1;
    RowChanged(iRow);
}

void ClearClients()
{
    std::lock_guard<std::recursive_mutex> lock(g_mtxRows);
    g_vecRows.clear();
    RebuildIndex();
    g_bLimitLogged = false;
}

void CLIENTS_SetOfferLimit(size_t uiLimit)
{
    std::lock_guard<std::recursive_mutex> lock(g_mtxRows);
    g_uiOfferLimit = uiLimit;
}

size_t CLIENTS_AgeOffers()
{
    std::lock_guard<std::recursive_mutex> lock(g_mtxRows);
    if (g_uiOfferOnly == 0) {
        return 0;
    }
    uint64_t ullNow = CLIENTS_NowMs();
    size_t uiBefore = g_vecRows.size();
    auto itEnd = std::remove_if(g_vecRows.begin(), g_vecRows.end(), [&](const ClientRow &stRow) {
        bool bAged = !stRow.bAcked && ullNow - stRow.ullStartMs > CLIENTS_OFFER_AGE_MS;
        if (bAged && g_stHooks.fnRowRemoved) {
            g_stHooks.fnRowRemoved(stRow);
        }
        return bAged;
    });
    g_vecRows.erase(itEnd, g_vecRows.end());
    size_t uiAged = uiBefore - g_vecRows.size();
    if (uiAged != 0) {
        RebuildIndex();
        LOG_Print(0, "PXEDLG", "%u rows of clients that never took their offer removed.",
                  unsigned(uiAged));
        if (g_uiOfferOnly < g_uiOfferLimit / 2) {
            g_bLimitLogged = false;
        }
    }
    return uiAged;
}

bool DeleteClientRow(int iRow)
{
    std::lock_guard<std::mutex> lockQueue(g_mtxQueue);
    std::lock_guard<std::recursive_mutex> lockRows(g_mtxRows);
    if (iRow < 1 || size_t(iRow) > g_vecRows.size()) {
        return false;
    }
    if (g_stHooks.fnRowRemoved) {
        g_stHooks.fnRowRemoved(g_vecRows[size_t(iRow - 1)]);
    }
    g_vecRows.erase(g_vecRows.begin() + (iRow - 1));
    RebuildIndex();
    LOG_Print(2, "DLG", "Delete log row %d.", iRow);
    LOG_Print(2, "DLG", "Clear Log Count=%u.", unsigned(g_vecRows.size() + 1));
    return true;
}

bool DeleteClientRowAsked(int iRow)
{
    std::string strStatus;
    {
        std::lock_guard<std::recursive_mutex> lock(g_mtxRows);
        if (iRow < 1 || size_t(iRow) > g_vecRows.size()) {
            return false;
        }
        strStatus = g_vecRows[size_t(iRow - 1)].strStatus;
    }
    if (strStatus.find(MSG_Text(114)) == std::string::npos) {
        return false;
    }
    PromptRequest stAsk{MSG_Choose("删除吗？", "Delete it?"), "MSG", PromptIcon::Information,
                        PromptButtons::YesNo, PromptAnswer::Yes};
    return PROMPT_Ask(stAsk) == PromptAnswer::Yes && DeleteClientRow(iRow);
}

int FindRowByAddress(uint32_t uiAddress)
{
    std::lock_guard<std::recursive_mutex> lock(g_mtxRows);
    auto it = g_mapAddressRow.find(uiAddress);
    return it == g_mapAddressRow.end() ? 0 : it->second;
}

int FindRowByMac(const std::string &strMac)
{
    std::lock_guard<std::recursive_mutex> lock(g_mtxRows);
    auto it = g_mapMacRow.find(MacKey(strMac));
    return it == g_mapMacRow.end() ? 0 : it->second;
}

bool CLIENTS_WithMacLocked(const std::string &strMac,
                           const std::function<void(const ClientRow &)> &fn)
{
    std::lock_guard<std::recursive_mutex> lock(g_mtxRows);
    int iRow = FindRowByMac(strMac);
    if (iRow == 0) {
        return false;
    }
    fn(g_vecRows[size_t(iRow - 1)]);
    return true;
}

std::string ClientToken(int iRow)
{
    std::lock_guard<std::recursive_mutex> lock(g_mtxRows);
    return iRow >= 1 && size_t(iRow) <= g_vecRows.size() ? g_vecRows[size_t(iRow - 1)].strToken
                                                         : std::string();
}

int ClientRowCount()
{
    std::lock_guard<std::recursive_mutex> lock(g_mtxRows);
    return int(g_vecRows.size());
}

std::vector<ClientRow> ClientRows()
{
    std::lock_guard<std::recursive_mutex> lock(g_mtxRows);
    return g_vecRows;
}

int CLIENTS_FindLocked(const std::function<bool(const ClientRow &)> &fn)
{
    std::lock_guard<std::recursive_mutex> lock(g_mtxRows);
    for (size_t i = 0; i < g_vecRows.size(); ++i) {
        if (fn(g_vecRows[i])) {
            return int(i + 1);
        }
    }
    return 0;
}

bool StatusIsFinished(const std::string &strStatus)
{
    return strStatus.find(MSG_Text(114)) != std::string::npos ||
           strStatus.find(MSG_Text(115)) != std::string::npos;
}

void ReadClientReport(const std::string &strRequest, ClientRecord &stRecord)
{
    const std::pair<const char *, std::string *> astKeys[] = {
        {"vendor=", &stRecord.strVendor},
        {"pdt_serial=", &stRecord.strSerial},
        {"pdt_name=", &stRecord.strProduct},
    };
    for (const auto &[pcKey, pstrField] : astKeys) {
        size_t uiKey = strRequest.find(pcKey);
        if (uiKey != std::string::npos) {
            *pstrField = QV_Printable(ReportValue(strRequest, uiKey, strlen(pcKey)));
        }
    }
}

bool GetClientDetail(int iRow, ClientDetail *pstDetail)
{
    std::lock_guard<std::recursive_mutex> lock(g_mtxRows);
    if (iRow < 1 || size_t(iRow) > g_vecRows.size()) {
        return false;
    }
    const ClientRow &stRow = g_vecRows[size_t(iRow - 1)];
    ClientDetail stDetail;
    stDetail.strBiosMode = std::string(stRow.stRecord.bEfi ? "UEFI " : "Legacy ") +
                           ArchitectureName(stRow.stRecord.uiArch);
    stDetail.strMac = stRow.strMac;
    stDetail.strAddress = stRow.strAddress;
    stDetail.strSerial = stRow.stRecord.strSerial;
    stDetail.strProduct = stRow.stRecord.strProduct;
    stDetail.strVendor = stRow.stRecord.strVendor;
    stDetail.strPimNetwork = stRow.stRecord.strPimNetwork;
    if (stRow.strStatus.find(MSG_Text(114)) == std::string::npos) {
        uint64_t ullElapsed = (CLIENTS_NowMs() - stRow.ullStartMs) / 1000;
        time_t tStart = time(nullptr) - time_t(ullElapsed);
        tm stTm;
        localtime_r(&tStart, &stTm);
        stDetail.strStartTime =
            Format("%04u/%02u/%02u %02u:%02u:%02u", unsigned(stTm.tm_year + 1900),
                   unsigned(stTm.tm_mon + 1), unsigned(stTm.tm_mday), unsigned(stTm.tm_hour),
                   unsigned(stTm.tm_min), unsigned(stTm.tm_sec));
        stDetail.ullMinutes = ullElapsed / 60;
        stDetail.ullSeconds = ullElapsed % 60;
    } else {
        // "...(time: 12m5s)": the digits before the first "m" after the first ":", and before
        // the next "s".
        const std::string &strStatus = stRow.strStatus;
        size_t uiColon = strStatus.find(':');
        size_t uiM =
            uiColon == std::string::npos ? std::string::npos : strStatus.find('m', uiColon);
        size_t uiS = uiM == std::string::npos ? std::string::npos : strStatus.find('s', uiM);
        auto RunBefore = [&strStatus](size_t uiEnd, size_t uiFloor) {
            size_t uiStart = uiEnd;
            while (uiStart > uiFloor &&
                   (g_ascii_isdigit(strStatus[uiStart - 1]) || strStatus[uiStart - 1] == ' ')) {
                --uiStart;
            }
            return g_ascii_strtoull(strStatus.substr(uiStart, uiEnd - uiStart).c_str(), nullptr,
                                    10);
        };
        if (uiS != std::string::npos) {
            stDetail.ullMinutes = RunBefore(uiM, uiColon + 1);
            stDetail.ullSeconds = RunBefore(uiS, uiM + 1);
        }
    }
    *pstDetail = stDetail;
    return true;
}

const char *ArchitectureName(uint32_t uiArch)
{
    return uiArch == 11 ? "ARM64" : "X86_64";
}

uint64_t CLIENTS_NowMs()
{
    return g_fnClock ? g_fnClock() : uint64_t(g_get_monotonic_time() / 1000);
}

void CLIENTS_SetClock(std::function<uint64_t()> fnClock)
{
    g_fnClock = std::move(fnClock);
}
