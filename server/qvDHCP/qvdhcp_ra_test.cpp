// Router solicitations as they arrive, and the advertisement and the limits of the answers.
#include "qvdhcp_ra.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t kLinkLocal[16] = {0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0x50, 0x54, 0, 0xFF, 0xFE, 0, 0, 1};
const uint8_t kUnspecified[16] = {};
const uint8_t kGlobal[16] = {0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

// A solicitation: type 133, code, checksum and reserved, then the options as given.
Bytes Solicit(Bytes vecOptions = {}, uint8_t ucCode = 0, uint8_t ucType = 133)
{
    Bytes vec(8 + vecOptions.size(), 0);
    vec[0] = ucType;
    vec[1] = ucCode;
    std::copy(vecOptions.begin(), vecOptions.end(), vec.begin() + 8);
    return vec;
}
const Bytes kSourceLinkAddr = {1, 1, 0x52, 0x54, 0, 0, 0, 1};

TEST(RouterAdvertisement, SolicitationsAreCheckedBeforeTheyAreAnswered)
{
    struct Case {
        const char *pcName;
        Bytes vecMsg;
        int iHopLimit;
        const uint8_t *pucSource;
        QVDHCP_RaAnswer eAnswer;
        const char *pcWhy;
    } astCases[] = {
        {"from a link-local address", Solicit(kSourceLinkAddr), 255, kLinkLocal,
         QVDHCP_RaAnswer::Unicast, nullptr},
        {"from the unspecified address", Solicit(), 255, kUnspecified, QVDHCP_RaAnswer::Multicast,
         nullptr},
        {"from an address not on the link is answered on the link only", Solicit(), 255, kGlobal,
         QVDHCP_RaAnswer::Multicast, nullptr},
        {"an unknown option is skipped", Solicit({99, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
         255, kLinkLocal, QVDHCP_RaAnswer::Unicast, nullptr},
        {"routed here", Solicit(), 64, kLinkLocal, QVDHCP_RaAnswer::None, "hop limit"},
        {"hop limit unknown", Solicit(), -1, kLinkLocal, QVDHCP_RaAnswer::None, "hop limit"},
        {"code 1", Solicit({}, 1), 255, kLinkLocal, QVDHCP_RaAnswer::None,
         "not a router solicitation"},
        {"an advertisement", Solicit({}, 0, 134), 255, kLinkLocal, QVDHCP_RaAnswer::None,
         "not a router solicitation"},
        {"7 bytes", Bytes{133, 0, 0, 0, 0, 0, 0}, 255, kLinkLocal, QVDHCP_RaAnswer::None,
         "shorter than 8 bytes"},
        {"empty", Bytes{}, 255, kLinkLocal, QVDHCP_RaAnswer::None, "shorter than 8 bytes"},
        {"option of length 0", Solicit({1, 0, 0, 0, 0, 0, 0, 0}), 255, kLinkLocal,
         QVDHCP_RaAnswer::None, "option of length 0"},
        {"option past the end", Solicit({1, 2, 0x52, 0x54, 0, 0, 0, 1}), 255, kLinkLocal,
         QVDHCP_RaAnswer::None, "past the end"},
        {"a lone option byte", Solicit({1}), 255, kLinkLocal, QVDHCP_RaAnswer::None,
         "past the end"},
        {"link-layer address from the unspecified address", Solicit(kSourceLinkAddr), 255,
         kUnspecified, QVDHCP_RaAnswer::None, "from the unspecified address"},
    };
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.pcName);
        const char *pcWhy = "unset";
        EXPECT_EQ(QVDHCP_RA_Check(stCase.vecMsg.data(), stCase.vecMsg.size(), stCase.iHopLimit,
                                  stCase.pucSource, &pcWhy),
                  stCase.eAnswer);
        if (stCase.pcWhy == nullptr) {
            EXPECT_EQ(pcWhy, nullptr);
        } else {
            ASSERT_NE(pcWhy, nullptr);
            EXPECT_NE(std::string(pcWhy).find(stCase.pcWhy), std::string::npos) << pcWhy;
        }
    }
}

TEST(RouterAdvertisement, MakesNoOneARouter)
{
    uint8_t aucAdvert[QVDHCP_RA_SIZE];
    std::fill(std::begin(aucAdvert), std::end(aucAdvert), 0xAA);
    QVDHCP_RA_Build(aucAdvert);
    // Type 134, code 0, checksum (the kernel's), hop limit 0, M/O clear, lifetime 0, reachable
    // time 0, retransmission timer 0, and no prefix option.
    const Bytes vecExpect = {134, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Bytes(std::begin(aucAdvert), std::end(aucAdvert)), vecExpect);
}

TEST(RouterAdvertisement, FloodsAreAnsweredAtABoundedRate)
{
    QVDHCP_RaLimiter stLimiter;
    int64_t llNow = 1000 * G_USEC_PER_SEC;
    stLimiter.llLastUs = llNow;
    // A burst of unicast answers, then nothing until the bucket refills.
    int iSent = 0;
    for (int i = 0; i < 1000; ++i) {
        iSent += stLimiter.Take(QVDHCP_RaAnswer::Unicast, llNow) ? 1 : 0;
    }
    EXPECT_EQ(iSent, int(QVDHCP_RA_BURST));
    EXPECT_FALSE(stLimiter.Take(QVDHCP_RaAnswer::Unicast, llNow + G_USEC_PER_SEC / 8));
    EXPECT_TRUE(stLimiter.Take(QVDHCP_RaAnswer::Unicast, llNow + G_USEC_PER_SEC / 4));
    // Ten seconds of a flood at 1000 a second: at most the burst and the rate.
    iSent = 0;
    int64_t llStart = llNow + 60 * G_USEC_PER_SEC;
    for (int64_t llAt = llStart; llAt < llStart + 10 * G_USEC_PER_SEC; llAt += 1000) {
        iSent += stLimiter.Take(QVDHCP_RaAnswer::Unicast, llAt) ? 1 : 0;
    }
    EXPECT_LE(iSent, int(QVDHCP_RA_BURST + 10 * QVDHCP_RA_RATE));
    EXPECT_GE(iSent, int(10 * QVDHCP_RA_RATE));
    // To all nodes at most one per gap, though tokens are left.
    int64_t llLater = llStart + 100 * G_USEC_PER_SEC;
    EXPECT_TRUE(stLimiter.Take(QVDHCP_RaAnswer::Multicast, llLater));
    EXPECT_FALSE(stLimiter.Take(QVDHCP_RaAnswer::Multicast, llLater + G_USEC_PER_SEC));
    EXPECT_TRUE(stLimiter.Take(QVDHCP_RaAnswer::Unicast, llLater + G_USEC_PER_SEC));
    EXPECT_TRUE(stLimiter.Take(QVDHCP_RaAnswer::Multicast, llLater + QVDHCP_RA_MULTICAST_GAP_US));
}

}  // namespace
