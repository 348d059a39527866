#include "client_table.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>

#include "admission.h"
#include "log.h"
#include "msg_table.h"
#include "qv_text.h"
#include "test_support.h"

namespace {

uint64_t g_ullNow = 1000000;

struct ClientTableTest : ::testing::Test {
    int iConfigured = 0;
    bool bMismatch = false;
    std::vector<std::string> vecChanges;
    std::vector<std::string> vecRemoved;
    void SetUp() override
    {
        MSG_SetChinese(false);
        CLIENTS_SetClock([] { return g_ullNow; });
        ClientTableHooks stHooks;
        stHooks.fnDhcpRunning = stHooks.fnTftpRunning = stHooks.fnHttpRunning = [] { return true; };
        stHooks.fnConfigureClient = [this](const QVDHCP_ClientEvent *, uint32_t) {
            ++iConfigured;
            return bMismatch;
        };
        stHooks.fnIsBootFile = [](const std::string &strFile) {
            return strFile == "pxelinux.1408.0";
        };
        stHooks.fnRowChanged = [this](int iRow, const ClientRow &stRow) {
            vecChanges.push_back(std::to_string(iRow) + " " + stRow.strStatus);
        };
        stHooks.fnRowRemoved = [this](const ClientRow &stRow) {
            vecRemoved.push_back(stRow.strMac);
        };
        CLIENTS_SetHooks(stHooks);
        CLIENTS_SetOfferLimit(0);
        ClearClients();
        DiscardNotifications();
        SetMacFilter(true, {});
    }
    void TearDown() override
    {
        CLIENTS_SetHooks({});
        CLIENTS_SetClock({});
        ClearClients();
    }
    static void Offer(uint8_t ucLast, uint32_t uiAddress, uint32_t uiEfi = 0, uint16_t usArch = 0,
                      uint16_t usCode = QVDHCP_EVENT_OFFER)
    {
        QVDHCP_ClientEvent stEvent;
        stEvent.uiIsPXE = 1;
        stEvent.uiIsEFI = uiEfi;
        stEvent.usArch = usArch;
        const uint8_t aucMac[6] = {0x52, 0x54, 0x00, 0xAB, 0x00, ucLast};
        memcpy(stEvent.aucMac, aucMac, 6);
        stEvent.uiAddress = uiAddress;
        OnDhcpEvent(usCode, &stEvent);
        DrainNotifications();
    }
    static void Ack(uint8_t ucLast, uint32_t uiAddress, uint32_t uiEfi = 0, uint16_t usArch = 0)
    {
        Offer(ucLast, uiAddress, uiEfi, usArch, QVDHCP_EVENT_ACK);
    }
    static void Tftp(uint32_t uiCode, uint32_t uiAddress, const char *pcFile, uint64_t ullSize,
                     uint64_t ullSent, uint32_t uiResult = 0)
    {
        QVTFTP_TransferEvent stEvent{};
        stEvent.uiClientIp = uiAddress;
        g_strlcpy(stEvent.szFileName, pcFile, sizeof(stEvent.szFileName));
        stEvent.ullFileSize = ullSize;
        stEvent.ullSent = ullSent;
        stEvent.uiResult = uiResult;
        OnTftpEvent(uiCode, &stEvent);
        DrainNotifications();
    }
    static void Http(uint32_t uiCode, uint32_t uiAddress, const char *pcUri, uint64_t ullTotal = 0,
                     uint64_t ullRemain = 0, uint32_t uiStatus = 200, const char *pcRequest = "")
    {
        QVHTTP_RequestEvent stEvent{};
        stEvent.uiCode = uiCode;
        stEvent.uiClientIp = uiAddress;
        stEvent.ullTotalLen = ullTotal;
        stEvent.ullRemainLen = ullRemain;
        stEvent.uiStatus = uiStatus;
        g_strlcpy(stEvent.szURI, pcUri, sizeof(stEvent.szURI));
        g_strlcpy(stEvent.szRequest, pcRequest, sizeof(stEvent.szRequest));
        OnHttpEvent(&stEvent);
        DrainNotifications();
    }
    static std::string Status(int iRow) { return ClientRows()[size_t(iRow - 1)].strStatus; }
};

constexpr uint32_t kIp1 = 0x0A4D0064;  // 10.77.0.100

}  // namespace

TEST_F(ClientTableTest, OfferCreatesAndASecondOfferKeepsTheRow)
{
    Offer(1, kIp1, 1, 7);
    ASSERT_EQ(ClientRowCount(), 1);
    EXPECT_EQ(ClientRows()[0].strMac, "52-54-00-ab-00-01");
    EXPECT_EQ(ClientRows()[0].strAddress, "10.77.0.100");
    EXPECT_EQ(Status(1), "Requesting IP address(UEFI X86_64)");
    g_ullNow += 5000;
    bMismatch = true;
    Offer(1, kIp1 + 5, 0, 11);
    ASSERT_EQ(ClientRowCount(), 1);
    EXPECT_EQ(ClientRows()[0].strAddress, "10.77.0.105");
    EXPECT_EQ(ClientRows()[0].ullStartMs, g_ullNow);
    EXPECT_EQ(FindRowByAddress(kIp1 + 5), 1);
    EXPECT_EQ(FindRowByAddress(kIp1), 0);
    // The files are written when the client takes its lease, not at the offers.
    EXPECT_EQ(iConfigured, 0);
    Ack(1, kIp1 + 5, 0, 11);
    Ack(1, kIp1 + 5, 0, 11);
    EXPECT_EQ(Status(1), std::string("Requesting IP address(BIOS ARM64)") + MSG_Text(145));
    EXPECT_EQ(iConfigured, 2);
}

TEST_F(ClientTableTest, ProxyRowTakesTheAddressTheClientNames)
{
    Offer(1, 0);  // a proxy's offer: no address yet
    ASSERT_EQ(ClientRows().size(), 1u);
    EXPECT_EQ(ClientRows()[0].strAddress, "0.0.0.0");
    QVDHCP_ClientEvent stEvent;
    stEvent.uiIsPXE = 1;
    const uint8_t aucMac[6] = {0x52, 0x54, 0x00, 0xAB, 0x00, 1};
    memcpy(stEvent.aucMac, aucMac, 6);
    stEvent.uiAddress = kIp1;
    vecChanges.clear();
    OnDhcpEvent(QVDHCP_EVENT_ACK, &stEvent);
    DrainNotifications();
    ASSERT_EQ(ClientRows().size(), 1u);
    EXPECT_EQ(ClientRows()[0].strAddress, "10.77.0.100");
    EXPECT_EQ(vecChanges.size(), 1u);
    // Its boot-file download then lands on that row, not on a new one.
    Tftp(QVTFTP_EVENT_START, kIp1, "pxelinux.1408.0", 100, 0);
    EXPECT_EQ(ClientRows().size(), 1u);
}

// A proxy client whose REQUEST we never heard: the source of its first TFTP or HTTP request,
// through the neighbour table, gives its row the address, once, and writes its files. A row that
// already has an address, or a MAC without a row, is never given one that way.
TEST_F(ClientTableTest, ProxyRowTakesTheSourceOfItsFirstFileRequest)
{
    struct Case {
        const char *pcName;
        bool bHttp;
        uint32_t uiRowAddress;  // of the row with the MAC behind the request's source
        uint8_t ucNeighbour;    // last byte of that MAC; 0: not in the neighbour table
        int iRowsAfter;
        const char *pcAddressAfter;
    } astCases[] = {
        {"TFTP from the proxy row's client", false, 0, 1, 1, "10.77.0.100"},
        {"HTTP from the proxy row's client", true, 0, 1, 1, "10.77.0.100"},
        {"source not in the neighbour table", false, 0, 0, 2, "0.0.0.0"},
        {"MAC of another client", false, 0, 9, 2, "0.0.0.0"},
        {"row that has an address", false, kIp1 + 7, 1, 2, "10.77.0.107"},
    };
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.pcName);
        ClearClients();
        CLIENTS_SetHooks([&] {
            ClientTableHooks stHooks;
            stHooks.fnDhcpRunning = stHooks.fnTftpRunning =
                stHooks.fnHttpRunning = [] { return true; };
            stHooks.fnConfigureClient = [this](const QVDHCP_ClientEvent *, uint32_t) {
                ++iConfigured;
                return false;
            };
            stHooks.fnIsBootFile = [](const std::string &strFile) {
                return strFile == "pxelinux.1408.0";
            };
            stHooks.fnNeighbourMac = [&stCase](uint32_t uiAddress, uint8_t aucMac[6]) {
                const uint8_t aucKnown[6] = {0x52, 0x54, 0x00, 0xAB, 0x00, stCase.ucNeighbour};
                memcpy(aucMac, aucKnown, 6);
                return uiAddress == kIp1 && stCase.ucNeighbour != 0;
            };
            return stHooks;
        }());
        Offer(1, stCase.uiRowAddress, 1, 7);
        iConfigured = 0;
        if (stCase.bHttp) {
            Http(1, kIp1, "/ISO1/install/vmlinuz");
            Http(1, kIp1, "/ISO1/install/initrd.gz");
        } else {
            Tftp(QVTFTP_EVENT_START, kIp1, "pxelinux.1408.0", 100, 0);
            Tftp(QVTFTP_EVENT_START, kIp1, "pxelinux.1408.0", 100, 0);
        }
        // An HTTP request from an unknown address adds no row; a TFTP boot-file request does.
        EXPECT_EQ(ClientRowCount(), stCase.bHttp && stCase.iRowsAfter == 2 ? 1 : stCase.iRowsAfter);
        EXPECT_EQ(ClientRows()[0].strAddress, stCase.pcAddressAfter);
        EXPECT_EQ(ClientRows()[0].strMac, "52-54-00-ab-00-01");
        bool bAdopted = stCase.iRowsAfter == 1;
        EXPECT_EQ(iConfigured, bAdopted ? 1 : (stCase.bHttp ? 0 : 1));
        if (bAdopted) {
            EXPECT_EQ(FindRowByAddress(kIp1), 1);
            EXPECT_NE(Status(1).find(stCase.bHttp ? "(HTTP" : "(TFTP"), std::string::npos)
                << Status(1);
        }
    }
}

// A flood of DISCOVERs from spoofed MACs: rows of offers nobody took are bounded by the limit and
// go with their offer; rows of clients that took their lease stay; a removed row's files go.
TEST_F(ClientTableTest, OfferedOnlyRowsAreBoundedAndAgeAckedRowsStay)
{
    CLIENTS_SetOfferLimit(3);
    for (uint8_t i = 1; i <= 5; ++i) {
        Offer(i, kIp1 + i);
    }
    ASSERT_EQ(ClientRowCount(), 3);
    Ack(2, kIp1 + 2);
    Ack(5, kIp1 + 5);  // its offer found the table full; taking the lease gives it a row
    ASSERT_EQ(ClientRowCount(), 4);
    EXPECT_EQ(iConfigured, 2);
    g_ullNow += CLIENTS_OFFER_AGE_MS;
    EXPECT_EQ(CLIENTS_AgeOffers(), 0u);  // not older than the offer's age yet
    g_ullNow += 1;
    DrainNotifications();
    ASSERT_EQ(ClientRowCount(), 2);
    EXPECT_EQ(vecRemoved, (std::vector<std::string>{"52-54-00-ab-00-01", "52-54-00-ab-00-03"}));
    EXPECT_EQ(FindRowByMac("52-54-00-AB-00-05"), 2);
    EXPECT_EQ(FindRowByAddress(kIp1 + 5), 2);
    EXPECT_EQ(FindRowByMac("52-54-00-ab-00-01"), 0);
    for (uint8_t i = 6; i <= 9; ++i) {
        Offer(i, kIp1 + i);
    }
    EXPECT_EQ(ClientRowCount(), 5);
    ASSERT_TRUE(DeleteClientRow(1));
    EXPECT_EQ(vecRemoved.back(), "52-54-00-ab-00-02");
    EXPECT_EQ(FindRowByMac("52-54-00-ab-00-05"), 1);
    EXPECT_EQ(FindRowByMac("52-54-00-ab-00-08"), 4);
    EXPECT_EQ(FindRowByAddress(kIp1 + 8), 4);
}

TEST_F(ClientTableTest, TftpProgressFailuresAndRowsAddedByBootFile)
{
    Offer(1, kIp1);
    struct Case {
        uint32_t uiCode;
        const char *pcFile;
        uint64_t ullSize, ullSent;
        uint32_t uiResult;
        const char *pcStatus;
    } astCases[] = {
        {QVTFTP_EVENT_START, "pxelinux.1408.0", 1000, 0, 0,
         "Downloading file(TFTP: 0.00%):pxelinux.1408.0"},
        {QVTFTP_EVENT_PROGRESS, "pxelinux.1408.0", 1000, 250, 0,
         "Downloading file(TFTP: 25.00%):pxelinux.1408.0"},
        {QVTFTP_EVENT_PROGRESS, "empty", 0, 0, 0, "Downloading file(TFTP: 100.00%):empty"},
        {QVTFTP_EVENT_END, "pxelinux.1408.0", 1000, 1000, 0,
         "Downloading file(TFTP: 100.00%):empty"},
        // Firmware that asks for the size and declines the options: no failure shown.
        {QVTFTP_EVENT_START, "pxelinux.1408.0", 1000, 0, 0,
         "Downloading file(TFTP: 0.00%):pxelinux.1408.0"},
        {QVTFTP_EVENT_END, "pxelinux.1408.0", 1000, 0, QVTFTP_ERR_UNSUPPORTED_OPT,
         "Downloading file(TFTP: 0.00%):pxelinux.1408.0"},
        {QVTFTP_EVENT_END, "big", 10, 5, 0x2008, "Download file(TFTP Fail0x00002008):big"},
        {QVTFTP_EVENT_END, "FERRIT/InstallFinish", 0, 0, 0x2004,
         "Download file(TFTP Fail0x00002004):FERRIT/InstallFinish"},
        {QVTFTP_EVENT_REQ_FAILED, "missing", 0, 0, 0x2004,
         "Download file(TFTP Fail0x00002004):missing"},
    };
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.pcStatus);
        Tftp(stCase.uiCode, kIp1, stCase.pcFile, stCase.ullSize, stCase.ullSent, stCase.uiResult);
        EXPECT_EQ(Status(1), stCase.pcStatus);
    }
    // A failed request for the finish marker (code 1) ends the installation, with the row's
    // token as the path element after it; without it, or with another, nothing changes.
    g_ullNow += (12 * 60 + 5) * 1000;
    std::string strToken = ClientToken(1);
    ASSERT_GE(strToken.size(), 16u);
    for (const std::string &strFile : std::vector<std::string>{
             "kickstart/FERRIT/InstallFinish", "kickstart/FERRIT/InstallFinish/",
             "kickstart/FERRIT/InstallFinish/" + strToken.substr(1),
             "kickstart/FERRIT/InstallFinish/x" + strToken}) {
        Tftp(QVTFTP_EVENT_REQ_FAILED, kIp1, strFile.c_str(), 0, 0, 0x2004);
        EXPECT_EQ(Status(1).find("Install Finished"), std::string::npos) << strFile;
    }
    Tftp(QVTFTP_EVENT_REQ_FAILED, kIp1, ("kickstart/FERRIT/InstallFinish/" + strToken).c_str(), 0,
         0, 0x2004);
    EXPECT_EQ(Status(1), "Install Finished(time: 12m5s)");

    // Unknown addresses: only the boot file adds a row, with MAC "N/A".
    Tftp(QVTFTP_EVENT_START, kIp1 + 1, "other.file", 10, 0);
    EXPECT_EQ(ClientRowCount(), 1);
    Tftp(QVTFTP_EVENT_START, kIp1 + 1, "pxelinux.1408.0", 10, 0);
    ASSERT_EQ(ClientRowCount(), 2);
    EXPECT_EQ(ClientRows()[1].strMac, "N/A");
    EXPECT_EQ(Status(2), "Requesting IP address");
    EXPECT_EQ(iConfigured, 1);
}

TEST_F(ClientTableTest, HttpStatusesFinishAndReports)
{
    Offer(1, kIp1);
    struct Case {
        uint32_t uiCode;
        const char *pcUri;
        uint64_t ullTotal, ullRemain;
        uint32_t uiStatus;
        const char *pcStatus;
    } astCases[] = {
        {QVHTTP_EVT_START, "/ISO1/vmlinuz", 100, 100, 200,
         "Downloading file: (HTTP) /ISO1/vmlinuz"},
        {QVHTTP_EVT_PROGRESS, "/ISO1/initrd", 200, 50, 200,
         "Downloading file: (HTTP: 75.00%) /ISO1/initrd"},
        {QVHTTP_EVT_PROGRESS, "/ISO1/initrd", 0, 0, 200, "Downloading file: (HTTP) /ISO1/initrd"},
        {QVHTTP_EVT_END, "/ISO1/nothing", 0, 0, 404,
         "Failed to download file: (HTTP) /ISO1/nothing"},
        {QVHTTP_EVT_END, "/ISO1/x [0-9]", 0, 0, 200,
         "Download file finished: (HTTP) /ISO1/x [0-9]"},
        {QVHTTP_EVT_END, "/kickstart/FERRIT/Install", 0, 0, 200, "Installing OS ..."},
        {QVHTTP_EVT_END, "/kickstart/FERRIT/InstallFinish", 0, 0, 200, "Installing OS ..."},
        {QVHTTP_EVT_END, "/kickstart/FERRIT/Reboot", 0, 0, 200, "Rebooting to finish install"},
    };
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.pcStatus);
        Http(stCase.uiCode, kIp1, stCase.pcUri, stCase.ullTotal, stCase.ullRemain, stCase.uiStatus);
        EXPECT_EQ(Status(1), stCase.pcStatus);
    }
    g_ullNow += 62000;
    Http(QVHTTP_EVT_END, kIp1, "/kickstart/PXEClientInstallEnd", 0, 0, 404,
         "GET /kickstart/PXEClientInstallEnd?mac=00-00-00-00-00-01");
    Http(QVHTTP_EVT_END, kIp1, "/kickstart/PXEClientInstallEnd", 0, 0, 404,
         "GET /kickstart/PXEClientInstallEnd?mac=00-00-00-00-00-01&token=guess");
    EXPECT_EQ(Status(1), "Rebooting to finish install");
    std::string strRequest =
        "GET /kickstart/PXEClientInstallEnd?mac=00-00-00-00-00-01&token=" + ClientToken(1);
    Http(QVHTTP_EVT_END, kIp1, "/kickstart/PXEClientInstallEnd", 0, 0, 404, strRequest.c_str());
    EXPECT_EQ(Status(1), "Install Finished(time: 1m2s)");
    // Finished rows ignore downloads, but not agent reports.
    Http(QVHTTP_EVT_START, kIp1, "/ISO1/vmlinuz", 10, 10);
    EXPECT_EQ(Status(1), "Install Finished(time: 1m2s)");
    Http(QVHTTP_EVT_END, kIp1, "/kickstart/virturl_report_client_info", 0, 0, 200,
         "GET /kickstart/virturl_report_client_info?vendor= ACME &pdt_serial=S1&pdt_name=Box");
    EXPECT_EQ(ClientRows()[0].stRecord.strVendor, "ACME");
    EXPECT_EQ(ClientRows()[0].stRecord.strSerial, "S1");
    EXPECT_EQ(ClientRows()[0].stRecord.strProduct, "");  // no "&" after the last value
    EXPECT_EQ(Status(1), "Install Finished(time: 1m2s)");
    Http(QVHTTP_EVT_END, kIp1, "/kickstart/FERRIT/Reboot");
    EXPECT_EQ(Status(1), "Rebooting to finish install");
    // HTTP never adds rows.
    Http(QVHTTP_EVT_START, kIp1 + 9, "/ISO1/vmlinuz", 10, 10);
    EXPECT_EQ(ClientRowCount(), 1);
}

TEST_F(ClientTableTest, EventsWhileStoppedAreDropped)
{
    ClientTableHooks stHooks;
    stHooks.fnDhcpRunning = [] { return false; };
    CLIENTS_SetHooks(stHooks);
    Offer(1, kIp1);
    EXPECT_EQ(ClientRowCount(), 0);
}

// What a client's boot menu reports over REST is logged and shown in that client's detail, and
// outlives the client's next DHCP offer; a report for an unknown MAC adds no row.
TEST_F(ClientTableTest, BootMenuReportsShowInTheDetail)
{
    TempDir stDir;
    int iLevel = LOG_GetLevel();
    LOG_SetLevel(2);
    LOG_SetFile(stDir / "t.log");
    LOG_Flush();
    Offer(1, kIp1, 1, 7);
    Offer(2, kIp1 + 1);
    KIV_REST_KsNotify stNote;
    const uint8_t aucMac[6] = {0x52, 0x54, 0x00, 0xAB, 0x00, 2};
    memcpy(stNote.aucMac, aucMac, 6);
    stNote.uiAddress = 0x0A000005;
    stNote.uiMask = 0xFFFFFF00;
    stNote.uiGateway = 0x0A000001;
    stNote.uiUefi = 1;
    OnRestNotify(&stNote);
    EXPECT_EQ(PendingNotifications(), 1u);
    vecChanges.clear();
    DrainNotifications();
    EXPECT_EQ(PendingNotifications(), 0u);
    EXPECT_EQ(vecChanges.size(), 1u);
    ClientDetail stDetail;
    ASSERT_TRUE(GetClientDetail(2, &stDetail));
    const char *pcShown = "IP 10.0.0.5 mask 255.255.255.0 gateway 10.0.0.1 (UEFI)";
    EXPECT_EQ(stDetail.strPimNetwork, pcShown);
    ASSERT_TRUE(GetClientDetail(1, &stDetail));
    EXPECT_EQ(stDetail.strPimNetwork, "");
    Offer(2, kIp1 + 1);
    ASSERT_TRUE(GetClientDetail(2, &stDetail));
    EXPECT_EQ(stDetail.strPimNetwork, pcShown);

    stNote.aucMac[5] = 9;
    OnRestNotify(&stNote);
    DrainNotifications();
    EXPECT_EQ(ClientRowCount(), 2);
    LOG_Flush();
    LOG_SetLevel(iLevel);
    std::string strLog = ReadFile(stDir / "t.log");
    EXPECT_NE(strLog.find("PIM notify MAC:52-54-00-ab-00-02 " + std::string(pcShown)),
              std::string::npos);
    EXPECT_NE(strLog.find("PIM notify MAC:52-54-00-ab-00-09 2 not found."), std::string::npos);
}

TEST_F(ClientTableTest, DeletingRowThreeOfFiveAndAdmissionOfFinishedClients)
{
    for (uint8_t i = 1; i <= 5; ++i) {
        Offer(i, kIp1 + i);
    }
    MarkFinished(3, MSG_Text(114));
    const uint8_t aucMac3[6] = {0x52, 0x54, 0x00, 0xAB, 0x00, 3};
    const uint8_t aucMac4[6] = {0x52, 0x54, 0x00, 0xAB, 0x00, 4};
    EXPECT_EQ(AdmitClient(1, 0, aucMac3), 0);
    EXPECT_EQ(AdmitClient(1, 0, aucMac4), 1);
    EXPECT_FALSE(DeleteClientRowAsked(2));  // not finished: not offered
    ASSERT_TRUE(DeleteClientRowAsked(3));   // the headless answer is the default Yes
    ASSERT_EQ(ClientRowCount(), 4);
    std::vector<ClientRow> vecRows = ClientRows();
    EXPECT_EQ(vecRows[1].strMac, "52-54-00-ab-00-02");
    EXPECT_EQ(vecRows[2].strMac, "52-54-00-ab-00-04");
    EXPECT_EQ(vecRows[3].strMac, "52-54-00-ab-00-05");
    EXPECT_EQ(AdmitClient(1, 0, aucMac3), 1);
    EXPECT_FALSE(DeleteClientRow(5));
}

TEST_F(ClientTableTest, DetailOfRunningAndFinishedRows)
{
    Offer(1, kIp1, 1, 11);
    g_ullNow += 125000;
    ClientDetail stDetail;
    ASSERT_TRUE(GetClientDetail(1, &stDetail));
    EXPECT_EQ(stDetail.strBiosMode, "UEFI ARM64");
    EXPECT_EQ(stDetail.ullMinutes, 2u);
    EXPECT_EQ(stDetail.ullSeconds, 5u);
    EXPECT_FALSE(stDetail.strStartTime.empty());
    MarkFinished(1, MSG_Text(114));
    ASSERT_TRUE(GetClientDetail(1, &stDetail));
    EXPECT_TRUE(stDetail.strStartTime.empty());
    EXPECT_EQ(stDetail.ullMinutes, 2u);
    EXPECT_EQ(stDetail.ullSeconds, 5u);
}

TEST(Admission, MacFilterModesAndPatterns)
{
    ClearClients();
    const uint8_t aucMac[6] = {0x00, 0x1B, 0x21, 0x6B, 0x8B, 0x2F};
    struct Case {
        bool bDeny;
        std::vector<std::string> vecPatterns;
        bool bAllowed;
    } astCases[] = {
        {true, {}, true},
        {false, {}, false},
        {true, {"00-1b-21-6b-8b-2*"}, false},
        {true, {"00-1b-21-6b-8b-**"}, false},
        {true, {"00-1b-21-6b-8b-20"}, true},
        {false, {"00-1b-21-6b-8b-20", "00-1B-21-6B-8B-2F"}, true},
        {false, {"00-1b-21-6b-8b-3*"}, false},
    };
    for (const Case &stCase : astCases) {
        SetMacFilter(stCase.bDeny, stCase.vecPatterns);
        EXPECT_EQ(MacFilterAllows(aucMac), stCase.bAllowed);
        EXPECT_EQ(AdmitClient(1, 1, aucMac), stCase.bAllowed ? 1 : 0);
    }
    SetMacFilter(true, {});
    EXPECT_TRUE(MacPatternMatches("**", "ab"));
    EXPECT_TRUE(MacPatternMatches("ab", "*B"));
    EXPECT_FALSE(MacPatternMatches("ab", "abc"));
}

TEST(Admission, PatternFormsAndListFiles)
{
    std::string strPattern;
    EXPECT_TRUE(NormalizeMacPattern(" 00:1b:21:6b:8b:20 ", &strPattern));
    EXPECT_EQ(strPattern, "00-1b-21-6b-8b-20");
    for (const char *pcBad : {"00-1b-21-6b-8b", "00-1b-21-6b-8b-2g", "001b216b8b20", ""}) {
        EXPECT_FALSE(NormalizeMacPattern(pcBad, &strPattern)) << pcBad;
    }
    char szDir[] = "/tmp/kiv-maclist-XXXXXX";
    ASSERT_NE(g_mkdtemp(szDir), nullptr);
    std::string strIn = std::string(szDir) + "/in.txt";
    std::string strOut = std::string(szDir) + "/tmp_mac_list.txt";
    ASSERT_TRUE(g_file_set_contents(
        strIn.c_str(), "00:1b:21:6b:8b:20\r\nnot a mac\n  AA-BB-CC-DD-EE-**\n", -1, nullptr));
    std::vector<std::string> vecList{"old"};
    EXPECT_EQ(ImportMacList(strIn, &vecList), 2);
    EXPECT_EQ(vecList, (std::vector<std::string>{"00-1b-21-6b-8b-20", "AA-BB-CC-DD-EE-**"}));
    EXPECT_EQ(ImportMacList(std::string(szDir) + "/missing.txt", &vecList), -1);
    EXPECT_EQ(vecList.size(), 2u);
    ASSERT_TRUE(ExportMacList(strOut, vecList));
    gchar *pcText = nullptr;
    ASSERT_TRUE(g_file_get_contents(strOut.c_str(), &pcText, nullptr, nullptr));
    EXPECT_STREQ(pcText, "00-1b-21-6b-8b-20\nAA-BB-CC-DD-EE-**\n");
    g_free(pcText);
    EXPECT_FALSE(ExportMacList(std::string(szDir) + "/no/such/dir/x.txt", vecList));
    remove(strIn.c_str());
    remove(strOut.c_str());
    rmdir(szDir);
}

TEST(Admission, Architecture)
{
    PluginOsInfo stX86, stArm;
    stX86.strArch = "X86_64";
    stArm.strArch = "arm64";
    EXPECT_TRUE(CheckClientArchitecture(stX86, 11));
    EXPECT_FALSE(CheckClientArchitecture(stX86, 7));
    EXPECT_TRUE(CheckClientArchitecture(stArm, 0));
    EXPECT_FALSE(CheckClientArchitecture(stArm, 11));
}

TEST_F(ClientTableTest, EachRowHasItsOwnTokenFromItsFirstOfferOn)
{
    std::string strSeenByHook;
    ClientTableHooks stHooks;
    stHooks.fnHttpRunning = stHooks.fnTftpRunning = stHooks.fnDhcpRunning = [] { return true; };
    stHooks.fnConfigureClient = [&](const QVDHCP_ClientEvent *pstEvent, uint32_t) {
        // The client's files are written with the token: the row exists already.
        strSeenByHook = ClientToken(FindRowByMac(QV_MacText(pstEvent->aucMac)));
        return false;
    };
    CLIENTS_SetHooks(stHooks);
    Offer(1, kIp1);
    Ack(1, kIp1);  // the files are written when the client takes its lease
    std::string strFirst = ClientToken(1);
    EXPECT_EQ(strSeenByHook, strFirst);
    EXPECT_EQ(strFirst.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyz"),
              std::string::npos);
    Offer(1, kIp1);
    EXPECT_EQ(ClientToken(1), strFirst);
    Offer(2, kIp1 + 1);
    EXPECT_NE(ClientToken(2), strFirst);
    EXPECT_EQ(ClientToken(3), "");
}

TEST_F(ClientTableTest, NetworkTextReachesStatusesOnlyPrintable)
{
    Offer(1, kIp1);
    Tftp(QVTFTP_EVENT_REQ_FAILED, kIp1, "x\nCLIENT 52-54-00-ab-00-01 10.0.0.1 - Install\xff", 0, 0,
         0x2004);
    EXPECT_EQ(Status(1), "Download file(TFTP Fail0x00002004):x\\x0aCLIENT 52-54-00-ab-00-01 "
                         "10.0.0.1 - Install\\xff");
    Http(QVHTTP_EVT_END, kIp1, "/kickstart/virturl_report_client_info", 0, 0, 200,
         "GET /kickstart/virturl_report_client_info?vendor=A\r\nB&pdt_serial=S&pdt_name=P&x");
    EXPECT_EQ(ClientRows()[0].stRecord.strVendor, "A\\x0d\\x0aB");
}
