// Roots added while both file services run and transfer: every download (TFTP on a per-transfer
// port, HTTP on a keep-nothing connection) still delivers the file byte for byte, and every new
// root serves at once. Built with KIV_SANITIZE=thread this is the race check of the root tables.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "qvhttp.h"
#include "qvtftp.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t LOOPBACK = 0x7f000001;

std::string Sha256(const std::string &strData)
{
    gchar *pcSum = g_compute_checksum_for_data(
        G_CHECKSUM_SHA256, reinterpret_cast<const guchar *>(strData.data()), strData.size());
    std::string strSum = pcSum;
    g_free(pcSum);
    return strSum;
}

sockaddr_in Loopback(uint16_t usPort)
{
    sockaddr_in stAddr = {};
    stAddr.sin_family = AF_INET;
    stAddr.sin_addr.s_addr = htonl(LOOPBACK);
    stAddr.sin_port = htons(usPort);
    return stAddr;
}

// A port nobody listens on right now.
uint16_t FreePort(int iType)
{
    const int iSock = socket(AF_INET, iType, 0);
    sockaddr_in stAddr = Loopback(0);
    socklen_t uiLen = sizeof(stAddr);
    uint16_t usPort = 0;
    if (bind(iSock, reinterpret_cast<sockaddr *>(&stAddr), sizeof(stAddr)) == 0 &&
        getsockname(iSock, reinterpret_cast<sockaddr *>(&stAddr), &uiLen) == 0) {
        usPort = ntohs(stAddr.sin_port);
    }
    close(iSock);
    return usPort;
}

// A plain octet download without options; the file, or "<error>" when the server refuses or
// stops answering.
std::string TftpGet(uint16_t usPort, const std::string &strName)
{
    const int iSock = socket(AF_INET, SOCK_DGRAM, 0);
    timeval stWait{10, 0};
    setsockopt(iSock, SOL_SOCKET, SO_RCVTIMEO, &stWait, sizeof(stWait));
    std::string strReq("\0\1", 2);
    strReq += strName + std::string("\0octet\0", 7);
    sockaddr_in stServer = Loopback(usPort);
    sendto(iSock, strReq.data(), strReq.size(), 0, reinterpret_cast<sockaddr *>(&stServer),
           sizeof(stServer));
    std::string strData;
    uint16_t usNext = 1;
    for (;;) {
        unsigned char aucPkt[600];
        sockaddr_in stFrom = {};
        socklen_t uiLen = sizeof(stFrom);
        const ssize_t lGot = recvfrom(iSock, aucPkt, sizeof(aucPkt), 0,
                                      reinterpret_cast<sockaddr *>(&stFrom), &uiLen);
        if (lGot < 4 || aucPkt[1] != 3) {
            close(iSock);
            return "<error>";
        }
        const uint16_t usBlock = static_cast<uint16_t>(aucPkt[2] << 8 | aucPkt[3]);
        if (usBlock == usNext) {
            strData.append(reinterpret_cast<char *>(aucPkt) + 4, static_cast<size_t>(lGot - 4));
            ++usNext;
        }
        const unsigned char aucAck[4] = {0, 4, aucPkt[2], aucPkt[3]};
        sendto(iSock, aucAck, sizeof(aucAck), 0, reinterpret_cast<sockaddr *>(&stFrom), uiLen);
        if (usBlock + 1 == usNext && lGot < 516) {
            close(iSock);
            return strData;
        }
    }
}

// The body of a GET on a connection the client closes after the reply; "<error>" when the
// status is not 200.
std::string HttpGet(uint16_t usPort, const std::string &strPath)
{
    const int iSock = socket(AF_INET, SOCK_STREAM, 0);
    timeval stWait{10, 0};
    setsockopt(iSock, SOL_SOCKET, SO_RCVTIMEO, &stWait, sizeof(stWait));
    sockaddr_in stServer = Loopback(usPort);
    if (connect(iSock, reinterpret_cast<sockaddr *>(&stServer), sizeof(stServer)) != 0) {
        close(iSock);
        return "<error>";
    }
    const std::string strReq =
        "GET " + strPath + " HTTP/1.0\r\nHost: test\r\nConnection: close\r\n\r\n";
    send(iSock, strReq.data(), strReq.size(), MSG_NOSIGNAL);
    std::string strReply;
    char acBuf[65536];
    for (ssize_t lGot; (lGot = recv(iSock, acBuf, sizeof(acBuf), 0)) > 0;) {
        strReply.append(acBuf, static_cast<size_t>(lGot));
    }
    close(iSock);
    const size_t uiBody = strReply.find("\r\n\r\n");
    if (strReply.compare(0, 12, "HTTP/1.1 200") != 0 || uiBody == std::string::npos) {
        return "<error>";
    }
    return strReply.substr(uiBody + 4);
}

class QvRootsLive : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_stDir = fs::temp_directory_path() / ("roots_live_" + std::to_string(getpid()));
        fs::remove_all(m_stDir);
        fs::create_directories(m_stDir / "files");
        std::mt19937 stRandom(20);
        m_strFile.resize(200 * 1024 + 17);
        for (char &c : m_strFile) {
            c = static_cast<char>(stRandom());
        }
        std::ofstream(m_stDir / "files/big.bin", std::ios::binary) << m_strFile;

        QVTFTP_Init();
        QVTFTP_CFG_Conf stConf = QVTFTP_CFG_GetConf();
        stConf.uiServerIp = LOOPBACK;
        const QVTFTP_CFG_Root stRoot{nullptr, "", (m_stDir / "files").string(), {}};
        ASSERT_EQ(0u, QVTFTP_CFG_AddRootPath(&stRoot));
        uint32_t uiRet = QVTFTP_ERR_PORT_IN_USE;
        for (int iTry = 0; iTry < 20 && uiRet == QVTFTP_ERR_PORT_IN_USE; ++iTry) {
            stConf.usPort = FreePort(SOCK_DGRAM);
            ASSERT_EQ(0u, QVTFTP_CFG_SetConf(&stConf));
            uiRet = QVTFTP_Start(&m_pstTftp);
        }
        ASSERT_EQ(0u, uiRet);
        m_usTftpPort = stConf.usPort;

        QVHTTP_Init();
        ASSERT_EQ(0u, QVHTTP_CFG_AddRootPath({nullptr, "files", (m_stDir / "files").string(), {}}));
        uiRet = QVHTTP_ERR_PORT_IN_USE;
        for (int iTry = 0; iTry < 20 && uiRet == QVHTTP_ERR_PORT_IN_USE; ++iTry) {
            m_usHttpPort = FreePort(SOCK_STREAM);
            QVHTTP_CFG_SetAddr(LOOPBACK, m_usHttpPort);
            uiRet = QVHTTP_Start(&m_pstHttp);
        }
        ASSERT_EQ(0u, uiRet);
    }

    void TearDown() override
    {
        if (m_pstHttp != nullptr) {
            QVHTTP_Stop(m_pstHttp);
        }
        QVHTTP_CFG_ClearRoots();
        QVHTTP_Deinit();
        if (m_pstTftp != nullptr) {
            QVTFTP_Stop(m_pstTftp);
        }
        QVTFTP_Deinit();
        fs::remove_all(m_stDir);
    }

    fs::path m_stDir;
    std::string m_strFile;
    GThread *m_pstTftp = nullptr;
    GThread *m_pstHttp = nullptr;
    uint16_t m_usTftpPort = 0;
    uint16_t m_usHttpPort = 0;
};

TEST_F(QvRootsLive, RootsAddedWhileTransfersRun)
{
    const std::string strWanted = Sha256(m_strFile);
    std::atomic<bool> bAdding{true};
    std::atomic<int> iBad{0};
    std::atomic<int> iDone{0};
    auto fnClient = [&](bool bTftp) {
        // At least two downloads each, and on until every root is in.
        for (int i = 0; i < 2 || bAdding; ++i) {
            const std::string strGot =
                bTftp ? TftpGet(m_usTftpPort, "big.bin") : HttpGet(m_usHttpPort, "/files/big.bin");
            iBad += Sha256(strGot) != strWanted ? 1 : 0;
            ++iDone;
        }
    };
    std::vector<std::thread> vecClients;
    for (int i = 0; i < 2; ++i) {
        vecClients.emplace_back(fnClient, true);
        vecClients.emplace_back(fnClient, false);
    }
    const std::string strDir = (m_stDir / "files").string();
    for (unsigned i = 1; i < QV_ROOT_SLOTS; ++i) {
        const std::string strPrefix = "more" + std::to_string(i);
        const QVTFTP_CFG_Root stRoot{nullptr, strPrefix, strDir, {}};
        EXPECT_EQ(0u, QVTFTP_CFG_AddRootPath(&stRoot));
        EXPECT_EQ(0u, QVHTTP_CFG_AddRootPath({nullptr, strPrefix, strDir, {}}));
        // The new root serves at once, on both services.
        EXPECT_EQ(strWanted, Sha256(TftpGet(m_usTftpPort, strPrefix + "/big.bin"))) << strPrefix;
        EXPECT_EQ(strWanted, Sha256(HttpGet(m_usHttpPort, "/" + strPrefix + "/big.bin")))
            << strPrefix;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    bAdding = false;
    for (std::thread &stClient : vecClients) {
        stClient.join();
    }
    EXPECT_EQ(0, iBad.load());
    EXPECT_GE(iDone.load(), 8);
    const QVTFTP_CFG_Root stFull{nullptr, "full", strDir, {}};
    EXPECT_EQ(QVTFTP_ERR_NO_SLOT, QVTFTP_CFG_AddRootPath(&stFull));
    EXPECT_EQ(QVHTTP_ERR_NO_SLOT, QVHTTP_CFG_AddRootPath({nullptr, "full", strDir, {}}));
}

}  // namespace
