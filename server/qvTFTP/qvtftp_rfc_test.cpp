// Packet codec: requests with options, the other packet kinds, builders and malformed input.
#include <gtest/gtest.h>

#include <string>

#include "qvtftp_rfc.h"

namespace {

using Bytes = std::string;

Bytes Req(uint16_t usOpcode, const Bytes &szBody)
{
    Bytes szPkt;
    szPkt += static_cast<char>(usOpcode >> 8);
    szPkt += static_cast<char>(usOpcode & 0xFF);
    return szPkt + szBody;
}

// A byte string from a literal with embedded NULs, without the literal's own final NUL.
template <size_t N>
Bytes B(const char (&acText)[N])
{
    return Bytes(acText, N - 1);
}

const uint8_t *Data(const Bytes &szPkt)
{
    return reinterpret_cast<const uint8_t *>(szPkt.data());
}

struct RQCase {
    const char *pcWhat;
    Bytes szBody;  // after the opcode
    uint32_t uiRet;
    int64_t llTsize;
    uint16_t usTimeout;
    uint16_t usBlkSize;
};

const RQCase kRQCases[] = {
    {"plain", B("a/b\0octet\0"), 0, -1, 0, 0},
    {"name in capitals",
     B("f\0octet\0BLKSIZE\0"
       "1468\0"),
     0, -1, 0, 1468},
    {"blksize 7",
     B("f\0octet\0blksize\0"
       "7\0"),
     QVTFTP_ERR_OPT_VALUE, -1, 0, 0},
    {"blksize 8",
     B("f\0octet\0blksize\0"
       "8\0"),
     0, -1, 0, 8},
    {"blksize 65464",
     B("f\0octet\0blksize\0"
       "65464\0"),
     0, -1, 0, 65464},
    {"blksize 65465",
     B("f\0octet\0blksize\0"
       "65465\0"),
     QVTFTP_ERR_OPT_VALUE, -1, 0, 0},
    {"blksize text",
     B("f\0octet\0blksize\0"
       "big\0"),
     QVTFTP_ERR_OPT_VALUE, -1, 0, 0},
    {"timeout 0",
     B("f\0octet\0timeout\0"
       "0\0"),
     QVTFTP_ERR_OPT_VALUE, -1, 0, 0},
    {"timeout 1",
     B("f\0octet\0timeout\0"
       "1\0"),
     0, -1, 1, 0},
    {"timeout 255",
     B("f\0octet\0timeout\0"
       "255\0"),
     0, -1, 255, 0},
    {"timeout 256",
     B("f\0octet\0timeout\0"
       "256\0"),
     QVTFTP_ERR_OPT_VALUE, -1, 0, 0},
    {"tsize 0",
     B("f\0octet\0tsize\0"
       "0\0"),
     0, 0, 0, 0},
    {"unknown option skipped, others count",
     B("f\0octet\0rollover\0"
       "0\0tsize\0"
       "0\0blksize\0"
       "1456\0"),
     0, 0, 0, 1456},
    {"mode in capitals", B("f\0NETASCII\0"), 0, -1, 0, 0},
    {"mode mixed case", B("f\0MaIl\0"), 0, -1, 0, 0},
    {"mode refused", B("f\0binary\0"), QVTFTP_ERR_MODE, -1, 0, 0},
    {"name without NUL", B("file"), QVTFTP_ERR_FAILED, -1, 0, 0},
    {"mode without NUL", B("f\0octet"), QVTFTP_ERR_FAILED, -1, 0, 0},
    {"option without value", B("f\0octet\0blksize\0"), QVTFTP_ERR_FAILED, -1, 0, 0},
    {"option value without NUL",
     B("f\0octet\0blksize\0"
       "1024"),
     QVTFTP_ERR_FAILED, -1, 0, 0},
    {"empty packet body", Bytes(), QVTFTP_ERR_FAILED, -1, 0, 0},
    {"one or two trailing bytes are no option", B("f\0octet\0x\0"), 0, -1, 0, 0},
    {"empty option name ends the list",
     B("f\0octet\0\0blksize\0"
       "9\0"),
     0, -1, 0, 0},
};

TEST(QvTftpRfc, RequestOptionsAndModes)
{
    for (const RQCase &stCase : kRQCases) {
        SCOPED_TRACE(stCase.pcWhat);
        for (uint16_t usOpcode : {QVTFTP_RFC_OPCODE_RRQ, QVTFTP_RFC_OPCODE_WRQ}) {
            const Bytes szPkt = Req(usOpcode, stCase.szBody);
            QVTFTP_RFC_Pkt stPkt;
            EXPECT_EQ(stCase.uiRet, QVTFTP_RFC_ParsePkt(Data(szPkt), szPkt.size(), &stPkt));
            EXPECT_EQ(usOpcode, stPkt.usOpcode);
            if (stCase.uiRet == 0) {
                EXPECT_EQ(stCase.llTsize, stPkt.stRQ.stOpt.llTsize);
                EXPECT_EQ(stCase.usTimeout, stPkt.stRQ.stOpt.usTimeout);
                EXPECT_EQ(stCase.usBlkSize, stPkt.stRQ.stOpt.usBlkSize);
            }
        }
    }
}

TEST(QvTftpRfc, RequestFieldsAreCutToTheirBuffers)
{
    const Bytes szName(300, 'n');
    const Bytes szPkt = Req(QVTFTP_RFC_OPCODE_RRQ, szName + B("\0octet\0"));
    QVTFTP_RFC_RQInfo stRQ;
    ASSERT_EQ(0u, QVTFTP_RFC_ParseRQPkt(Data(szPkt), szPkt.size(), &stRQ));
    EXPECT_EQ(Bytes(255, 'n'), stRQ.szFileName);
    EXPECT_STREQ("octet", stRQ.szMode);

    // A 512-byte request is read; one byte more is refused before any field is looked at.
    Bytes szBody = B("f\0octet\0");
    szBody += Bytes(510 - szBody.size() - 1, 'x') + Bytes(1, '\0');
    const Bytes szMax = Req(QVTFTP_RFC_OPCODE_RRQ, szBody);
    ASSERT_EQ(512u, szMax.size());
    EXPECT_EQ(QVTFTP_ERR_FAILED, QVTFTP_RFC_ParseRQPkt(Data(szMax), szMax.size(), &stRQ))
        << "an option name without value";
    const Bytes szLong = szMax + "y";
    EXPECT_EQ(QVTFTP_ERR_RQ_TOO_LONG, QVTFTP_RFC_ParseRQPkt(Data(szLong), szLong.size(), &stRQ));
}

// Every cut of a valid request must be parsed without reading past its end.
TEST(QvTftpRfc, TruncatedRequestsNeverSucceedWithoutTheirMode)
{
    const Bytes szFull = Req(QVTFTP_RFC_OPCODE_RRQ, B("boot/x\0octet\0blksize\0"
                                                      "1024\0"));
    for (size_t uiLen = 0; uiLen < szFull.size(); ++uiLen) {
        SCOPED_TRACE(uiLen);
        const Bytes szCut = szFull.substr(0, uiLen);  // own allocation: no slack after the end
        QVTFTP_RFC_Pkt stPkt;
        const uint32_t uiRet = QVTFTP_RFC_ParsePkt(Data(szCut), szCut.size(), &stPkt);
        if (uiLen < 2) {
            EXPECT_EQ(QVTFTP_ERR_OPCODE, uiRet);
        } else if (uiLen < 2 + 13) {
            EXPECT_EQ(QVTFTP_ERR_FAILED, uiRet);
        } else {
            EXPECT_NE(QVTFTP_ERR_OPCODE, uiRet);
        }
    }
}

TEST(QvTftpRfc, OtherPacketKinds)
{
    QVTFTP_RFC_Pkt stPkt;
    const Bytes szData = B("\0\3\x12\x34hello");
    ASSERT_EQ(0u, QVTFTP_RFC_ParsePkt(Data(szData), szData.size(), &stPkt));
    EXPECT_EQ(0x1234, stPkt.stData.usBlock);
    EXPECT_EQ(5u, stPkt.stData.uiDataLen);
    EXPECT_EQ(Data(szData) + 4, stPkt.stData.pucData);

    const Bytes szAck = B("\0\4\xff\xfe");
    ASSERT_EQ(0u, QVTFTP_RFC_ParsePkt(Data(szAck), szAck.size(), &stPkt));
    EXPECT_EQ(0xfffe, stPkt.stAck.usBlock);
    EXPECT_EQ(QVTFTP_ERR_FAILED, QVTFTP_RFC_ParsePkt(Data(szAck), 3, &stPkt));

    const Bytes szErr = B("\0\5\0\x08no thanks\0");
    ASSERT_EQ(0u, QVTFTP_RFC_ParsePkt(Data(szErr), szErr.size(), &stPkt));
    EXPECT_EQ(8, stPkt.stErr.usCode);
    EXPECT_STREQ("no", stPkt.stErr.szMsg) << "the message ends at its first blank";
    const Bytes szErrNoNul = B("\0\5\0\x63"
                               "abc");
    ASSERT_EQ(0u, QVTFTP_RFC_ParsePkt(Data(szErrNoNul), szErrNoNul.size(), &stPkt));
    EXPECT_EQ(99, stPkt.stErr.usCode) << "an unknown code is kept";
    EXPECT_STREQ("abc", stPkt.stErr.szMsg);

    for (const Bytes &szBad : {B("\0\0\0\0"), B("\0\7\0\0"), B("\1")}) {
        EXPECT_EQ(QVTFTP_ERR_OPCODE, QVTFTP_RFC_ParsePkt(Data(szBad), szBad.size(), &stPkt));
    }
    EXPECT_EQ(QVTFTP_ERR_PARAM, QVTFTP_RFC_ParsePkt(nullptr, 4, &stPkt));
    EXPECT_EQ(QVTFTP_ERR_PARAM, QVTFTP_RFC_ParsePkt(Data(szAck), 4, nullptr));
}

TEST(QvTftpRfc, OackBuildAndParse)
{
    QVTFTP_RFC_Pkt stPkt;
    stPkt.stOack.llTsize = 1048576;
    stPkt.stOack.usBlkSize = 1456;
    uint8_t aucBuf[600];
    uint32_t uiLen = 0;
    QVTFTP_RFC_FillPkt(QVTFTP_RFC_OPCODE_OACK, stPkt, aucBuf, sizeof(aucBuf), &uiLen);
    EXPECT_EQ(B("\0\6blksize\0"
                "1456\0tsize\0"
                "1048576\0"),
              Bytes(reinterpret_cast<char *>(aucBuf), uiLen));

    stPkt.stOack.usTimeout = 7;
    QVTFTP_RFC_FillPkt(QVTFTP_RFC_OPCODE_OACK, stPkt, aucBuf, sizeof(aucBuf), &uiLen);
    EXPECT_EQ(B("\0\6timeout\0"
                "7\0blksize\0"
                "1456\0tsize\0"
                "1048576\0"),
              Bytes(reinterpret_cast<char *>(aucBuf), uiLen));
    QVTFTP_RFC_Pkt stBack;
    ASSERT_EQ(0u, QVTFTP_RFC_ParsePkt(aucBuf, uiLen, &stBack));
    EXPECT_EQ(1048576, stBack.stOack.llTsize);
    EXPECT_EQ(7, stBack.stOack.usTimeout);
    EXPECT_EQ(1456, stBack.stOack.usBlkSize);

    const Bytes szUnknown = B("\0\6rollover\0"
                              "0\0blksize\0"
                              "512\0");
    ASSERT_EQ(0u, QVTFTP_RFC_ParsePkt(Data(szUnknown), szUnknown.size(), &stBack));
    EXPECT_EQ(512, stBack.stOack.usBlkSize);
    const Bytes szBad = B("\0\6blksize\0"
                          "4\0");
    EXPECT_EQ(QVTFTP_ERR_OPT_VALUE, QVTFTP_RFC_ParsePkt(Data(szBad), szBad.size(), &stBack));

    // Pairs that do not fit in full are left out.
    EXPECT_EQ(10u, QVTFTP_RFC_FillOption(stPkt.stOack, 20, aucBuf));  // "timeout\07\0" only
    EXPECT_EQ(0u, QVTFTP_RFC_FillOption(QVTFTP_RFC_Option{}, sizeof(aucBuf), aucBuf));
}

TEST(QvTftpRfc, WindowSizeIsCutOrLeftOut)
{
    // (value asked, window taken; 0: the option is left out)
    const struct {
        const char *pcValue;
        uint16_t usWindow;
    } astCases[] = {{"1", 1}, {"4", 4},  {"64", 64}, {"65", 64}, {"99999999999999999999999", 64},
                    {"0", 0}, {"-1", 0}, {"abc", 0}, {"4x", 0},  {"", 0}};
    for (const auto &stCase : astCases) {
        SCOPED_TRACE(stCase.pcValue);
        const Bytes szPkt = Req(QVTFTP_RFC_OPCODE_RRQ,
                                B("f\0octet\0windowsize\0") + stCase.pcValue + Bytes(1, '\0'));
        QVTFTP_RFC_Pkt stPkt;
        ASSERT_EQ(0u, QVTFTP_RFC_ParsePkt(Data(szPkt), szPkt.size(), &stPkt));
        EXPECT_EQ(stCase.usWindow, stPkt.stRQ.stOpt.usWindowSize);
        EXPECT_EQ(stCase.usWindow != 0, QVTFTP_RFC_HasOption(stPkt.stRQ.stOpt));
    }
    QVTFTP_RFC_Option stOpt;
    stOpt.usBlkSize = 1468;
    stOpt.usWindowSize = 4;
    uint8_t aucBuf[64];
    uint32_t uiLen = 0;
    QVTFTP_RFC_FillOackPkt(stOpt, aucBuf, sizeof(aucBuf), &uiLen);
    EXPECT_EQ(B("\0\6blksize\0"
                "1468\0windowsize\0"
                "4\0"),
              Bytes(reinterpret_cast<char *>(aucBuf), uiLen));
}

TEST(QvTftpRfc, OtherBuilders)
{
    uint8_t aucBuf[1024];
    uint32_t uiLen = 0;
    QVTFTP_RFC_Pkt stPkt;
    stPkt.stErr.usCode = 1;
    strcpy(stPkt.stErr.szMsg, QVTFTP_RFC_GetErrMsg(1));
    QVTFTP_RFC_FillPkt(QVTFTP_RFC_OPCODE_ERROR, stPkt, aucBuf, sizeof(aucBuf), &uiLen);
    EXPECT_EQ(B("\0\5\0\1File not found\0"), Bytes(reinterpret_cast<char *>(aucBuf), uiLen));

    stPkt.stAck.usBlock = 258;
    QVTFTP_RFC_FillPkt(QVTFTP_RFC_OPCODE_ACK, stPkt, aucBuf, sizeof(aucBuf), &uiLen);
    EXPECT_EQ(B("\0\4\1\2"), Bytes(reinterpret_cast<char *>(aucBuf), uiLen));

    const char acData[] = "xyz";
    stPkt.stData = QVTFTP_RFC_DataInfo{65535, 3, reinterpret_cast<const uint8_t *>(acData)};
    QVTFTP_RFC_FillPkt(QVTFTP_RFC_OPCODE_DATA, stPkt, aucBuf, sizeof(aucBuf), &uiLen);
    EXPECT_EQ(B("\0\3\xff\xffxyz"), Bytes(reinterpret_cast<char *>(aucBuf), uiLen));

    strcpy(stPkt.stRQ.szFileName, "pxelinux.0");
    strcpy(stPkt.stRQ.szMode, "octet");
    stPkt.stRQ.stOpt = QVTFTP_RFC_Option{0, 0, 1468};
    QVTFTP_RFC_FillPkt(QVTFTP_RFC_OPCODE_RRQ, stPkt, aucBuf, sizeof(aucBuf), &uiLen);
    const Bytes szRRQ = B("\0\1pxelinux.0\0octet\0blksize\0"
                          "1468\0tsize\0"
                          "0\0");
    EXPECT_EQ(szRRQ, Bytes(reinterpret_cast<char *>(aucBuf), uiLen));
    QVTFTP_RFC_Pkt stBack;
    ASSERT_EQ(0u, QVTFTP_RFC_ParsePkt(aucBuf, uiLen, &stBack));
    EXPECT_STREQ("pxelinux.0", stBack.stRQ.szFileName);
    EXPECT_EQ(1468, stBack.stRQ.stOpt.usBlkSize);

    // A request never grows past 512 bytes, whatever its name.
    memset(stPkt.stRQ.szFileName, 'a', sizeof(stPkt.stRQ.szFileName) - 1);
    QVTFTP_RFC_FillWRQPkt(stPkt.stRQ, aucBuf, sizeof(aucBuf), &uiLen);
    EXPECT_LE(uiLen, 512u);
    EXPECT_EQ(QVTFTP_RFC_OPCODE_WRQ, aucBuf[1]);
}

TEST(QvTftpRfc, ErrorTexts)
{
    const char *const apcText[] = {"Not defined, see error message",
                                   "File not found",
                                   "Access violation",
                                   "Disk full or allocation exceeded",
                                   "Illegal TFTP operation",
                                   "Unknown transfer ID",
                                   "File already exists",
                                   "No such user",
                                   "Transfer should be terminated due to option negotiation"};
    for (uint16_t usCode = 0; usCode <= 8; ++usCode) {
        EXPECT_STREQ(apcText[usCode], QVTFTP_RFC_GetErrMsg(usCode));
    }
    EXPECT_DEATH(QVTFTP_RFC_GetErrMsg(9), "usCode <= QVTFTP_RFC_ERR_OPTION");
}

}  // namespace
