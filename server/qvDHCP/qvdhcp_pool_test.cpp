// The address pool's allocation rules, the lease database and its file, and address text checks.
#include "qvdhcp.h"
#include "qvdhcp_leasedb.h"
#include "qvdhcp_test_support.h"

#include "qv_text.h"

#include <fstream>
#include <optional>
#include <sstream>

namespace {

constexpr uint32_t kStart = 0x0A000064;  // 10.0.0.100
constexpr uint32_t kMask = 0xFFFFFF00;
constexpr uint32_t kRouter = 0x0A000001;

// MAC number n: 02-00-00-00-00-n.
struct TestMac {
    uint8_t auc[6];
    explicit TestMac(uint8_t n) : auc{2, 0, 0, 0, 0, n} {}
    operator const uint8_t *() const { return auc; }
};

std::string MacText(uint8_t n)
{
    return QV_MacText(TestMac(n));
}

using Db = std::vector<std::pair<std::string, uint32_t>>;

class PoolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        InstallTestLog();
        ASSERT_EQ(QVDHCP_Init(), 0);
        QVDHCP_CFG_SetMask(kMask);
        QVDHCP_CFG_SetRouter(kRouter);
        LEASEDB_Clear();
    }
    void TearDown() override
    {
        QVDHCP_Deinit();
        LEASEDB_Clear();
    }
    static void MakePool(uint32_t uiCount)
    {
        QVDHCP_CFG_SetIPRange(kStart, kStart + uiCount - 1);
        ASSERT_EQ(QVDHCP_CFG_CreateIpMap(), 0);
    }
};

// One allocation from a prepared pool and database: the address taken (offset into the pool,
// none for a failure) and the database afterwards.
struct AllocCase {
    const char *pcName;
    uint32_t uiPoolSize;
    std::vector<uint8_t> vecMap;                     // initial map bytes, index = offset
    std::vector<std::pair<uint8_t, int64_t>> vecDb;  // (MAC number, offset; may lie outside)
    std::optional<uint32_t> optExpect;
    std::vector<std::pair<uint8_t, int64_t>> vecDbAfter;
    const char *pcLog;  // a line the allocation must log, or nullptr
};

TEST_F(PoolTest, AllocIPFollowsTheDatabaseAndScanRules)
{
    const uint8_t N = 1;  // the requesting MAC
    const AllocCase astCases[] = {
        {"remembered free address is reused",
         4,
         {},
         {{7, 3}, {N, 2}},
         2,
         {{7, 3}, {N, 2}},
         "alloc DB ip from pool 10.0.0.102"},
        {"remembered address outside the pool is dropped",
         3,
         {},
         {{N, 9}},
         0,
         {{N, 0}},
         "Now delete dhcp db 02-00-00-00-00-01 10.0.0.109"},
        {"remembered address below the pool is dropped",
         3,
         {},
         {{N, -1}},
         0,
         {{N, 0}},
         "Now delete dhcp db 02-00-00-00-00-01 10.0.0.99"},
        {"remembered address in use is dropped", 3, {0, 1}, {{N, 1}}, 0, {{N, 0}}, nullptr},
        {"remembered bad address is dropped", 3, {2, 0, 2}, {{N, 2}}, 1, {{N, 1}}, nullptr},
        {"addresses remembered for others are skipped",
         3,
         {},
         {{7, 0}, {8, 1}},
         2,
         {{7, 0}, {8, 1}, {N, 2}},
         "IP 10.0.0.101 is in DB, try next"},
        {"all remembered: the lowest free one is taken from its owner",
         2,
         {},
         {{7, 0}, {8, 1}},
         0,
         {{8, 1}, {N, 0}},
         "Skip DB failed, now use 10.0.0.100"},
        {"fallback skips used and bad addresses",
         4,
         {1, 2, 0, 0},
         {{7, 2}, {8, 3}},
         2,
         {{8, 3}, {N, 2}},
         "Skip DB failed, now use 10.0.0.102"},
        {"bad and used addresses are never scanned", 3, {2, 1, 0}, {}, 2, {{N, 2}}, nullptr},
        {"full pool fails and keeps the database",
         2,
         {1, 2},
         {{7, 0}},
         std::nullopt,
         {{7, 0}},
         nullptr},
        {"single-address pool", 1, {}, {}, 0, {{N, 0}}, "alloc ip from pool 10.0.0.100"},
    };
    for (const AllocCase &stCase : astCases) {
        SCOPED_TRACE(stCase.pcName);
        LEASEDB_Clear();
        MakePool(stCase.uiPoolSize);
        TestLogLines().clear();
        for (size_t i = 0; i < stCase.vecMap.size(); ++i) {
            g_pucDHCPIpMap[i] = stCase.vecMap[i];
        }
        for (auto [ucMac, llOff] : stCase.vecDb) {
            LEASEDB_Put(TestMac(ucMac), uint32_t(kStart + llOff));
        }
        QVDHCP_AllocResult stOut;
        int iRet = QVDHCP_CFG_AllocIP(TestMac(N), &stOut);
        if (stCase.optExpect) {
            ASSERT_EQ(iRet, 0);
            EXPECT_EQ(stOut.uiAddress, kStart + *stCase.optExpect);
            EXPECT_EQ(stOut.uiMask, kMask);
            EXPECT_EQ(stOut.uiRouter, kRouter);
            EXPECT_EQ(g_pucDHCPIpMap[*stCase.optExpect], QVDHCP_IP_USED);
        } else {
            EXPECT_EQ(iRet, QV_ERR_FAILED);
        }
        Db vecExpect;
        for (auto [ucMac, llOff] : stCase.vecDbAfter) {
            vecExpect.emplace_back(MacText(ucMac), uint32_t(kStart + llOff));
        }
        EXPECT_EQ(LEASEDB_Snapshot(), vecExpect);
        if (stCase.pcLog != nullptr) {
            EXPECT_TRUE(TestLogHas(stCase.pcLog)) << stCase.pcLog;
        }
    }
}

TEST_F(PoolTest, FixedAllocationFreeBadAndJudge)
{
    MakePool(4);  // 10.0.0.100 .. 10.0.0.103
    const uint32_t uiOutside = kStart + 4;
    QVDHCP_AllocResult stOut;

    struct FixedCase {
        const char *pcName;
        uint8_t ucMapByte;
        uint32_t uiAddress;
        int iResult;
    } astFixed[] = {
        {"free address", QVDHCP_IP_FREE, kStart + 1, 0},
        {"address in use", QVDHCP_IP_USED, kStart + 2, QV_ERR_FAILED},
        {"bad address", QVDHCP_IP_BAD, kStart + 3, QV_ERR_FAILED},
        {"above the pool", QVDHCP_IP_FREE, uiOutside, QV_ERR_FAILED},
        {"below the pool", QVDHCP_IP_FREE, kStart - 1, QV_ERR_FAILED},
    };
    for (const FixedCase &stCase : astFixed) {
        SCOPED_TRACE(stCase.pcName);
        LEASEDB_Clear();
        if (stCase.uiAddress >= kStart && stCase.uiAddress < uiOutside) {
            g_pucDHCPIpMap[stCase.uiAddress - kStart] = stCase.ucMapByte;
        }
        EXPECT_EQ(QVDHCP_CFG_AllocFixedIP(TestMac(5), stCase.uiAddress, &stOut), stCase.iResult);
        Db vecExpect;
        if (stCase.iResult == 0) {
            vecExpect.emplace_back(MacText(5), stCase.uiAddress);
            EXPECT_EQ(g_pucDHCPIpMap[stCase.uiAddress - kStart], QVDHCP_IP_USED);
            EXPECT_EQ(stOut.uiAddress, stCase.uiAddress);
        }
        EXPECT_EQ(LEASEDB_Snapshot(), vecExpect);
    }
    EXPECT_TRUE(TestLogHas("Invalid IP 167772264 to alloc fixed."));

    // Map now: [0, 1, 1, 2]. Judge every state and outside addresses.
    const std::pair<uint32_t, int> astFree[] = {
        {kStart, 1}, {kStart + 1, 0}, {kStart + 3, 0}, {uiOutside, 0}, {kStart - 1, 0}};
    for (auto [uiIp, iFree] : astFree) {
        EXPECT_EQ(QVDHCP_CFG_IsIPFree(TestMac(5), uiIp), iFree) << QV_IpText(uiIp);
    }
    EXPECT_TRUE(TestLogHas("Invalid IP 167772264 to judge."));

    // Marking bad: a free address turns bad, one in use stays in use, outside is ignored.
    QVDHCP_CFG_SetIPBad(kStart);
    QVDHCP_CFG_SetIPBad(kStart + 1);
    QVDHCP_CFG_SetIPBad(uiOutside);
    EXPECT_EQ(g_pucDHCPIpMap[0], QVDHCP_IP_BAD);
    EXPECT_EQ(g_pucDHCPIpMap[1], QVDHCP_IP_USED);
    EXPECT_TRUE(TestLogHas("Invalid IP 167772264 to free."));

    // Freeing returns the address but keeps the database's pairing.
    LEASEDB_Put(TestMac(5), kStart + 1);
    QVDHCP_CFG_FreeIP(kStart + 1);
    QVDHCP_CFG_FreeIP(uiOutside);
    EXPECT_EQ(g_pucDHCPIpMap[1], QVDHCP_IP_FREE);
    EXPECT_EQ(LEASEDB_Snapshot(), (Db{{MacText(5), kStart + 1}}));

    // A declined address stays out of every scan until the map is made again.
    LEASEDB_Clear();
    ASSERT_EQ(QVDHCP_CFG_AllocIP(TestMac(6), &stOut), 0);
    EXPECT_EQ(stOut.uiAddress, kStart + 1);
    ASSERT_EQ(QVDHCP_CFG_CreateIpMap(), 0);
    ASSERT_EQ(QVDHCP_CFG_AllocIP(TestMac(7), &stOut), 0);
    EXPECT_EQ(stOut.uiAddress, kStart);
}

TEST_F(PoolTest, EmptyRangeMakesNoMap)
{
    QVDHCP_CFG_SetIPRange(kStart, kStart - 1);
    EXPECT_EQ(QVDHCP_CFG_CreateIpMap(), QV_ERR_FAILED);
    QVDHCP_AllocResult stOut;
    EXPECT_EQ(QVDHCP_CFG_AllocIP(TestMac(1), &stOut), QV_ERR_FAILED);
    EXPECT_EQ(QVDHCP_CFG_IsIPFree(TestMac(1), kStart), 0);
}

TEST_F(PoolTest, LeasePutKeepsOneRecordPerMacAndAddress)
{
    LEASEDB_Put(TestMac(1), 10);
    LEASEDB_Put(TestMac(2), 20);
    LEASEDB_Put(TestMac(3), 30);
    LEASEDB_Put(TestMac(1), 20);  // drops MAC 1's old record and MAC 2's record of 20
    EXPECT_EQ(LEASEDB_Snapshot(), (Db{{MacText(3), 30}, {MacText(1), 20}}));
    uint32_t uiIp = 0;
    EXPECT_EQ(LEASEDB_FindIPByMAC(TestMac(1), &uiIp), 0);
    EXPECT_EQ(uiIp, 20u);
    EXPECT_EQ(LEASEDB_FindIPByMAC(TestMac(2), &uiIp), LEASEDB_ERR_NOT_FOUND);
    EXPECT_EQ(LEASEDB_HasIP(30), 1);
    EXPECT_EQ(LEASEDB_HasIP(10), 0);
    LEASEDB_DeleteByMAC(TestMac(3));
    EXPECT_EQ(LEASEDB_Snapshot(), (Db{{MacText(1), 20}}));
}

std::string ReadFile(const char *pcPath)
{
    std::ifstream stIn(pcPath, std::ios::binary);
    std::stringstream ss;
    ss << stIn.rdbuf();
    return ss.str();
}

void WriteFile(const char *pcPath, const std::string &strText)
{
    std::ofstream(pcPath, std::ios::binary) << strText;
}

TEST_F(PoolTest, SaveThenLoadKeepsOrder)
{
    TempDataDir stDir;
    // Insertion order differs from MAC and address order.
    LEASEDB_Put(TestMac(9), kStart + 5);
    LEASEDB_Put(TestMac(1), kStart + 7);
    LEASEDB_Put(TestMac(4), kStart);
    Db vecBefore = LEASEDB_Snapshot();
    ASSERT_EQ(LEASEDB_Save(kStart, 10), 0);

    std::string strText = ReadFile("conf/dhcp_db.json");
    EXPECT_NE(strText.find("\"startip\" : 167772260"), std::string::npos) << strText;
    EXPECT_NE(strText.find("\"ipnum\" : 10"), std::string::npos);
    EXPECT_NE(strText.find("\"mac\" : \"02-00-00-00-00-09\""), std::string::npos);
    EXPECT_NE(strText.find("\"ip\" : \"10.0.0.105\""), std::string::npos);
    EXPECT_EQ(strText.back(), '\n');
    EXPECT_LT(strText.find("02-00-00-00-00-09"), strText.find("02-00-00-00-00-01"));
    GDir *pstDir = g_dir_open("conf", 0, nullptr);
    ASSERT_NE(pstDir, nullptr);
    std::vector<std::string> vecNames;
    while (const char *pcName = g_dir_read_name(pstDir)) {
        vecNames.emplace_back(pcName);
    }
    g_dir_close(pstDir);
    EXPECT_EQ(vecNames, std::vector<std::string>{"dhcp_db.json"});  // no temporary left behind

    LEASEDB_Clear();
    ASSERT_EQ(LEASEDB_Load(kStart, 10), 0);
    EXPECT_EQ(LEASEDB_Snapshot(), vecBefore);
}

TEST_F(PoolTest, LoadRecoversOnlyWhenTheStoredRangeFits)
{
    TempDataDir stDir;
    LEASEDB_SetLogSink({TestLogSink, 4});
    const uint32_t uiStored = 0x0A00000A;  // 10.0.0.10, 20 addresses
    LEASEDB_Put(TestMac(1), uiStored + 3);
    ASSERT_EQ(LEASEDB_Save(uiStored, 20), 0);
    struct RangeCase {
        uint32_t uiStart, uiCount;
        bool bRecovers;
        const char *pcLog;
    } astCases[] = {
        {0x0A000001, 50, true,
         "IP range valid Last:[10.0.0.10-10.0.0.30) Now:[10.0.0.1-10.0.0.51), now recover"},
        {0x0A000015, 50, false,
         "IP range changed Last:[10.0.0.10-10.0.0.30) Now:[10.0.0.21-10.0.0.71), no need"},
        {uiStored, 20, true, "IP range valid"},
        {uiStored, 19, false, "IP range changed"},
        {uiStored - 1, 20, false, "IP range changed"},
        {0xFFFFFF00, 256, false, "Now:[255.255.255.0-0.0.0.0)"},
    };
    for (const RangeCase &stCase : astCases) {
        SCOPED_TRACE(stCase.pcLog);
        LEASEDB_Clear();
        TestLogLines().clear();
        EXPECT_EQ(LEASEDB_Load(stCase.uiStart, stCase.uiCount), 0);
        EXPECT_EQ(LEASEDB_Snapshot().size(), stCase.bRecovers ? 1u : 0u);
        EXPECT_TRUE(TestLogHas(stCase.pcLog));
        EXPECT_EQ(TestLogHas("4 recover dhcp db MAC:02-00-00-00-00-01 IP:10.0.0.13"),
                  stCase.bRecovers);
    }
    LEASEDB_SetLogSink({});
}

TEST_F(PoolTest, LoadSkipsDamagedElementsAndRejectsDamagedFiles)
{
    TempDataDir stDir;
    LEASEDB_SetLogSink({TestLogSink, 4});
    WriteFile("conf/dhcp_db.json", R"({"startip": 167772260, "ipnum": 10, "list": [
        {"mac": "02-00-00-00-00-01", "ip": "10.0.0.101"},
        {"mac": "02-00-00-00-00-zz", "ip": "10.0.0.102"},
        {"mac": "02-00-00-00-00-03", "ip": "10.0.0.300"},
        {"mac": "02:00:00:00:00:04", "ip": "10.0.0.104"},
        {"mac": "02-00-00-00-00-05"},
        {"ip": "10.0.0.106"},
        7,
        {"mac": "02-00-00-00-00-0001", "ip": "10.0.0.107"},
        {"mac": "02-00-00-00-00-0A", "ip": "10.0.0.108"}
    ]})");
    ASSERT_EQ(LEASEDB_Load(kStart, 10), 0);
    EXPECT_EQ(LEASEDB_Snapshot(), (Db{{MacText(1), kStart + 1}, {MacText(10), kStart + 8}}));
    EXPECT_TRUE(TestLogHas("skip invalid dhcp db element 1 MAC:02-00-00-00-00-zz"));
    EXPECT_TRUE(TestLogHas("skip invalid dhcp db element 6 MAC: IP:"));

    // A damaged or incomplete file changes nothing.
    for (const char *pcText : {"{\"startip\": 1, \"ipnum\": ", "[]", "{\"ipnum\": 10}",
                               "{\"startip\": -1, \"ipnum\": 10, \"list\": []}"}) {
        SCOPED_TRACE(pcText);
        WriteFile("conf/dhcp_db.json", pcText);
        EXPECT_EQ(LEASEDB_Load(kStart, 10), QV_ERR_FAILED);
        EXPECT_EQ(LEASEDB_Snapshot().size(), 2u);
    }
    // No file: the first run.
    ASSERT_EQ(g_remove("conf/dhcp_db.json"), 0);
    TestLogLines().clear();
    EXPECT_EQ(LEASEDB_Load(kStart, 10), 0);
    EXPECT_TRUE(TestLogHas("No need to recover dhcp db data"));
    EXPECT_EQ(LEASEDB_Snapshot().size(), 2u);
    LEASEDB_SetLogSink({});
}

}  // namespace
