// The client table: one row per client with its address, MAC and a status line that follows it
// from its first DHCP offer to "Install Finished", fed by the services' events.
//
// The event callbacks run on service threads and only append a copy of the event to the
// notification queue (queue lock). Everything else runs on the main thread; the row lock (a
// recursive mutex) guards the rows because the admission function reads them on the DHCP thread.
// The only nesting is queue lock, then row lock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kiv_restful.h"
#include "qvdhcp_config.h"
#include "qvhttp.h"
#include "qvtftp.h"

// Window codes of the notification queue.
constexpr uint32_t WM_HTTP_NOTIFY = 1066;
constexpr uint32_t WM_TFTP_NOTIFY = 1067;
constexpr uint32_t WM_DHCP_NOTIFY = 1068;
constexpr uint32_t WM_REST_NOTIFY = 1072;

struct ClientRecord {
    bool bEfi = false;
    uint32_t uiArch = 0;  // DHCP option 93; 11 is ARM64
    std::string strProduct;
    std::string strSerial;
    std::string strVendor;
    // The network the client's boot menu reported ("notify_pim_ks"), empty before any report.
    std::string strPimNetwork;
};

struct ClientRow {
    uint32_t uiAddress = 0;
    std::string strAddress;  // "%u.%u.%u.%u"
    std::string strMac;      // "%02x-..." lower case, or "N/A"
    std::string strStatus;
    uint64_t ullStartMs = 0;  // monotonic milliseconds of the offer, TFTP add or finish
    double dProgress = -1;    // percent of the current download, -1 when none
    bool bAcked = false;      // false while the client has only been offered an address
    ClientRecord stRecord;
    std::string strToken;  // made at the row's first offer; its end-of-install report carries it
};

// What the table asks of the controller. Every hook runs on the main thread.
struct ClientTableHooks {
    std::function<bool()> fnDhcpRunning;
    std::function<bool()> fnTftpRunning;
    std::function<bool()> fnHttpRunning;
    // Writes the configuration of a client (plug-in MakeCfgFile) when its lease is acknowledged,
    // or for a client known only by its address (pstEvent null). True when the OS does not fit
    // its architecture.
    std::function<bool(const QVDHCP_ClientEvent *pstEvent, uint32_t uiAddress)> fnConfigureClient;
    // True for the BIOS or UEFI boot file the DHCP service offers.
    std::function<bool(const std::string &strFile)> fnIsBootFile;
    // An acknowledgement to our own iPXE build steps the menu background.
    std::function<void()> fnAdvanceBackground;
    // A row was added or changed (row number from 1).
    std::function<void(int iRow, const ClientRow &stRow)> fnRowChanged;
    // A row is about to go (deleted, or aged out without an acknowledgement): its files go too.
    std::function<void(const ClientRow &stRow)> fnRowRemoved;
    // The MAC behind an address (the kernel's neighbour table): a proxyDHCP client that never
    // named its address to us is known by the source of its first file request.
    std::function<bool(uint32_t uiAddress, uint8_t aucMac[6])> fnNeighbourMac;
};

// Rows of clients that were only offered an address go when the offer ages (10 s without an
// acknowledgement), and at most uiLimit of them exist at once (0: no limit); a spoofed flood of
// DISCOVERs thus leaves a bounded table. The controller sets four times the pool.
constexpr uint64_t CLIENTS_OFFER_AGE_MS = 10000;
void CLIENTS_SetOfferLimit(size_t uiLimit);
// Removes the rows whose offer aged at the clock's now; the count removed (main thread; also
// run by DrainNotifications).
size_t CLIENTS_AgeOffers();

void CLIENTS_SetHooks(ClientTableHooks stHooks);

// The callbacks the services get; they copy the event into the queue.
void OnDhcpEvent(uint32_t uiCode, const QVDHCP_ClientEvent *pstEvent);
void OnTftpEvent(uint32_t uiCode, QVTFTP_TransferEvent *pstEvent);
void OnHttpEvent(const QVHTTP_RequestEvent *pstEvent);
void OnRestNotify(const KIV_REST_KsNotify *pstNotify);

// Handles every queued notification (main thread, each 100 ms tick).
void DrainNotifications();
// Empties the queue (service stop).
void DiscardNotifications();
size_t PendingNotifications();

// Status "<text>(<time>: <m>m<s>s)" with the time since the row's start; the start is reset.
void MarkFinished(int iRow, const std::string &strText);
// Forgets every row.
void ClearClients();
// Deletes a row (rows after it move up). False for a row that does not exist.
bool DeleteClientRow(int iRow);
// The operator's delete command: only for finished rows, after the question "Delete it?".
bool DeleteClientRowAsked(int iRow);

// Row numbers from 1; 0 when none.
int FindRowByAddress(uint32_t uiAddress);
int FindRowByMac(const std::string &strMac);
// The row's token ("" for a row that does not exist).
std::string ClientToken(int iRow);

int ClientRowCount();
// Copies of the rows, taken under the row lock.
std::vector<ClientRow> ClientRows();
// Runs fn on each row under the row lock until it returns true; the row number or 0.
int CLIENTS_FindLocked(const std::function<bool(const ClientRow &)> &fn);
// Runs fn under the row lock on the first row of a MAC ("52-54-00-..", any case), found through
// the table's index; false when there is none.
bool CLIENTS_WithMacLocked(const std::string &strMac,
                           const std::function<void(const ClientRow &)> &fn);
// True when the status says the client finished (message 114 or 115 in the current language).
bool StatusIsFinished(const std::string &strStatus);

// Reads vendor=, pdt_serial= and pdt_name= of a client report into the record.
void ReadClientReport(const std::string &strRequest, ClientRecord &stRecord);

// The detail dialog's data of one row.
struct ClientDetail {
    std::string strBiosMode;  // "UEFI X86_64", "Legacy ARM64"
    std::string strMac, strAddress, strSerial, strProduct, strVendor, strPimNetwork;
    std::string strStartTime;  // local "%04u/%02u/%02u %02u:%02u:%02u", empty for finished rows
    uint64_t ullMinutes = 0;
    uint64_t ullSeconds = 0;
};
bool GetClientDetail(int iRow, ClientDetail *pstDetail);

// "ARM64" for architecture 11, "X86_64" for any other.
const char *ArchitectureName(uint32_t uiArch);
// Milliseconds of the monotonic clock; tests may replace the clock (an empty one restores it).
uint64_t CLIENTS_NowMs();
void CLIENTS_SetClock(std::function<uint64_t()> fnClock);
