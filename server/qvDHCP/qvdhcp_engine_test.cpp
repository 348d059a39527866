// The message engine fed with crafted datagrams, without a socket: replies are captured byte for
// byte, events and the client tables inspected.
#include "qvdhcp.h"
#include "qvdhcp_leasedb.h"
#include "qvdhcp_rfc.h"
#include "qvdhcp_session.h"
#include "qvdhcp_stats.h"
#include "qvdhcp_test_support.h"

#include "qv_text.h"

#include <cstring>
#include <map>

namespace {

constexpr uint32_t kServer = 0xC0A83201;      // 192.168.50.1
constexpr uint32_t kNextServer = 0xC0A83202;  // 192.168.50.2
constexpr uint32_t kStart = 0xC0A83264;       // 192.168.50.100
constexpr uint32_t kCount = 20;
constexpr uint32_t kMask = 0xFFFFFF00;
constexpr uint32_t kRouter = 0xC0A832FE;
constexpr uint32_t kLease = 360000;
constexpr const char *kBios = "pxelinux.1408.0";
constexpr const char *kEfi = "grub2.x64efi.all.0";

using Bytes = std::vector<uint8_t>;
using Options = std::vector<std::pair<uint8_t, Bytes>>;

Bytes U32(uint32_t v)
{
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}
Bytes Text(const char *pc)
{
    return Bytes(pc, pc + strlen(pc));
}

struct Request {
    uint8_t ucMac = 1;  // MAC 52-54-00-00-00-<n>
    uint16_t usFlags = 0;
    uint32_t uiCiaddr = 0;
    uint32_t uiGiaddr = 0;
    Options vecOpts;
    uint8_t ucHops = 0;
};

Bytes Build(const Request &stReq)
{
    Bytes vec(240, 0);
    vec[0] = 1;
    vec[1] = 1;
    vec[2] = 6;
    vec[3] = stReq.ucHops;
    Bytes xid = {0xDE, 0xAD, 0xBE, stReq.ucMac};
    std::copy(xid.begin(), xid.end(), vec.begin() + 4);
    vec[8] = 0;
    vec[9] = 3;  // secs
    vec[10] = uint8_t(stReq.usFlags >> 8);
    vec[11] = uint8_t(stReq.usFlags);
    Bytes ci = U32(stReq.uiCiaddr), gi = U32(stReq.uiGiaddr);
    std::copy(ci.begin(), ci.end(), vec.begin() + 12);
    std::copy(gi.begin(), gi.end(), vec.begin() + 24);
    const uint8_t aucMac[6] = {0x52, 0x54, 0, 0, 0, stReq.ucMac};
    std::copy(aucMac, aucMac + 6, vec.begin() + 28);
    vec[236] = 99, vec[237] = 130, vec[238] = 83, vec[239] = 99;
    for (const auto &[ucCode, vecVal] : stReq.vecOpts) {
        vec.push_back(ucCode);
        vec.push_back(uint8_t(vecVal.size()));
        vec.insert(vec.end(), vecVal.begin(), vecVal.end());
    }
    vec.push_back(255);
    return vec;
}

Request Msg(uint8_t ucType, uint8_t ucMac, Options vecMore = {})
{
    Request stReq;
    stReq.ucMac = ucMac;
    stReq.vecOpts.push_back({53, {ucType}});
    stReq.vecOpts.insert(stReq.vecOpts.end(), vecMore.begin(), vecMore.end());
    return stReq;
}

const std::pair<uint8_t, Bytes> kPxeArch0 = {93, {0, 0}};

struct Sent {
    Bytes vecData;
    uint32_t uiDst;
    uint16_t usPort;
};
std::vector<Sent> g_vecSent;
std::vector<std::pair<uint32_t, QVDHCP_ClientEvent>> g_vecEvents;
int g_iAdmitAnswer = 1;
std::vector<uint32_t> g_vecAdmitEfi;

void CaptureSend(int, const uint8_t *pucData, size_t uiLen, uint32_t uiDst, uint16_t usPort)
{
    g_vecSent.push_back({Bytes(pucData, pucData + uiLen), uiDst, usPort});
}

void CaptureEvent(uint32_t uiCode, const QVDHCP_ClientEvent *pstEvent)
{
    g_vecEvents.emplace_back(uiCode, *pstEvent);
}

int Admit(uint32_t, uint32_t uiIsEFI, const uint8_t *)
{
    g_vecAdmitEfi.push_back(uiIsEFI);
    return g_iAdmitAnswer;
}

uint32_t ReadU32(const Bytes &vec, size_t uiAt)
{
    return (uint32_t(vec[uiAt]) << 24) | (uint32_t(vec[uiAt + 1]) << 16) |
           (uint32_t(vec[uiAt + 2]) << 8) | vec[uiAt + 3];
}

// The options of a reply in their order; fails the test unless they end with END at the last byte.
Options ReplyOptions(const Bytes &vec)
{
    Options vecOut;
    size_t uiPos = 240;
    while (uiPos < vec.size() && vec[uiPos] != 255) {
        EXPECT_LE(uiPos + 2 + vec[uiPos + 1], vec.size());
        vecOut.push_back({vec[uiPos], Bytes(vec.begin() + long(uiPos) + 2,
                                            vec.begin() + long(uiPos) + 2 + vec[uiPos + 1])});
        uiPos += 2 + vec[uiPos + 1];
    }
    EXPECT_EQ(uiPos + 1, vec.size()) << "END must be the last byte";
    return vecOut;
}

std::string FileField(const Bytes &vec)
{
    return std::string(reinterpret_cast<const char *>(vec.data() + 108),
                       strnlen(reinterpret_cast<const char *>(vec.data() + 108), 128));
}

// The reply's fixed header against its request: copied fields, siaddr, sname and cookie.
void ExpectHeader(const Bytes &vecReply, const Bytes &vecReq, uint32_t uiYiaddr, bool bNak = false)
{
    ASSERT_GE(vecReply.size(), 241u);
    EXPECT_EQ(vecReply[0], 2);
    EXPECT_TRUE(std::equal(vecReq.begin() + 1, vecReq.begin() + 12, vecReply.begin() + 1));
    EXPECT_EQ(ReadU32(vecReply, 12), bNak ? 0 : ReadU32(vecReq, 12));
    EXPECT_EQ(ReadU32(vecReply, 16), uiYiaddr);
    EXPECT_EQ(ReadU32(vecReply, 20), bNak ? 0 : kNextServer);
    EXPECT_TRUE(std::equal(vecReq.begin() + 24, vecReq.begin() + 44, vecReply.begin() + 24));
    EXPECT_TRUE(std::all_of(vecReply.begin() + 44, vecReply.begin() + 108,
                            [](uint8_t uc) { return uc == 0; }));
    EXPECT_EQ(ReadU32(vecReply, 236), 0x63825363u);
}

// The options of an OFFER or ACK; a reply to iPXE ends with the class identifier.
Options AckOptions(uint8_t ucType, bool bLease = true, bool bPxe = false)
{
    Options vec = {{53, {ucType}}, {54, U32(kServer)}};
    if (bLease) {
        vec.push_back({51, U32(kLease)});
    }
    vec.push_back({1, U32(kMask)});
    vec.push_back({3, U32(kRouter)});
    if (bPxe) {
        vec.push_back({60, Text("PXEClient")});
    }
    return vec;
}

const Options kNakOptions = {{53, {6}}, {54, U32(kServer)}};

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        InstallTestLog();
        ASSERT_EQ(QVDHCP_Init(), 0);
        QVDHCP_CFG_SetServerIP(kServer);
        QVDHCP_CFG_SetNextServer(kNextServer);
        QVDHCP_CFG_SetIPRange(kStart, kStart + kCount - 1);
        QVDHCP_CFG_SetMask(kMask);
        QVDHCP_CFG_SetRouter(kRouter);
        QVDHCP_CFG_SetLeaseTime(kLease);
        QVDHCP_CFG_SetOnlyPXE(0);
        QVDHCP_CFG_SetBiosBootFile(kBios);
        QVDHCP_CFG_SetEfiBootFile(kEfi);
        QVDHCP_CFG_SetEventFunc(CaptureEvent);
        QVDHCP_RFC_SetSendFunc(CaptureSend);
        ASSERT_EQ(QVDHCP_CFG_CreateIpMap(), 0);
        QVDHCP_SESSION_Create();
        LEASEDB_Clear();
        g_vecSent.clear();
        g_vecEvents.clear();
        g_vecAdmitEfi.clear();
        g_iAdmitAnswer = 1;
    }
    void TearDown() override
    {
        QVDHCP_SESSION_Destroy();
        QVDHCP_RFC_SetSendFunc(nullptr);
        QVDHCP_CFG_SetEventFunc(nullptr);
        QVDHCP_Deinit();
        LEASEDB_Clear();
    }

    static Bytes Feed(const Request &stReq)
    {
        Bytes vec = Build(stReq);
        EXPECT_EQ(QVDHCP_HandleDatagram(vec.data(), vec.size(), -1), QVDHCP_Verdict::Continue);
        return vec;
    }
    // Sends a DISCOVER and a matching REQUEST; returns the bound address.
    static uint32_t Bind(uint8_t ucMac)
    {
        Feed(Msg(1, ucMac, {kPxeArch0}));
        uint32_t uiIp = ReadU32(g_vecSent.back().vecData, 16);
        Feed(Msg(3, ucMac, {{54, U32(kServer)}, {50, U32(uiIp)}}));
        g_vecSent.clear();
        g_vecEvents.clear();
        return uiIp;
    }
    static bool Active(uint8_t ucMac, QVDHCP_ClientEntry *pstEntry = nullptr)
    {
        const uint8_t aucMac[6] = {0x52, 0x54, 0, 0, 0, ucMac};
        QVDHCP_ClientEntry stEntry;
        bool bFound = QVDHCP_SESSION_Find(QVDHCP_Table::Active, aucMac, &stEntry);
        if (pstEntry != nullptr) {
            *pstEntry = stEntry;
        }
        return bFound;
    }
    static void MoveTime(uint8_t ucMac, int64_t llSeconds)
    {
        const uint8_t aucMac[6] = {0x52, 0x54, 0, 0, 0, ucMac};
        ASSERT_TRUE(QVDHCP_SESSION_Update(
            QVDHCP_Table::Active, aucMac,
            [&](QVDHCP_ClientEntry &stEntry) { stEntry.llTime += llSeconds; }, nullptr));
    }
};

TEST_F(EngineTest, DiscoverChoosesTheBootFileAndBuildsTheOffer)
{
    struct Case {
        const char *pcName;
        Options vecOpts;
        std::string strFile;
        uint32_t uiIsPXE, uiIsEFI, uiIsKivIPXE;
        uint16_t usArch;
        uint32_t uiIpxeLoader = 0;  // the iPXE tree is the loader in use
    } astCases[] = {
        {"no option 93", {}, kBios, 0, 0, 0, 0},
        {"BIOS x86", {{93, {0, 0}}}, kBios, 1, 0, 0, 0},
        {"EFI BC", {{93, {0, 7}}}, kEfi, 1, 1, 0, 7},
        {"EFI x86-64", {{93, {0, 9}}}, kEfi, 1, 1, 0, 9},
        {"EFI ARM 64", {{93, {0, 11}}}, kEfi, 1, 1, 0, 11},
        {"x64 HTTP boot has no upper-case EFI", {{93, {0, 16}}}, kBios, 1, 0, 0, 16},
        {"unnamed architecture", {{93, {0, 25}}}, kBios, 1, 0, 0, 25},
        {"architecture list: the first one counts", {{93, {0, 9, 0, 0}}}, kEfi, 1, 1, 0, 9},
        {"only option 94 marks PXE", {{94, {1, 2, 1}}}, kBios, 1, 0, 0, 0},
        {"only option 97 marks PXE", {{97, Bytes(17, 0)}}, kBios, 1, 0, 0, 0},
        {"our iPXE build",
         {{93, {0, 9}}, {77, Text("ZEREVEdURE")}},
         "tftp://192.168.50.1/ipxe.cfg/01-52-54-00-00-00-0b",
         1,
         1,
         1,
         9},
        {"stock iPXE with the iPXE tree",
         {{93, {0, 0}}, {77, Text("iPXE")}},
         "tftp://192.168.50.1/ipxe.cfg/01-52-54-00-00-00-0c",
         1,
         0,
         0,
         0,
         1},
        {"stock iPXE with another tree boots its loader",
         {{93, {0, 0}}, {77, Text("iPXE")}},
         kBios,
         1,
         0,
         0,
         0},
        {"stock iPXE on UEFI with another tree",
         {{93, {0, 7}}, {77, Text("iPXE")}},
         kEfi,
         1,
         1,
         0,
         7},
        {"our iPXE build with another tree",
         {{93, {0, 0}}, {77, Text("ZEREVEdURE")}},
         "tftp://192.168.50.1/ipxe.cfg/01-52-54-00-00-00-0f",
         1,
         0,
         1,
         0},
        {"other user class", {{93, {0, 7}}, {77, Text("iPXEx")}}, kEfi, 1, 1, 0, 7},
    };
    uint8_t ucMac = 1;
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.pcName);
        g_vecSent.clear();
        g_vecEvents.clear();
        QVDHCP_CFG_SetIpxeLoader(stCase.uiIpxeLoader);
        Request stReq = Msg(1, ucMac, stCase.vecOpts);
        stReq.usFlags = 0x8000;
        Bytes vecReq = Feed(stReq);
        ASSERT_EQ(g_vecSent.size(), 1u);
        const Sent &stOffer = g_vecSent[0];
        uint32_t uiExpectIp = kStart + ucMac - 1;  // fresh MACs take the pool in order
        ExpectHeader(stOffer.vecData, vecReq, uiExpectIp);
        EXPECT_EQ(FileField(stOffer.vecData), stCase.strFile);
        bool bIpxe = false;
        for (const auto &[ucCode, vecValue] : stCase.vecOpts) {
            bIpxe |= ucCode == 77 && (vecValue == Text("iPXE") || vecValue == Text("ZEREVEdURE"));
        }
        EXPECT_EQ(ReplyOptions(stOffer.vecData), AckOptions(2, true, bIpxe));
        EXPECT_EQ(stOffer.uiDst, 0xFFFFFFFFu);
        EXPECT_EQ(stOffer.usPort, 68);
        ASSERT_EQ(g_vecEvents.size(), 1u);
        const auto &[uiCode, stEvent] = g_vecEvents[0];
        EXPECT_EQ(uiCode, QVDHCP_EVENT_OFFER);
        EXPECT_EQ(stEvent.uiIsPXE, stCase.uiIsPXE);
        EXPECT_EQ(stEvent.uiIsEFI, stCase.uiIsEFI);
        EXPECT_EQ(stEvent.uiIsKivIPXE, stCase.uiIsKivIPXE);
        EXPECT_EQ(stEvent.usArch, stCase.usArch);
        EXPECT_EQ(stEvent.aucMac[5], ucMac);
        EXPECT_EQ(stEvent.uiAddress, uiExpectIp);
        EXPECT_EQ(stEvent.uiMask, kMask);
        EXPECT_EQ(stEvent.uiRouter, kRouter);
        QVDHCP_ClientEntry stEntry;
        ASSERT_TRUE(Active(ucMac, &stEntry));
        EXPECT_EQ(stEntry.uiState, QVDHCP_STATE_OFFERED);
        EXPECT_EQ(stEntry.uiLease, kLease);
        ++ucMac;
    }
}

TEST_F(EngineTest, LongBootFileNameIsCutTo127)
{
    std::string strLong(600, 'b');
    QVDHCP_CFG_SetBiosBootFile(strLong.c_str());
    Feed(Msg(1, 1));
    ASSERT_EQ(g_vecSent.size(), 1u);
    EXPECT_EQ(FileField(g_vecSent[0].vecData), std::string(127, 'b'));
}

TEST_F(EngineTest, RepeatedDiscoverKeepsTheAddressAndRestartsTheTimer)
{
    Feed(Msg(1, 1, {kPxeArch0}));
    Feed(Msg(1, 2));  // a plain client
    MoveTime(1, -5);
    MoveTime(2, -5);
    g_vecSent.clear();
    g_vecEvents.clear();
    Feed(Msg(1, 1, {kPxeArch0}));
    Feed(Msg(1, 2));
    ASSERT_EQ(g_vecSent.size(), 2u);
    EXPECT_EQ(ReadU32(g_vecSent[0].vecData, 16), kStart);
    EXPECT_EQ(ReadU32(g_vecSent[1].vecData, 16), kStart + 1);
    ASSERT_EQ(g_vecEvents.size(), 1u);  // the plain client's repeat raises none
    EXPECT_EQ(g_vecEvents[0].second.uiAddress, kStart);
    EXPECT_TRUE(TestLogHas("Use the Last IP for PXE Client(52-54-00-00-00-01) in normal mode."));
    EXPECT_TRUE(TestLogHas("Use the same IP for NonPXE Client(52-54-00-00-00-02)."));
    QVDHCP_ClientEntry stEntry;
    ASSERT_TRUE(Active(1, &stEntry));
    EXPECT_GE(stEntry.llTime, QVDHCP_SESSION_Now() - 1);
}

TEST_F(EngineTest, RequestStates)
{
    // Clients 1..3 are offered 100..102; client 4 is bound to 103.
    for (uint8_t uc = 1; uc <= 3; ++uc) {
        Feed(Msg(1, uc, {kPxeArch0}));
    }
    Feed(Msg(1, 4, {kPxeArch0}));
    Feed(Msg(3, 4, {{54, U32(kServer)}, {50, U32(kStart + 3)}}));
    const uint32_t uiOther = 0xC0A83263;

    enum class Reply { Ack, Nak, None };
    struct Case {
        const char *pcName;
        Request stReq;
        Reply eReply;
        uint32_t uiYiaddr;
        uint32_t uiDst;
        std::vector<uint32_t> vecEvents;
    } astCases[] = {
        {"selecting: ACK of the offered address",
         Msg(3, 1, {{54, U32(kServer)}, {50, U32(kStart)}}),
         Reply::Ack,
         kStart,
         0xFFFFFFFF,
         {2}},
        {"selecting: another address than offered",
         Msg(3, 2, {{54, U32(kServer)}, {50, U32(kStart + 5)}}),
         Reply::Nak,
         0,
         0xFFFFFFFF,
         {}},
        {"selecting: unknown client",
         Msg(3, 9, {{54, U32(kServer)}, {50, U32(kStart + 6)}}),
         Reply::Nak,
         0,
         0xFFFFFFFF,
         {}},
        {"selecting: another server chosen",
         Msg(3, 3, {{54, U32(uiOther)}, {50, U32(kStart + 2)}}),
         Reply::None,
         0,
         0,
         {}},
        {"server id without requested address",
         Msg(3, 2, {{54, U32(kServer)}}),
         Reply::None,
         0,
         0,
         {}},
        {"init-reboot: unknown client, free address",
         Msg(3, 10, {{50, U32(kStart + 7)}}),
         Reply::Ack,
         kStart + 7,
         0xFFFFFFFF,
         {1, 2}},
        {"init-reboot: unknown client, address held",
         Msg(3, 11, {{50, U32(kStart + 3)}}),
         Reply::Nak,
         0,
         0xFFFFFFFF,
         {}},
        {"init-reboot: unknown client, address outside the pool",
         Msg(3, 11, {{50, U32(kStart + kCount)}}),
         Reply::Nak,
         0,
         0xFFFFFFFF,
         {}},
        {"init-reboot: known client, its address",
         Msg(3, 4, {{50, U32(kStart + 3)}}),
         Reply::Ack,
         kStart + 3,
         0xFFFFFFFF,
         {}},
        {"init-reboot: known client, another address",
         Msg(3, 4, {{50, U32(kStart + 8)}}),
         Reply::Nak,
         0,
         0xFFFFFFFF,
         {}},
        {"unknown renewal", Msg(3, 12), Reply::Nak, 0, 0xFFFFFFFF, {}},
    };
    for (Case &stCase : astCases) {
        SCOPED_TRACE(stCase.pcName);
        g_vecSent.clear();
        g_vecEvents.clear();
        Bytes vecReq = Feed(stCase.stReq);
        if (stCase.eReply == Reply::None) {
            EXPECT_TRUE(g_vecSent.empty());
        } else {
            ASSERT_EQ(g_vecSent.size(), 1u);
            const Sent &stSent = g_vecSent[0];
            bool bNak = stCase.eReply == Reply::Nak;
            ExpectHeader(stSent.vecData, vecReq, stCase.uiYiaddr, bNak);
            EXPECT_EQ(ReplyOptions(stSent.vecData), bNak ? kNakOptions : AckOptions(5));
            EXPECT_EQ(stSent.uiDst, stCase.uiDst);
            EXPECT_EQ(stSent.usPort, 68);
        }
        std::vector<uint32_t> vecCodes;
        for (const auto &[uiCode, stEvent] : g_vecEvents) {
            vecCodes.push_back(uiCode);
            EXPECT_EQ(stEvent.uiAddress, stCase.uiYiaddr);
        }
        EXPECT_EQ(vecCodes, stCase.vecEvents);
    }
    QVDHCP_ClientEntry stEntry;
    ASSERT_TRUE(Active(1, &stEntry));
    EXPECT_EQ(stEntry.uiState, QVDHCP_STATE_BOUND);
    ASSERT_TRUE(Active(10, &stEntry));
    EXPECT_EQ(stEntry.uiState, QVDHCP_STATE_OFFERED);  // acknowledged after a reboot: state 1
    EXPECT_EQ(stEntry.uiAddress, kStart + 7);
    // The client that chose another server is gone and its address free again.
    EXPECT_FALSE(Active(3));
    EXPECT_EQ(g_pucDHCPIpMap[2], QVDHCP_IP_FREE);
    EXPECT_TRUE(TestLogHas("Client 192.168.50.102 is responsed by another server 192.168.50.99"));
    EXPECT_TRUE(TestLogHas("Invalid request pkt"));
    EXPECT_TRUE(TestLogHas("Client request for IP 192.168.50.103 but it's not free now"));
}

TEST_F(EngineTest, RelayedRequestIsIgnored)
{
    Feed(Msg(1, 1, {kPxeArch0}));
    g_vecSent.clear();
    g_vecEvents.clear();
    Request stReq = Msg(3, 1, {{54, U32(kServer)}, {50, U32(kStart)}});
    stReq.uiGiaddr = 0x0A000001;
    Feed(stReq);
    EXPECT_TRUE(g_vecSent.empty());
    EXPECT_TRUE(g_vecEvents.empty());
    QVDHCP_ClientEntry stEntry;
    ASSERT_TRUE(Active(1, &stEntry));
    EXPECT_EQ(stEntry.uiState, QVDHCP_STATE_OFFERED);
}

TEST_F(EngineTest, RenewalAnswersByTheBroadcastFlag)
{
    const uint32_t uiIp = Bind(1);
    struct Case {
        uint16_t usFlags;
        uint32_t uiCiaddr;
        uint32_t uiDst;
    } astCases[] = {
        {0x8000, uiIp, 0xFFFFFFFF},
        {0, uiIp, uiIp},
        {0x8001, uiIp, uiIp},  // not the broadcast bit alone
        {0, 0, 0xFFFFFFFF},    // no address to answer to
    };
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.usFlags);
        g_vecSent.clear();
        MoveTime(1, -100);
        Request stReq = Msg(3, 1);
        stReq.usFlags = stCase.usFlags;
        stReq.uiCiaddr = stCase.uiCiaddr;
        Bytes vecReq = Feed(stReq);
        ASSERT_EQ(g_vecSent.size(), 1u);
        ExpectHeader(g_vecSent[0].vecData, vecReq, uiIp);
        EXPECT_EQ(ReplyOptions(g_vecSent[0].vecData), AckOptions(5));
        EXPECT_EQ(g_vecSent[0].uiDst, stCase.uiDst);
        QVDHCP_ClientEntry stEntry;
        ASSERT_TRUE(Active(1, &stEntry));
        EXPECT_GE(stEntry.llTime, QVDHCP_SESSION_Now() - 1);
    }
    EXPECT_TRUE(g_vecEvents.empty());
}

TEST_F(EngineTest, ReleaseThenDiscoverGetsTheLastAddress)
{
    const uint32_t uiIp = Bind(1);
    Bind(2);
    Feed(Msg(7, 1));
    EXPECT_TRUE(g_vecSent.empty());
    ASSERT_EQ(g_vecEvents.size(), 1u);
    EXPECT_EQ(g_vecEvents[0].first, QVDHCP_EVENT_RELEASE);
    EXPECT_EQ(g_vecEvents[0].second.uiAddress, uiIp);
    EXPECT_FALSE(Active(1));
    EXPECT_EQ(g_pucDHCPIpMap[uiIp - kStart], QVDHCP_IP_FREE);
    // Without the lease database only the released table remembers the address.
    LEASEDB_Clear();
    Feed(Msg(1, 1, {kPxeArch0}));
    ASSERT_EQ(g_vecSent.size(), 1u);
    EXPECT_EQ(ReadU32(g_vecSent[0].vecData, 16), uiIp);
    EXPECT_TRUE(TestLogHas("Use last ip 192.168.50.100/255.255.255.0"));
    const uint8_t aucMac[6] = {0x52, 0x54, 0, 0, 0, 1};
    QVDHCP_ClientEntry stEntry;
    EXPECT_FALSE(QVDHCP_SESSION_Find(QVDHCP_Table::Released, aucMac, &stEntry));

    // A release of an unknown client still reports, with an empty entry.
    g_vecEvents.clear();
    Feed(Msg(7, 30));
    ASSERT_EQ(g_vecEvents.size(), 1u);
    EXPECT_EQ(g_vecEvents[0].second.uiAddress, 0u);
}

// RELEASE from ever new (spoofed) MACs: the released table keeps at most the pool's size, the
// latest ones.
TEST_F(EngineTest, ReleasedTableKeepsAtMostThePoolSize)
{
    EXPECT_EQ(QVDHCP_SESSION_ReleasedLimit(), size_t(kCount));
    for (uint8_t i = 1; i <= 3 * kCount; ++i) {
        Bind(i);
        Feed(Msg(7, i));
    }
    EXPECT_EQ(QVDHCP_SESSION_Count(QVDHCP_Table::Released), size_t(kCount));
    QVDHCP_ClientEntry stEntry;
    const uint8_t aucLast[6] = {0x52, 0x54, 0, 0, 0, 3 * kCount};
    EXPECT_TRUE(QVDHCP_SESSION_Find(QVDHCP_Table::Released, aucLast, &stEntry));
}

TEST_F(EngineTest, ReleasedAddressTakenMeanwhileGivesAnotherOne)
{
    const uint32_t uiIp = Bind(1);
    Feed(Msg(7, 1));
    LEASEDB_Clear();
    Feed(Msg(3, 5, {{50, U32(uiIp)}}));  // another client takes it by init-reboot
    g_vecSent.clear();
    Feed(Msg(1, 1, {kPxeArch0}));
    ASSERT_EQ(g_vecSent.size(), 1u);
    EXPECT_NE(ReadU32(g_vecSent[0].vecData, 16), uiIp);
    EXPECT_FALSE(TestLogHas("Use last ip"));
}

TEST_F(EngineTest, DeclinedAddressIsBadUntilRestart)
{
    const uint32_t uiIp = Bind(1);
    Feed(Msg(4, 1));
    EXPECT_TRUE(g_vecSent.empty());
    ASSERT_EQ(g_vecEvents.size(), 1u);
    EXPECT_EQ(g_vecEvents[0].first, QVDHCP_EVENT_RELEASE);
    EXPECT_EQ(g_vecEvents[0].second.uiAddress, uiIp);
    EXPECT_EQ(g_pucDHCPIpMap[uiIp - kStart], QVDHCP_IP_BAD);
    // Neither the decliner (whose database record names it) nor anyone else gets it again.
    for (uint8_t uc : {1, 2, 3}) {
        g_vecSent.clear();
        Feed(Msg(1, uc, {kPxeArch0}));
        ASSERT_EQ(g_vecSent.size(), 1u);
        EXPECT_NE(ReadU32(g_vecSent[0].vecData, 16), uiIp);
    }
    g_vecSent.clear();
    Feed(Msg(3, 9, {{50, U32(uiIp)}}));
    ASSERT_EQ(g_vecSent.size(), 1u);
    EXPECT_EQ(ReplyOptions(g_vecSent[0].vecData), kNakOptions);
    // A new map (a restart) forgets it.
    QVDHCP_SESSION_Destroy();
    QVDHCP_SESSION_Create();
    ASSERT_EQ(QVDHCP_CFG_CreateIpMap(), 0);
    EXPECT_EQ(QVDHCP_CFG_IsIPFree(nullptr, uiIp), 1);

    // A decline from an unknown client reports an empty entry and marks nothing.
    g_vecEvents.clear();
    TestLogLines().clear();
    Feed(Msg(4, 40));
    ASSERT_EQ(g_vecEvents.size(), 1u);
    EXPECT_EQ(g_vecEvents[0].second.uiAddress, 0u);
    EXPECT_TRUE(TestLogHas("Invalid IP 0 to free."));
}

TEST_F(EngineTest, Inform)
{
    const uint32_t uiIp = Bind(1);
    struct Case {
        const char *pcName;
        Request stReq;
        const char *pcReply;  // "ack", "nak" or nullptr
    } astCases[] = {
        {"known client naming its address", Msg(8, 1, {{50, U32(uiIp)}}), "ack"},
        {"known client naming another address", Msg(8, 1, {{50, U32(uiIp + 1)}}), "nak"},
        {"unknown client", Msg(8, 2, {{50, U32(uiIp)}}), nullptr},
    };
    for (Case &stCase : astCases) {
        SCOPED_TRACE(stCase.pcName);
        g_vecSent.clear();
        stCase.stReq.uiCiaddr = uiIp;
        Bytes vecReq = Feed(stCase.stReq);
        if (stCase.pcReply == nullptr) {
            EXPECT_TRUE(g_vecSent.empty());
            continue;
        }
        ASSERT_EQ(g_vecSent.size(), 1u);
        bool bAck = std::string(stCase.pcReply) == "ack";
        ExpectHeader(g_vecSent[0].vecData, vecReq, 0, !bAck);
        EXPECT_EQ(ReplyOptions(g_vecSent[0].vecData), bAck ? AckOptions(5, false) : kNakOptions);
        EXPECT_EQ(g_vecSent[0].uiDst, bAck ? uiIp : 0xFFFFFFFFu);
    }
    EXPECT_TRUE(g_vecEvents.empty());
}

TEST_F(EngineTest, MalformedDatagramsAreDroppedWithoutEffect)
{
    Bytes vecGood = Build(Msg(1, 1, {kPxeArch0}));
    auto Cut = [&](size_t n) { return Bytes(vecGood.begin(), vecGood.begin() + long(n)); };
    auto WithOpts = [](Bytes vecOpts) {
        Bytes vec = Build(Request{});
        vec.pop_back();  // END
        vec.insert(vec.end(), vecOpts.begin(), vecOpts.end());
        return vec;
    };
    Bytes vecHlen = vecGood;
    vecHlen[2] = 17;
    const std::pair<const char *, Bytes> astCases[] = {
        {"empty", {}},
        {"one byte", {1}},
        {"header cut at 239 bytes", Cut(239)},
        {"header without options", Cut(240)},
        {"hlen above 16", vecHlen},
        {"option value runs past the end", WithOpts({53, 1, 1, 93, 5, 0, 0})},
        {"option value one byte past the end", WithOpts({53, 1, 1, 93, 3, 0, 0})},
        {"option length byte missing", WithOpts({53, 1, 1, 93})},
        {"type length larger than the rest", WithOpts({53, 200, 1})},
        {"message type of length 0", WithOpts({53, 0, 255})},
        {"requested address of length 3", WithOpts({53, 1, 3, 50, 3, 1, 2, 3, 255})},
        {"server id of length 2", WithOpts({53, 1, 3, 54, 2, 1, 2, 255})},
        {"architecture of length 1", WithOpts({53, 1, 1, 93, 1, 0, 255})},
        {"no message type", WithOpts({93, 2, 0, 0, 255})},
        {"message type after END", WithOpts({255, 53, 1, 1})},
        {"only padding", WithOpts({0, 0, 0, 0})},
    };
    for (const auto &[pcName, vecData] : astCases) {
        SCOPED_TRACE(pcName);
        TestLogLines().clear();
        // Copy into a buffer of exactly the datagram's size so reading past it is caught by
        // the sanitizers and valgrind.
        std::unique_ptr<uint8_t[]> pucData(new uint8_t[vecData.size()]);
        std::copy(vecData.begin(), vecData.end(), pucData.get());
        EXPECT_EQ(QVDHCP_HandleDatagram(pucData.get(), vecData.size(), -1),
                  QVDHCP_Verdict::Continue);
        EXPECT_TRUE(g_vecSent.empty());
        EXPECT_TRUE(g_vecEvents.empty());
        EXPECT_FALSE(Active(1));
        EXPECT_FALSE(Active(0));
        EXPECT_TRUE(TestLogHas("2 Drop malformed dhcp packet"));
    }
    EXPECT_TRUE(LEASEDB_Snapshot().empty());
    EXPECT_TRUE(std::all_of(g_pucDHCPIpMap, g_pucDHCPIpMap + kCount,
                            [](uint8_t uc) { return uc == QVDHCP_IP_FREE; }));
    // PAD bytes and unknown options are walked over.
    Feed(Request{1, 0, 0, 0, {{12, Text("host")}, {0, {}}, {53, {1}}}});
    EXPECT_EQ(g_vecSent.size(), 1u);
}

TEST_F(EngineTest, FiltersAndDispatch)
{
    const Options kIpxeVm = {kPxeArch0, {175, {1}}, {77, Text("iPXE")}};
    struct Case {
        const char *pcName;
        uint32_t uiOnlyPxe, uiVmFilter;
        int iAdmit;
        Request stReq;
        bool bReply;
        const char *pcLog;
        std::vector<uint32_t> vecAdmitEfi;  // isEFI handed to the admission function
    } astCases[] = {
        {"PXE only refuses a plain client",
         1,
         0,
         1,
         Msg(1, 1),
         false,
         "1 Client MAC 52-54-00-00-00-01 is Denied becourse NOPXE.",
         {}},
        {"PXE only serves option 93",
         1,
         0,
         1,
         Msg(1, 2, {{93, {0, 7}}, {97, Bytes(17, 0xAB)}}),
         true,
         "3 PXE Client: MAC: 52-54-00-00-00-02 Arch 7  GUID: AB AB AB",
         {1}},
        {"VM filter refuses the ZEL iPXE request",
         0,
         1,
         1,
         Msg(1, 3, kIpxeVm),
         false,
         "1 Client MAC 52-54-00-00-00-03 is Denied becourse ZEL VM PXE request.",
         {}},
        {"VM filter lets iPXE without option 175 pass",
         0,
         1,
         1,
         Msg(1, 4, {kPxeArch0, {77, Text("iPXE")}}),
         true,
         "Recv DHCP Discover",
         {0}},
        {"VM filter off", 0, 0, 1, Msg(1, 5, kIpxeVm), true, "Recv DHCP Discover", {0}},
        {"admission refuses",
         0,
         0,
         0,
         Msg(1, 6, {{93, {0, 9}}}),
         false,
         "1 Client MAC 52-54-00-00-00-06 is Denied by system.",
         {1}},
        {"admission answers 2", 0, 0, 2, Msg(1, 7), false, "is Denied by system.", {0}},
        {"OFFER has no handler", 0, 0, 1, Msg(2, 8), false, "2 Proc func is null for msg 2", {0}},
        {"NAK has no handler", 0, 0, 1, Msg(6, 8), false, "Proc func is null for msg 6", {0}},
        {"type 0", 0, 0, 1, Msg(0, 8), false, "2 Invalid dhcp message type 0", {0}},
        {"type 9", 0, 0, 1, Msg(9, 8), false, "Invalid dhcp message type 9", {0}},
    };
    QVDHCP_CFG_SetAdmitFunc(Admit);
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.pcName);
        g_vecSent.clear();
        g_vecEvents.clear();
        TestLogLines().clear();
        QVDHCP_CFG_SetOnlyPXE(stCase.uiOnlyPxe);
        QVDHCP_CFG_SetVMFilter(stCase.uiVmFilter);
        g_iAdmitAnswer = stCase.iAdmit;
        g_vecAdmitEfi.clear();
        Feed(stCase.stReq);
        EXPECT_EQ(g_vecAdmitEfi, stCase.vecAdmitEfi);
        EXPECT_EQ(g_vecSent.size(), stCase.bReply ? 1u : 0u);
        EXPECT_EQ(g_vecEvents.size(), stCase.bReply ? 1u : 0u);
        EXPECT_EQ(Active(stCase.stReq.ucMac), stCase.bReply);
        EXPECT_TRUE(TestLogHas(stCase.pcLog)) << stCase.pcLog;
    }
    QVDHCP_CFG_SetAdmitFunc(nullptr);
}

// The metrics' counters: each datagram counts once as received by its type (a malformed one not
// at all), each reply as sent by its type, each refusal by its reason.
TEST_F(EngineTest, CountersByTypeAndRefusal)
{
    constexpr int kNone = -1;
    const int kMalformed = int(QVDHCP_Refusal::Malformed), kNotPxe = int(QVDHCP_Refusal::NotPxe),
              kAdmission = int(QVDHCP_Refusal::Admission);
    struct Case {
        const char *pcName;
        uint32_t uiOnlyPxe;
        int iAdmit;
        Bytes vecData;
        int iIn, iOut, iRefused;
    } astCases[] = {
        {"discover", 0, 1, Build(Msg(1, 1, {kPxeArch0})), 1, 2, kNone},
        {"request of the offer", 0, 1, Build(Msg(3, 1, {{54, U32(kServer)}, {50, U32(kStart)}})), 3,
         5, kNone},
        {"request of another address", 0, 1,
         Build(Msg(3, 2, {{54, U32(kServer)}, {50, U32(kStart + 7)}})), 3, 6, kNone},
        {"release", 0, 1, Build(Msg(7, 1, {{54, U32(kServer)}})), 7, kNone, kNone},
        {"an offer heard", 0, 1, Build(Msg(2, 3)), 0, kNone, kNone},
        {"no PXE client with DHCP Only PXE", 1, 1, Build(Msg(1, 4)), 1, kNone, kNotPxe},
        {"refused by admission", 0, 0, Build(Msg(1, 5, {kPxeArch0})), 1, kNone, kAdmission},
        {"malformed", 0, 1, Bytes(100, 0x01), kNone, kNone, kMalformed},
    };
    QVDHCP_CFG_SetAdmitFunc(Admit);
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.pcName);
        QVDHCP_CFG_SetOnlyPXE(stCase.uiOnlyPxe);
        g_iAdmitAnswer = stCase.iAdmit;
        QVDHCP_Counters stBefore = QVDHCP_STATS_Get();
        EXPECT_EQ(QVDHCP_HandleDatagram(stCase.vecData.data(), stCase.vecData.size(), -1),
                  QVDHCP_Verdict::Continue);
        QVDHCP_Counters stAfter = QVDHCP_STATS_Get();
        for (int i = 0; i < 9; ++i) {
            EXPECT_EQ(stAfter.aullIn[i] - stBefore.aullIn[i], i == stCase.iIn ? 1u : 0u)
                << "in " << i;
            EXPECT_EQ(stAfter.aullOut[i] - stBefore.aullOut[i], i == stCase.iOut ? 1u : 0u)
                << "out " << i;
        }
        for (int i = 0; i < int(QVDHCP_Refusal::Count); ++i) {
            EXPECT_EQ(stAfter.aullRefused[i] - stBefore.aullRefused[i],
                      i == stCase.iRefused ? 1u : 0u)
                << QVDHCP_STATS_RefusalName(QVDHCP_Refusal(i));
        }
    }
    QVDHCP_CFG_SetAdmitFunc(nullptr);
    QVDHCP_CFG_SetOnlyPXE(0);

    // More new clients than addresses: every discover gets an offer or counts as a full pool.
    const int kExhausted = int(QVDHCP_Refusal::PoolExhausted);
    QVDHCP_Counters stBefore = QVDHCP_STATS_Get();
    const uint64_t ullClients = kCount + 5;
    for (uint64_t ull = 0; ull < ullClients; ++ull) {
        Feed(Msg(1, uint8_t(100 + ull), {kPxeArch0}));
    }
    QVDHCP_Counters stAfter = QVDHCP_STATS_Get();
    uint64_t ullOffers = stAfter.aullOut[2] - stBefore.aullOut[2];
    uint64_t ullFull = stAfter.aullRefused[kExhausted] - stBefore.aullRefused[kExhausted];
    EXPECT_EQ(stAfter.aullIn[1] - stBefore.aullIn[1], ullClients);
    EXPECT_GE(ullFull, 5u);
    EXPECT_EQ(ullOffers + ullFull, ullClients);
}

TEST_F(EngineTest, ForeignKillSignalIsIgnored)
{
    Bytes vecKill = {0x81, 0x65, 0xAE, 0xF2};
    vecKill.resize(20, 0x5A);
    for (size_t uiLen : {size_t(20), size_t(4), size_t(300)}) {
        Bytes vec = vecKill;
        vec.resize(uiLen, 0);
        TestLogLines().clear();
        EXPECT_EQ(QVDHCP_HandleDatagram(vec.data(), vec.size(), -1), QVDHCP_Verdict::Continue);
        EXPECT_TRUE(TestLogHas("2 The kill signal is from another server, ignore it."));
    }
    // Before any stop the stored signal is empty: a signature with zero bytes is not ours.
    Bytes vecZero = {0x81, 0x65, 0xAE, 0xF2};
    vecZero.resize(20, 0);
    EXPECT_EQ(QVDHCP_HandleDatagram(vecZero.data(), vecZero.size(), -1), QVDHCP_Verdict::Continue);
    EXPECT_TRUE(g_vecSent.empty());
}

TEST_F(EngineTest, AgingSweep)
{
    Feed(Msg(1, 1, {kPxeArch0}));  // offered
    Bind(2);                       // bound
    Feed(Msg(1, 3, {kPxeArch0}));  // offered, clock gone back
    Bind(4);                       // bound, lease over
    MoveTime(1, -11);
    MoveTime(2, -11);
    MoveTime(3, +50);
    MoveTime(4, -int64_t(kLease) - 1);
    // Ten seconds of silence is not yet too long.
    Feed(Msg(1, 5, {kPxeArch0}));
    EXPECT_TRUE(Active(2));
    EXPECT_FALSE(Active(1));
    EXPECT_TRUE(Active(3));
    EXPECT_FALSE(Active(4));
    EXPECT_EQ(g_pucDHCPIpMap[0], QVDHCP_IP_FREE);
    EXPECT_EQ(g_pucDHCPIpMap[3], QVDHCP_IP_FREE);
    EXPECT_TRUE(TestLogHas("Client 5254-0000-0001 with ip 192.168.50.100 aging"));
    // The database keeps the aged client's address for it.
    uint32_t uiIp = 0;
    const uint8_t aucMac[6] = {0x52, 0x54, 0, 0, 0, 1};
    EXPECT_EQ(LEASEDB_FindIPByMAC(aucMac, &uiIp), 0);
    EXPECT_EQ(uiIp, kStart);

    // A sweep with nothing aged changes nothing; an offer exactly 10 s old stays.
    QVDHCP_ClientEntry stEntry;
    ASSERT_TRUE(Active(5, &stEntry));
    std::vector<uint8_t> vecMap(g_pucDHCPIpMap, g_pucDHCPIpMap + kCount);
    EXPECT_EQ(QVDHCP_SESSION_AgeActive(stEntry.llTime + 10), 0u);
    EXPECT_TRUE(Active(5));
    EXPECT_EQ(std::vector<uint8_t>(g_pucDHCPIpMap, g_pucDHCPIpMap + kCount), vecMap);
}

TEST_F(EngineTest, AgingTakesMoreThanOneBatch)
{
    // A pool big enough for 300 clients, all silent for too long.
    QVDHCP_SESSION_Destroy();
    QVDHCP_CFG_SetIPRange(kStart, kStart + 299);
    ASSERT_EQ(QVDHCP_CFG_CreateIpMap(), 0);
    QVDHCP_SESSION_Create();
    QVDHCP_AllocResult stAlloc;
    for (unsigned i = 0; i < 300; ++i) {
        const uint8_t aucMac[6] = {2, 0, 0, 0, uint8_t(i >> 8), uint8_t(i)};
        ASSERT_EQ(QVDHCP_CFG_AllocIP(aucMac, &stAlloc), 0);
        QVDHCP_SESSION_Insert(QVDHCP_Table::Active, aucMac,
                              {stAlloc.uiAddress, kMask, kRouter, 0, kLease, 1});
    }
    EXPECT_EQ(QVDHCP_SESSION_AgeActive(QVDHCP_SESSION_Now()), 300u);
    EXPECT_TRUE(std::all_of(g_pucDHCPIpMap, g_pucDHCPIpMap + 300,
                            [](uint8_t uc) { return uc == QVDHCP_IP_FREE; }));
}

TEST_F(EngineTest, ReplyThatWouldOverflowIsRefusedNotWrittenPast)
{
    Bytes vecReq = Build(Msg(1, 1, {kPxeArch0}));
    QVDHCP_RfcPara stPara;
    ASSERT_EQ(QVDHCP_RFC_PreParse(vecReq.data(), vecReq.size(), &stPara), 0);
    // Header 240, type 3, domain 2+253, vendor 2+n, END 1: n = 47 fills the 548 bytes exactly.
    const Bytes vecDomain(253, 'd');
    struct Case {
        size_t uiVendor;
        bool bSent;
    } astCases[] = {{47, true}, {48, false}, {255, false}};
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.uiVendor);
        g_vecSent.clear();
        TestLogLines().clear();
        QVDHCP_Reply stReply;
        QVDHCP_RFC_InitReply(&stPara, QVDHCP_MSG_OFFER, &stReply);
        QVDHCP_RFC_AddOpt(&stReply, 15, vecDomain.data(), vecDomain.size());
        const Bytes vecVendor(stCase.uiVendor, 'v');
        QVDHCP_RFC_AddOpt(&stReply, 43, vecVendor.data(), vecVendor.size());
        EXPECT_EQ(QVDHCP_RFC_SendReply(&stPara, stReply) == 0, stCase.bSent);
        if (stCase.bSent) {
            ASSERT_EQ(g_vecSent.size(), 1u);
            EXPECT_EQ(g_vecSent[0].vecData.size(), QVDHCP_REPLY_MAX);
            EXPECT_EQ(ReplyOptions(g_vecSent[0].vecData),
                      (Options{{53, {2}}, {15, vecDomain}, {43, vecVendor}}));
        } else {
            EXPECT_TRUE(g_vecSent.empty());
            EXPECT_TRUE(TestLogHas("2 Reply 2 to 5254-0000-0001 does not fit in 548 bytes"));
        }
        // Encoding into a smaller buffer stops before its end: the guard stays untouched.
        Bytes vecOut(300 + 16, 0xA5);
        EXPECT_EQ(QVDHCP_RFC_Encode(&stPara, stReply, vecOut.data(), 300), 0u);
        EXPECT_TRUE(
            std::all_of(vecOut.begin() + 300, vecOut.end(), [](uint8_t uc) { return uc == 0xA5; }));
    }
    // A value longer than one option can carry is cut to 255 and logged.
    QVDHCP_Reply stReply;
    const Bytes vecLong(300, 'x');
    QVDHCP_RFC_AddOpt(&stReply, 43, vecLong.data(), vecLong.size());
    ASSERT_EQ(stReply.vecOptions.size(), 1u);
    EXPECT_EQ(stReply.vecOptions[0].vecValue.size(), 255u);
    EXPECT_TRUE(TestLogHas("Option 43 value of 300 bytes cut to 255"));
}

TEST_F(EngineTest, NameServersAndDomainInOffersAndAcks)
{
    const uint32_t auiDns[] = {0x0A000001, 0x0A000002, 0x0A000003, 0x0A000004};
    const std::string strLongest(253, 'a');
    struct Case {
        const char *pcName;
        uint32_t uiDnsCount;
        std::string strDomain;
        Bytes vecDns;  // expected option 6, empty: none
        bool bIpxe = false;
    } astCases[] = {
        {"unset", 0, "", {}},
        {"one server", 1, "", U32(auiDns[0])},
        {"domain only", 0, "lab.example", {}},
        {"four given, three kept", 4, "lab.example",
         [&] {
             Bytes vec = U32(auiDns[0]);
             for (int i = 1; i < 3; ++i) {
                 Bytes vecOne = U32(auiDns[i]);
                 vec.insert(vec.end(), vecOne.begin(), vecOne.end());
             }
             return vec;
         }()},
    };
    uint8_t ucMac = 1;
    for (Case &stCase : astCases) {
        SCOPED_TRACE(stCase.pcName);
        QVDHCP_CFG_SetDns(auiDns, stCase.uiDnsCount);
        QVDHCP_CFG_SetDomain(stCase.strDomain.c_str());
        g_vecSent.clear();
        Feed(Msg(1, ucMac, {kPxeArch0}));
        ASSERT_EQ(g_vecSent.size(), 1u);
        uint32_t uiIp = ReadU32(g_vecSent[0].vecData, 16);
        Feed(Msg(3, ucMac, {{54, U32(kServer)}, {50, U32(uiIp)}}));
        ASSERT_EQ(g_vecSent.size(), 2u);
        for (int i = 0; i < 2; ++i) {
            Options vecExpect = AckOptions(i == 0 ? 2 : 5);
            if (!stCase.vecDns.empty()) {
                vecExpect.push_back({6, stCase.vecDns});
            }
            if (!stCase.strDomain.empty()) {
                vecExpect.push_back({15, Text(stCase.strDomain.c_str())});
            }
            EXPECT_EQ(ReplyOptions(g_vecSent[i].vecData), vecExpect);
        }
        ++ucMac;
    }
    // The longest domain with three servers to iPXE fills the reply exactly and still goes out.
    QVDHCP_CFG_SetDns(auiDns, 3);
    QVDHCP_CFG_SetDomain(strLongest.c_str());
    g_vecSent.clear();
    Feed(Msg(1, ucMac, {kPxeArch0, {77, Text("iPXE")}}));
    ASSERT_EQ(g_vecSent.size(), 1u);
    EXPECT_EQ(g_vecSent[0].vecData.size(), QVDHCP_REPLY_MAX);
}

// The Windows boot manager reads the store named by option 252: each firmware gets its own, in
// the OFFER and the ACK; a NAK and a server without stores name none.
TEST_F(EngineTest, WindowsStoreOptionFollowsTheFirmware)
{
    const char *pcBios = "\\Boot\\BCD", *pcEfi = "\\Boot\\UEFI\\BCD";
    struct Case {
        const char *pcName;
        bool bStores;
        uint8_t ucArch;
        const char *pcExpected;  // nullptr: no option 252
    } astCases[] = {
        {"BIOS", true, 0, pcBios},
        {"x86-64 UEFI", true, 7, pcEfi},
        {"EFI BC", true, 9, pcEfi},
        {"IA32 UEFI", true, 6, pcEfi},
        {"no stores, BIOS", false, 0, nullptr},
        {"no stores, UEFI", false, 7, nullptr},
    };
    auto Option252 = [](const Bytes &vec) -> std::string {
        for (const auto &[ucCode, vecValue] : ReplyOptions(vec))
            if (ucCode == 252) return std::string(vecValue.begin(), vecValue.end());
        return "<none>";
    };
    uint8_t ucMac = 1;
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.pcName);
        QVDHCP_CFG_SetBcdPaths(stCase.bStores ? pcBios : nullptr, stCase.bStores ? pcEfi : "");
        g_vecSent.clear();
        const std::pair<uint8_t, Bytes> stArch = {93, {0, stCase.ucArch}};
        Feed(Msg(1, ucMac, {stArch}));
        ASSERT_EQ(g_vecSent.size(), 1u);
        uint32_t uiIp = ReadU32(g_vecSent[0].vecData, 16);
        Feed(Msg(3, ucMac, {stArch, {54, U32(kServer)}, {50, U32(uiIp)}}));
        // A REQUEST for an address that is not its own gets a NAK.
        Feed(Msg(3, ucMac, {stArch, {54, U32(kServer)}, {50, U32(uiIp + 1)}}));
        ASSERT_EQ(g_vecSent.size(), 3u);
        std::string strExpected = stCase.pcExpected ? stCase.pcExpected : "<none>";
        EXPECT_EQ(Option252(g_vecSent[0].vecData), strExpected) << "OFFER";
        EXPECT_EQ(Option252(g_vecSent[1].vecData), strExpected) << "ACK";
        EXPECT_EQ(ReplyOptions(g_vecSent[2].vecData), kNakOptions);
        ++ucMac;
    }
}

class ProxyTest : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        // A proxy has no pool.
        QVDHCP_SESSION_Destroy();
        QVDHCP_CFG_FreeIpMap();
        QVDHCP_CFG_SetProxy(1);
        QVDHCP_CFG_SetAdmitFunc(Admit);
        QVDHCP_SESSION_Create();
    }
    static Bytes FeedOn(const Request &stReq, uint16_t usLocalPort, uint16_t usPeerPort = 68)
    {
        Bytes vec = Build(stReq);
        EXPECT_EQ(QVDHCP_HandleDatagram(vec.data(), vec.size(), -1, usLocalPort, usPeerPort),
                  QVDHCP_Verdict::Continue);
        return vec;
    }
    static bool InProxyTable(uint8_t ucMac, QVDHCP_ClientEntry *pstEntry = nullptr)
    {
        const uint8_t aucMac[6] = {0x52, 0x54, 0, 0, 0, ucMac};
        return QVDHCP_SESSION_Find(QVDHCP_Table::Proxy, aucMac, pstEntry);
    }
};

const std::pair<uint8_t, Bytes> kVendorPxe = {60, Text("PXEClient:Arch:00007:UNDI:003016")};
const Options kProxyOptions(uint8_t ucType)
{
    return {{53, {ucType}}, {54, U32(kServer)}, {60, Text("PXEClient")}, {43, {6, 1, 8, 255}}};
}

TEST_F(ProxyTest, BootOfferWithoutAddressThenAckOnPort4011)
{
    constexpr uint32_t kSiteAddress = 0xC0A832C8;  // 192.168.50.200, given by the site's server
    Bytes vecReq = FeedOn(Msg(1, 1, {kVendorPxe, {93, {0, 7}}}), 67);
    ASSERT_EQ(g_vecSent.size(), 1u);
    ExpectHeader(g_vecSent[0].vecData, vecReq, 0);
    EXPECT_EQ(FileField(g_vecSent[0].vecData), kEfi);
    EXPECT_EQ(ReplyOptions(g_vecSent[0].vecData), kProxyOptions(2));
    EXPECT_EQ(g_vecSent[0].uiDst, QVDHCP_BROADCAST);
    EXPECT_EQ(g_vecSent[0].usPort, 68);
    ASSERT_EQ(g_vecEvents.size(), 1u);
    EXPECT_EQ(g_vecEvents[0].first, QVDHCP_EVENT_OFFER);
    EXPECT_EQ(g_vecEvents[0].second.uiAddress, 0u);
    EXPECT_TRUE(InProxyTable(1));

    // The client's REQUEST to the site's server: not answered, its address learned.
    g_vecSent.clear();
    g_vecEvents.clear();
    FeedOn(Msg(3, 1, {kVendorPxe, {54, U32(0xC0A832FE)}, {50, U32(kSiteAddress)}}), 67);
    EXPECT_TRUE(g_vecSent.empty());
    ASSERT_EQ(g_vecEvents.size(), 1u);
    EXPECT_EQ(g_vecEvents[0].first, QVDHCP_EVENT_ACK);
    EXPECT_EQ(g_vecEvents[0].second.uiAddress, kSiteAddress);

    // The REQUEST to port 4011 from that address: the matching ACK, back to where it came from.
    g_vecEvents.clear();
    Request stReq = Msg(3, 1, {kVendorPxe, {93, {0, 7}}});
    stReq.uiCiaddr = kSiteAddress;
    vecReq = FeedOn(stReq, 4011, 4011);
    ASSERT_EQ(g_vecSent.size(), 1u);
    ExpectHeader(g_vecSent[0].vecData, vecReq, 0);
    EXPECT_EQ(FileField(g_vecSent[0].vecData), kEfi);
    EXPECT_EQ(ReplyOptions(g_vecSent[0].vecData), kProxyOptions(5));
    EXPECT_EQ(g_vecSent[0].uiDst, kSiteAddress);
    EXPECT_EQ(g_vecSent[0].usPort, 4011);
    ASSERT_EQ(g_vecEvents.size(), 1u);
    EXPECT_EQ(g_vecEvents[0].second.uiAddress, kSiteAddress);
    // No pool, no lease database.
    EXPECT_EQ(g_pucDHCPIpMap, nullptr);
    EXPECT_TRUE(LEASEDB_Snapshot().empty());
    EXPECT_FALSE(Active(1));
}

TEST_F(ProxyTest, RefusedAndStrayPacketsGetNothing)
{
    struct Case {
        const char *pcName;
        Request stReq;
        uint16_t usPort;
        int iAdmit;
        const char *pcLog;  // the one line it leaves
    } astCases[] = {
        {"DISCOVER without a vendor class", Msg(1, 2, {kPxeArch0}), 67, 1,
         "Proxy: DISCOVER from 5254-0000-0002 without PXEClient, ignored"},
        {"DISCOVER with another vendor class", Msg(1, 3, {kPxeArch0, {60, Text("MSFT 5.0")}}), 67,
         1, "Proxy: DISCOVER from 5254-0000-0003 without PXEClient, ignored"},
        {"REQUEST to 4011 without an offer", Msg(3, 4, {kVendorPxe}), 4011, 1,
         "Proxy: REQUEST on port 4011 from 5254-0000-0004 without an offer, ignored"},
        {"client refused by admission", Msg(1, 5, {kVendorPxe, kPxeArch0}), 67, 0,
         "Client MAC 52-54-00-00-00-05 is Denied by system."},
    };
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.pcName);
        TestLogLines().clear();
        g_iAdmitAnswer = stCase.iAdmit;
        FeedOn(stCase.stReq, stCase.usPort);
        EXPECT_TRUE(g_vecSent.empty());
        EXPECT_TRUE(g_vecEvents.empty());
        EXPECT_FALSE(InProxyTable(stCase.stReq.ucMac));
        EXPECT_TRUE(TestLogHas(stCase.pcLog));
        EXPECT_EQ(std::count_if(TestLogLines().begin(), TestLogLines().end(),
                                [](const std::string &strLine) { return strLine[0] != '3'; }),
                  1)
            << "one line above the debug level";
    }
    // A REQUEST to the site's server from a client never offered is not ours: silence.
    TestLogLines().clear();
    g_iAdmitAnswer = 1;
    FeedOn(Msg(3, 6, {{54, U32(0xC0A832FE)}, {50, U32(0xC0A832C9)}}), 67);
    EXPECT_TRUE(g_vecSent.empty());
    EXPECT_TRUE(g_vecEvents.empty());
    EXPECT_TRUE(LEASEDB_Snapshot().empty());
}

constexpr const char *kIpxeEfi = "ipxe.efi.0";

// UEFI HTTP boot, as OVMF's HTTP boot driver asks: vendor class "HTTPClient", architecture 16.
std::pair<uint8_t, Bytes> HttpClass(uint16_t usArch)
{
    char szClass[40];
    g_snprintf(szClass, sizeof(szClass), "HTTPClient:Arch:%05u:UNDI:003001", unsigned(usArch));
    return {60, Text(szClass)};
}

TEST_F(EngineTest, HttpBootClientsGetTheLoaderAsAnHttpUrl)
{
    struct Case {
        const char *pcName;
        uint32_t uiProxy;
        uint16_t usArch;
        const char *pcEfiFile;
    } astCases[] = {
        {"x64", 0, 16, kIpxeEfi},
        {"x64 beside the site's server", 1, 16, kIpxeEfi},
    };
    QVDHCP_CFG_SetHttpPort(8810);
    QVDHCP_CFG_SetIpxeLoader(1);
    QVDHCP_CFG_SetAdmitFunc(Admit);
    uint8_t ucMac = 1;
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.pcName);
        g_vecSent.clear();
        g_vecEvents.clear();
        g_vecAdmitEfi.clear();
        QVDHCP_CFG_SetProxy(stCase.uiProxy);
        QVDHCP_CFG_SetEfiBootFile(stCase.pcEfiFile);
        Bytes vecReq = Feed(Msg(1, ucMac,
                                {{93, {uint8_t(stCase.usArch >> 8), uint8_t(stCase.usArch)}},
                                 HttpClass(stCase.usArch)}));
        ASSERT_EQ(g_vecSent.size(), 1u);
        const Bytes &vecOffer = g_vecSent[0].vecData;
        uint32_t uiYiaddr = stCase.uiProxy ? 0 : kStart + ucMac - 1;
        ExpectHeader(vecOffer, vecReq, uiYiaddr);
        EXPECT_EQ(FileField(vecOffer),
                  std::string("http://192.168.50.1:8810/kiv_loader/") + stCase.pcEfiFile);
        Options vecExpect;
        if (stCase.uiProxy) {
            vecExpect = {{53, {2}}, {54, U32(kServer)}, {60, Text("HTTPClient")}};
        } else {
            vecExpect = AckOptions(2);
            vecExpect.push_back({60, Text("HTTPClient")});
        }
        EXPECT_EQ(ReplyOptions(vecOffer), vecExpect);
        // A UEFI client for the admission check and its row, whatever its architecture's name.
        EXPECT_EQ(g_vecAdmitEfi, std::vector<uint32_t>{1});
        ASSERT_EQ(g_vecEvents.size(), 1u);
        EXPECT_EQ(g_vecEvents[0].second.uiIsEFI, 1u);
        EXPECT_EQ(g_vecEvents[0].second.usArch, stCase.usArch);
        ++ucMac;
    }
    QVDHCP_CFG_SetAdmitFunc(nullptr);
}

TEST_F(EngineTest, HttpBootClientsWeCannotServeGetNothing)
{
    const std::string strLongName(100, 'l');
    struct Case {
        const char *pcName;
        Options vecOpts;
        const char *pcEfiFile;
        const char *pcWhy;
    } astCases[] = {
        {"x86 UEFI over HTTP",
         {{93, {0, 15}}, HttpClass(15)},
         kIpxeEfi,
         "(arch 15) ignored: no loader"},
        {"arm32 UEFI over HTTP",
         {{93, {0, 18}}, HttpClass(18)},
         kIpxeEfi,
         "(arch 18) ignored: no loader"},
        {"BIOS over HTTP",
         {{93, {0, 20}}, HttpClass(20)},
         kIpxeEfi,
         "(arch 20) ignored: no loader"},
        {"a PXE architecture",
         {{93, {0, 7}}, HttpClass(7)},
         kIpxeEfi,
         "(arch 7) ignored: no loader"},
        {"no architecture", {HttpClass(16)}, kIpxeEfi, "(arch 0) ignored: no loader"},
        {"an architecture past the table",
         {{93, {0xFF, 0xFF}}, HttpClass(16)},
         kIpxeEfi,
         "(arch 65535) ignored: no loader"},
        {"a loader URL longer than the file field",
         {{93, {0, 16}}, HttpClass(16)},
         strLongName.c_str(),
         "(arch 16) ignored: the loader's URL does not fit"},
        {"arm64 UEFI over HTTP: no arm64 iPXE",
         {{93, {0, 19}}, HttpClass(19)},
         kIpxeEfi,
         "(arch 19) ignored: no loader"},
        {"x64 with the GRUB tree",
         {{93, {0, 16}}, HttpClass(16)},
         kEfi,
         "(arch 16) ignored: only the iPXE tree boots over HTTP"},
    };
    QVDHCP_CFG_SetHttpPort(8810);
    QVDHCP_CFG_SetAdmitFunc(Admit);
    uint8_t ucMac = 1;
    for (uint32_t uiProxy : {0u, 1u}) {
        QVDHCP_CFG_SetProxy(uiProxy);
        for (const Case &stCase : astCases) {
            SCOPED_TRACE(std::string(stCase.pcName) + (uiProxy ? " (proxy)" : ""));
            TestLogLines().clear();
            g_vecAdmitEfi.clear();
            QVDHCP_CFG_SetEfiBootFile(stCase.pcEfiFile);
            QVDHCP_CFG_SetIpxeLoader(stCase.pcEfiFile == kEfi ? 0 : 1);
            Feed(Msg(1, ucMac, stCase.vecOpts));
            EXPECT_TRUE(g_vecSent.empty());
            EXPECT_TRUE(g_vecEvents.empty());
            EXPECT_TRUE(g_vecAdmitEfi.empty()) << "refused before the admission check";
            const uint8_t aucMac[6] = {0x52, 0x54, 0, 0, 0, ucMac};
            EXPECT_FALSE(Active(ucMac));
            EXPECT_FALSE(QVDHCP_SESSION_Find(QVDHCP_Table::Proxy, aucMac, nullptr));
            EXPECT_TRUE(TestLogHas(stCase.pcWhy)) << stCase.pcWhy;
            EXPECT_EQ(std::count_if(TestLogLines().begin(), TestLogLines().end(),
                                    [](const std::string &strLine) { return strLine[0] != '3'; }),
                      1);
            ++ucMac;
        }
    }
    EXPECT_TRUE(LEASEDB_Snapshot().empty());
    EXPECT_TRUE(std::all_of(g_pucDHCPIpMap, g_pucDHCPIpMap + kCount,
                            [](uint8_t uc) { return uc == QVDHCP_IP_FREE; }));
    QVDHCP_CFG_SetAdmitFunc(nullptr);
}

class RelayTest : public EngineTest {
protected:
    static constexpr uint32_t kFarStart = 0x0A140064;  // 10.20.0.100, behind the relay
    static constexpr uint32_t kRelay = 0x0A140001;     // 10.20.0.1
    void SetUp() override
    {
        EngineTest::SetUp();
        QVDHCP_SESSION_Destroy();
        QVDHCP_CFG_FreeIpMap();
        QVDHCP_CFG_SetIPRange(kFarStart, kFarStart + kCount - 1);
        QVDHCP_CFG_SetRouter(0);
        QVDHCP_CFG_SetRelay(1);
        ASSERT_EQ(QVDHCP_CFG_CreateIpMap(), 0);
        QVDHCP_SESSION_Create();
    }
    static Request Relayed(uint8_t ucType, uint8_t ucMac, uint32_t uiGiaddr, uint8_t ucHops,
                           Options vecMore = {})
    {
        Request stReq = Msg(ucType, ucMac, vecMore);
        stReq.uiGiaddr = uiGiaddr;
        stReq.ucHops = ucHops;
        return stReq;
    }
};

TEST_F(RelayTest, ServedFromThePoolOfTheRelaysSubnetThroughTheRelay)
{
    Bytes vecReq = Feed(Relayed(1, 1, kRelay, 1, {kPxeArch0}));
    ASSERT_EQ(g_vecSent.size(), 1u);
    EXPECT_EQ(ReadU32(g_vecSent[0].vecData, 16), kFarStart);
    EXPECT_EQ(ReadU32(g_vecSent[0].vecData, 24), kRelay);  // giaddr kept
    EXPECT_EQ(g_vecSent[0].uiDst, kRelay);
    EXPECT_EQ(g_vecSent[0].usPort, 67);
    Options vecOpts = ReplyOptions(g_vecSent[0].vecData);
    ASSERT_GE(vecOpts.size(), 5u);
    EXPECT_EQ(vecOpts[4], (std::pair<uint8_t, Bytes>{3, U32(kRelay)}));  // router: the relay
    Feed(Relayed(3, 1, kRelay, 1, {{54, U32(kServer)}, {50, U32(kFarStart)}}));
    ASSERT_EQ(g_vecSent.size(), 2u);
    EXPECT_EQ(ReplyOptions(g_vecSent[1].vecData)[0].second, Bytes{5});
    EXPECT_EQ(g_vecSent[1].uiDst, kRelay);
    EXPECT_EQ(g_vecSent[1].usPort, 67);
    // A router set in the relay's subnet stays.
    QVDHCP_CFG_SetRouter(0x0A1400FE);
    Feed(Relayed(1, 2, kRelay, 1, {kPxeArch0}));
    ASSERT_EQ(g_vecSent.size(), 3u);
    EXPECT_EQ(ReplyOptions(g_vecSent[2].vecData)[4].second, U32(0x0A1400FE));
}

TEST_F(RelayTest, BadRelayedPacketsChangeNothing)
{
    struct Case {
        const char *pcName;
        Request stReq;
        const char *pcWhy;
    } astCases[] = {
        {"17 hops", Relayed(1, 3, kRelay, 17, {kPxeArch0}), "(hops 17) ignored: too many hops"},
        {"relay in the server's own subnet", Relayed(1, 4, 0xC0A83209, 1, {kPxeArch0}),
         "ignored: relay in the server's own subnet"},
        {"subnet without a pool", Relayed(1, 5, 0x0A1E0001, 1, {kPxeArch0}),
         "ignored: no pool for the relay's subnet"},
        {"request for an uncovered subnet",
         Relayed(3, 6, 0x0A1E0001, 1, {{54, U32(kServer)}, {50, U32(0x0A1E0064)}}),
         "ignored: no pool for the relay's subnet"},
    };
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.pcName);
        TestLogLines().clear();
        Feed(stCase.stReq);
        EXPECT_TRUE(g_vecSent.empty());
        EXPECT_TRUE(g_vecEvents.empty());
        EXPECT_FALSE(Active(stCase.stReq.ucMac));
        EXPECT_TRUE(TestLogHas(stCase.pcWhy));
        EXPECT_EQ(std::count_if(TestLogLines().begin(), TestLogLines().end(),
                                [](const std::string &strLine) { return strLine[0] != '3'; }),
                  1);
    }
    EXPECT_TRUE(LEASEDB_Snapshot().empty());
    EXPECT_TRUE(std::all_of(g_pucDHCPIpMap, g_pucDHCPIpMap + kCount,
                            [](uint8_t uc) { return uc == QVDHCP_IP_FREE; }));
}

}  // namespace
