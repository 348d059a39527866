#include "start_check.h"

#include <gtest/gtest.h>

#include <glib.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "local_addresses.h"
#include "log.h"
#include "msg_table.h"
#include "prompt.h"
#include "qv_text.h"
#include "source_extract.h"
#include "test_support.h"

namespace {

// An image of 20 sectors: a primary descriptor at sector 16, the set terminator at 17 and, for
// UDF, the extended area and NSR descriptors behind it.
void WriteImage(const std::string &strPath, bool bIso, bool bUdf)
{
    std::string strImage(20 * 2048, '\0');
    auto Put = [&](int iSector, unsigned char ucType, const char *pcId) {
        strImage[iSector * 2048] = static_cast<char>(ucType);
        memcpy(&strImage[iSector * 2048 + 1], pcId, 5);
    };
    if (bIso) {
        Put(16, 1, "CD001");
        Put(17, 255, "CD001");
    }
    if (bUdf) {
        Put(18, 0, "BEA01");
        Put(19, 0, "NSR02");
    }
    WriteFile(strPath, strImage);
}

class StartCheckTest : public testing::Test {
protected:
    void SetUp() override
    {
        MSG_SetChinese(false);
        LOG_SetFile(m_stDir / "test.log");
        LOG_SetCacheCount(1);
        LOG_SetLevel(0);
        std::filesystem::create_directories(m_stDir / "tree");
        std::filesystem::create_directories(m_stDir / "Windows_Media");
        WriteImage(m_stDir / "linux.iso", true, false);
        WriteImage(m_stDir / "Windows_Media/win10.iso", true, true);
        WriteImage(m_stDir / "other-udf.iso", true, true);
        WriteImage(m_stDir / "plain.bin", false, false);
        PROMPT_SetHandler([this](const PromptRequest &stRequest) {
            m_vecPrompts.push_back(stRequest);
            return stRequest.eButtons == PromptButtons::YesNo ? PromptAnswer::Yes
                                                              : PromptAnswer::Ok;
        });
        SetLocalAddressProvider([this] { return m_vecLocal; });
    }
    // Runs the main loop, as the server does, until the extraction's end has been handled.
    static void FinishExtraction()
    {
        auto tmLimit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (EXTRACT_Running() && std::chrono::steady_clock::now() < tmLimit) {
            g_main_context_iteration(nullptr, FALSE);
            g_usleep(10000);
        }
        ASSERT_FALSE(EXTRACT_Running());
    }
    void TearDown() override
    {
        PROMPT_SetHandler(nullptr);
        SetLocalAddressProvider(nullptr);
    }
    TempDir m_stDir;
    std::vector<PromptRequest> m_vecPrompts;
    std::vector<PLAT_LocalAddress> m_vecLocal;
};

TEST_F(StartCheckTest, RefusalsAndChoices)
{
    using Local = std::vector<PLAT_LocalAddress>;
    const Local vecHome = {{"192.168.1.10", "255.255.255.0", "eth0"}};
    const Local vecBoth24First = {{"10.1.2.1", "255.255.255.0", "eth0"},
                                  {"10.1.0.1", "255.255.0.0", "eth1"}};
    const Local vecBoth16First = {vecBoth24First[1], vecBoth24First[0]};
    const Local vecClose16After = {{"10.1.2.1", "255.255.255.0", "eth0"},
                                   {"10.1.2.96", "255.255.0.0", "eth1"}};
    struct Case {
        const char *pcName;
        const char *pcStart;
        uint32_t uiCount;
        std::string strSource;  // relative to the test directory; "" for none
        Local vecLocal;
        int iMessage;           // -1: accepted
        const char *pcCaption;  // nullptr: the window title
        const char *pcLocal;    // chosen address/mask when accepted
        uint32_t uiProxy = 0;
        uint32_t uiRelay = 0;
    };
    const Case astCases[] = {
        {"no start address", "", 20, "linux.iso", vecHome, 15, nullptr, nullptr},
        {"no source", "192.168.1.100", 20, "", vecHome, 15, nullptr, nullptr},
        {"zero count", "192.168.1.100", 0, "linux.iso", vecHome, 15, nullptr, nullptr},
        {"bad address", "192.168.1", 20, "linux.iso", vecHome, 12, nullptr, nullptr},
        {"octet too big", "192.168.1.300", 20, "linux.iso", vecHome, 12, nullptr, nullptr},
        {"missing source", "192.168.1.100", 20, "gone.iso", vecHome, 125, "ERR", nullptr},
        {"not an image", "192.168.1.100", 20, "plain.bin", vecHome, 18, "ERR", nullptr},
        {"windows udf", "192.168.1.100", 20, "Windows_Media/win10.iso", vecHome, 123, "MSG",
         nullptr},
        {"other udf", "192.168.1.100", 20, "other-udf.iso", vecHome, 124, "MSG", nullptr},
        {"local address in pool",
         "192.168.1.100",
         20,
         "linux.iso",
         {{"192.168.1.110", "255.255.255.0", "eth0"}},
         126,
         nullptr,
         nullptr},
        {"local address is the last of the pool",
         "192.168.1.100",
         20,
         "linux.iso",
         {{"192.168.1.119", "255.255.255.0", "eth0"}},
         126,
         nullptr,
         nullptr},
        {"local address just after the pool",
         "192.168.1.100",
         20,
         "linux.iso",
         {{"192.168.1.120", "255.255.255.0", "eth0"}},
         -1,
         nullptr,
         "192.168.1.120/255.255.255.0"},
        {"pool reaching the top of the space",
         "255.255.255.250",
         20,
         "linux.iso",
         {{"255.255.255.1", "255.255.255.0", "eth0"}},
         -1,
         nullptr,
         "255.255.255.1/255.255.255.0"},
        {"no subnet",
         "192.168.1.100",
         20,
         "linux.iso",
         {{"10.0.0.1", "255.255.255.0", "eth0"}},
         127,
         nullptr,
         nullptr},
        {"no addresses", "192.168.1.100", 20, "linux.iso", {}, 127, nullptr, nullptr},
        {"/24 listed first", "10.1.2.100", 20, "linux.iso", vecBoth24First, -1, nullptr,
         "10.1.2.1/255.255.255.0"},
        {"/16 listed first", "10.1.2.100", 20, "linux.iso", vecBoth16First, -1, nullptr,
         "10.1.2.1/255.255.255.0"},
        {"/16 sharing 29 bits after /24", "10.1.2.100", 20, "linux.iso", vecClose16After, -1,
         nullptr, "10.1.2.96/255.255.0.0"},
        {"directory source", "192.168.1.100", 20, "tree/", vecHome, -1, nullptr,
         "192.168.1.10/255.255.255.0"},
        {"proxy: the start address is the server's own", "192.168.1.10", 20, "linux.iso", vecHome,
         -1, nullptr, "192.168.1.10/255.255.255.0", 1},
        {"proxy: a local address inside the range", "192.168.1.1", 20, "linux.iso", vecHome, -1,
         nullptr, "192.168.1.10/255.255.255.0", 1},
        {"proxy: no pool", "192.168.1.10", 0, "linux.iso", vecHome, -1, nullptr,
         "192.168.1.10/255.255.255.0", 1},
        {"proxy: still no subnet", "10.9.9.9", 20, "linux.iso", vecHome, 127, nullptr, nullptr, 1},
        {"relay: pool behind a router, loopback skipped",
         "10.20.0.100",
         20,
         "linux.iso",
         {{"127.0.0.1", "255.0.0.0", "lo"}, {"192.168.1.10", "255.255.255.0", "eth0"}},
         -1,
         nullptr,
         "192.168.1.10/255.255.255.0",
         0,
         1},
        {"relay: only loopback",
         "10.20.0.100",
         20,
         "linux.iso",
         {{"127.0.0.1", "255.0.0.0", "lo"}},
         127,
         nullptr,
         nullptr,
         0,
         1},
    };
    for (const Case &stCase : astCases) {
        m_vecPrompts.clear();
        m_vecLocal = stCase.vecLocal;
        ServerSettings stSet;
        stSet.strIPAddr = stCase.pcStart;
        stSet.uiIPNum = stCase.uiCount;
        stSet.uiDhcpProxy = stCase.uiProxy;
        stSet.uiDhcpRelay = stCase.uiRelay;
        stSet.strImgPath = stCase.strSource.empty() ? "" : m_stDir / stCase.strSource;
        uint32_t uiLocal = 0;
        uint32_t uiMask = 0;
        int iResult = CheckStartParameters(stSet, &uiLocal, &uiMask);
        if (stCase.iMessage < 0) {
            EXPECT_EQ(iResult, 1) << stCase.pcName;
            EXPECT_TRUE(m_vecPrompts.empty()) << stCase.pcName << ": " << m_vecPrompts[0].strText;
            EXPECT_EQ(QV_IpText(uiLocal) + "/" + QV_IpText(uiMask), stCase.pcLocal)
                << stCase.pcName;
            continue;
        }
        EXPECT_EQ(iResult, 0) << stCase.pcName;
        // A UDF question answered Yes is followed, once the main loop has run, by the report of
        // the extraction, which fails on these descriptor-only images.
        FinishExtraction();
        bool bUdf = stCase.iMessage == 123 || stCase.iMessage == 124;
        ASSERT_EQ(m_vecPrompts.size(), bUdf ? 2U : 1U) << stCase.pcName;
        EXPECT_EQ(m_vecPrompts[0].strText, MSG_Text(stCase.iMessage)) << stCase.pcName;
        EXPECT_EQ(m_vecPrompts[0].strCaption, stCase.pcCaption ? stCase.pcCaption : WindowTitle())
            << stCase.pcName;
    }
}

TEST_F(StartCheckTest, SourceKindTrailingSlashAndUdfRefusal)
{
    m_vecLocal = {{"192.168.1.10", "255.255.255.0", "eth0"}};
    ServerSettings stSet;
    stSet.strIPAddr = "192.168.1.100";
    uint32_t uiLocal = 0;
    uint32_t uiMask = 0;
    auto Check = [&](const std::string &strSource) {
        stSet.strImgPath = strSource;
        return CheckStartParameters(stSet, &uiLocal, &uiMask);
    };
    ASSERT_EQ(Check(m_stDir / "tree/"), 1);
    EXPECT_EQ(stSet.uiImgISO, 0U);
    EXPECT_EQ(stSet.strImgPath, m_stDir / "tree");
    ASSERT_EQ(Check(m_stDir / "linux.iso"), 1);
    EXPECT_EQ(stSet.uiImgISO, 1U);
    EXPECT_NE(ReadFile(m_stDir / "test.log")
                  .find("[ORV] Local address is: 192.168.1.10/255.255.255.0 \n"),
              std::string::npos);
    // The prompt handler answers Yes; the extraction of this descriptor-only image fails, so the
    // start is given up, the source stays as it was and nothing is left where the tree would go.
    EXPECT_EQ(Check(m_stDir / "Windows_Media/win10.iso"), 0);
    FinishExtraction();
    ASSERT_EQ(m_vecPrompts.size(), 2U);
    EXPECT_EQ(m_vecPrompts[0].eButtons, PromptButtons::YesNo);
    EXPECT_EQ(m_vecPrompts[0].eIcon, PromptIcon::Warning);
    EXPECT_EQ(m_vecPrompts[1].strCaption, "ERR");
    EXPECT_EQ(stSet.strImgPath, m_stDir / "Windows_Media/win10.iso");
    EXPECT_EQ(stSet.uiImgISO, 1U);
    std::vector<std::string> vecLeft;
    for (const auto &stEntry : std::filesystem::directory_iterator(m_stDir / "Windows_Media")) {
        vecLeft.push_back(stEntry.path().filename());
    }
    EXPECT_EQ(vecLeft, std::vector<std::string>{"win10.iso"});
}

TEST_F(StartCheckTest, UdfSourceIsExtractedAndTheDirectoryServes)
{
    if (std::system("command -v 7z >/dev/null && command -v genisoimage >/dev/null") != 0) {
        GTEST_SKIP() << "7z (p7zip-full) or genisoimage is not installed";
    }
    m_vecLocal = {{"192.168.1.10", "255.255.255.0", "eth0"}};
    std::filesystem::create_directories(m_stDir / "media/sources");
    WriteFile(m_stDir / "media/sources/boot.wim", "wim");
    std::string strIso = m_stDir / "Windows_Media/win11.iso";
    ASSERT_EQ(
        std::system(
            ("genisoimage -quiet -udf -o '" + strIso + "' '" + (m_stDir / "media") + "'").c_str()),
        0);
    ServerSettings stSet;
    stSet.strIPAddr = "192.168.1.100";
    stSet.strImgPath = strIso;
    uint32_t uiLocal = 0;
    uint32_t uiMask = 0;
    int iResumed = 0;
    // The check returns at once; the start goes on when the extraction has finished.
    ASSERT_EQ(CheckStartParameters(stSet, &uiLocal, &uiMask, [&] { ++iResumed; }), 0);
    EXPECT_EQ(stSet.strImgPath, strIso);
    EXPECT_EQ(EXTRACT_State().strDestination, m_stDir / "Windows_Media/win11");
    EXPECT_TRUE(EXTRACT_State().bStartWaits);
    FinishExtraction();
    EXPECT_EQ(iResumed, 1);
    EXPECT_EQ(stSet.strImgPath, m_stDir / "Windows_Media/win11");
    EXPECT_EQ(stSet.uiImgISO, 0U);
    EXPECT_EQ(ReadFile(m_stDir / "Windows_Media/win11/sources/boot.wim"), "wim");
    ASSERT_EQ(m_vecPrompts.size(), 1U);
    EXPECT_EQ(m_vecPrompts[0].strText, MSG_Text(123));
    EXPECT_EQ(EXTRACT_State().strMessage, MSG_Text(83));
    ASSERT_EQ(CheckStartParameters(stSet, &uiLocal, &uiMask), 1);
}

TEST_F(StartCheckTest, HeadlessPromptIsLoggedWithItsDefault)
{
    PROMPT_SetHandler(nullptr);
    EXPECT_EQ(PROMPT_Ask({"Stop it?", "WARNING", PromptIcon::Warning, PromptButtons::YesNo,
                          PromptAnswer::No}),
              PromptAnswer::No);
    EXPECT_NE(ReadFile(m_stDir / "test.log").find("[PROMPT] [WARNING] Stop it? (answered No) \n"),
              std::string::npos);
}

}  // namespace
