// Request parsing, content types and reply heads.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "qvhttp_util.h"

namespace {

TEST(QvHttpUtil, RequestLineGivesDecodedPathWithoutQuery)
{
    struct Case {
        const char *pcRequest;
        bool bOk;
        const char *pcURI;
    } astCases[] = {
        {"GET /ISO1/boot/vmlinuz?x=1 HTTP/1.1\r\nHost: a\r\n\r\n", true, "/ISO1/boot/vmlinuz"},
        {"GET /a%20b HTTP/1.0\r\n\r\n", true, "/a b"},
        {"GET /a+b HTTP/1.1\r\n\r\n", true, "/a+b"},
        {"HEAD /kickstart/ks.cfg HTTP/1.1\r\n\r\n", true, "/kickstart/ks.cfg"},
        {"GET /ISO1/%2e%2e/etc HTTP/1.1\r\n\r\n", true, "/ISO1/../etc"},
        // The request line is the first line and nothing else.
        {"xyz\r\nGET /late HTTP/1.1\r\n\r\n", false, ""},
        {" GET /x HTTP/1.1\r\n\r\n", false, ""},
        {"POST /x HTTP/1.1\r\n\r\n", false, ""},
        {"GET /x HTTP/2\r\n\r\n", false, ""},
        {"GET /x\r\n\r\n", false, ""},
        {"GET /a%zz HTTP/1.1\r\n\r\n", false, ""},
        {"GET /a%2 HTTP/1.1\r\n\r\n", false, ""},
        {"GET /a%00b HTTP/1.1\r\n\r\n", false, ""},
    };
    for (const Case &stCase : astCases) {
        char szURI[QVHTTP_URI_SIZE] = "junk";
        uint32_t uiRet = QVHTTP_UTIL_GetReqURI(stCase.pcRequest, szURI, sizeof(szURI));
        EXPECT_EQ(uiRet == 0, stCase.bOk) << stCase.pcRequest;
        EXPECT_STREQ(szURI, stCase.pcURI) << stCase.pcRequest;
    }
}

TEST(QvHttpUtil, LongPathIsCutToTheBuffer)
{
    char szURI[8];
    ASSERT_EQ(QVHTTP_UTIL_GetReqURI("GET /abcdefghij HTTP/1.1", szURI, sizeof(szURI)), 0u);
    EXPECT_STREQ(szURI, "/abcdef");
}

TEST(QvHttpUtil, RequestLineForEventsKeepsMethodAndQuery)
{
    char szText[64] = "GET /a%20b?mac=00-11 HTTP/1.1\r\nHost: x";
    QVHTTP_UTIL_DecodeReqLine(szText, sizeof(szText));
    EXPECT_STREQ(szText, "GET /a b?mac=00-11");
}

TEST(QvHttpUtil, ConnectionHeaderDecidesKeepAlive)
{
    struct Case {
        const char *pcHead;
        uint32_t uiKeep;
    } astCases[] = {
        {"GET / HTTP/1.1\r\nConnection: close\r\n\r\n", 0},
        {"GET / HTTP/1.1\r\nConnection: Close\r\n\r\n", 0},
        {"GET / HTTP/1.1\r\nConnection: keep-alive\r\n\r\n", 1},
        {"GET / HTTP/1.1\r\n\r\n", 1},
        {"GET / HTTP/1.1\r\nconnection: CLOSE\r\n\r\n", 0},
        {"GET / HTTP/1.1\r\nX-Connection: close\r\n\r\n", 1},
        // HTTP/1.0 closes unless it asks to stay.
        {"GET / HTTP/1.0\r\n\r\n", 0},
        {"GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", 1},
    };
    for (const Case &stCase : astCases) {
        EXPECT_EQ(QVHTTP_UTIL_IsKeepAlive(stCase.pcHead), stCase.uiKeep) << stCase.pcHead;
    }
}

// Each head is parsed once; header text never counts as a request line, a range, or a
// virtual-ISO parameter.
TEST(QvHttpUtil, HeadParsesIntoOneRequestRecord)
{
    struct Case {
        const char *pcHead;
        bool bOk, bHead;
        const char *pcPath, *pcQuery, *pcLine;
        int64_t llStart, llEnd;
        uint32_t uiKeep;
    } astCases[] = {
        {"GET /a%20b?mac=00-11-22-33-44-55&uefi HTTP/1.1\r\nRange: bytes=5-\r\n\r\n", true, false,
         "/a b", "mac=00-11-22-33-44-55&uefi", "GET /a b?mac=00-11-22-33-44-55&uefi", 5,
         QVHTTP_RANGE_ABSENT, 1},
        {"HEAD /x HTTP/1.0\r\nX: GET /big.bin HTTP/1.1\r\nX-Note: Range: bytes=1-2\r\n\r\n", true,
         true, "/x", "", "HEAD /x", QVHTTP_RANGE_ABSENT, QVHTTP_RANGE_ABSENT, 0},
        {"GET /v.iso HTTP/1.1\r\nUser-Agent: uefi mac=00-11-22-33-44-55\r\nrange: "
         "bytes=0-9\r\n\r\n",
         true, false, "/v.iso", "", "GET /v.iso", 0, 9, 1},
        // SMBIOS strings arrive unescaped; the last " HTTP/1.x" ends the target
        {"GET /kickstart/virturl_report_client_info?vendor=Dell Inc.&pdt_serial=AB 12&pdt_name="
         "HTTP/1 Box&param_end HTTP/1.1\r\n\r\n",
         true, false, "/kickstart/virturl_report_client_info",
         "vendor=Dell Inc.&pdt_serial=AB 12&pdt_name=HTTP/1 Box&param_end",
         "GET /kickstart/virturl_report_client_info?vendor=Dell Inc.&pdt_serial=AB "
         "12&pdt_name=HTTP/1 Box&param_end",
         QVHTTP_RANGE_ABSENT, QVHTTP_RANGE_ABSENT, 1},
        // a space in the path or a second line in the target stays refused
        {"GET /a b HTTP/1.1\r\n\r\n", false, false, "", "", "", QVHTTP_RANGE_ABSENT,
         QVHTTP_RANGE_ABSENT, 1},
        {"GET /a?x=1\r\nY HTTP/1.1\r\n\r\n", false, false, "", "", "", QVHTTP_RANGE_ABSENT,
         QVHTTP_RANGE_ABSENT, 0},
        {"X: GET /big.bin HTTP/1.1\r\n\r\n", false, false, "", "", "", QVHTTP_RANGE_ABSENT,
         QVHTTP_RANGE_ABSENT, 1},
    };
    for (const Case &stCase : astCases) {
        QVHTTP_Request stReq;
        EXPECT_EQ(QVHTTP_UTIL_ParseHead(stCase.pcHead, &stReq) == 0, stCase.bOk) << stCase.pcHead;
        EXPECT_EQ(stReq.bHead, stCase.bHead) << stCase.pcHead;
        EXPECT_EQ(stReq.strPath, stCase.pcPath) << stCase.pcHead;
        EXPECT_EQ(stReq.strQuery, stCase.pcQuery) << stCase.pcHead;
        EXPECT_EQ(stReq.strLine, stCase.pcLine) << stCase.pcHead;
        EXPECT_EQ(stReq.llRangeStart, stCase.llStart) << stCase.pcHead;
        EXPECT_EQ(stReq.llRangeEnd, stCase.llEnd) << stCase.pcHead;
        EXPECT_EQ(stReq.uiKeepAlive, stCase.uiKeep) << stCase.pcHead;
    }
}

// Heads are network bytes: bytes 0x80-0xff (not UTF-8) anywhere are read as plain bytes.
TEST(QvHttpUtil, RawByteHeadsParseAsBytes)
{
    struct Case {
        const char *pcHead;
        bool bOk;
        const char *pcPath;
        int64_t llStart;
    } astCases[] = {
        {"GET /a HTTP/1.1\r\nRange: bytes=5-\xff", true, "/a", 5},
        {"GET /a HTTP/1.1\r\nRange: bytes=5-\xff\xfe\r\n\r\n", true, "/a", 5},
        {"GET /\xc3\x28\xff HTTP/1.1\r\nConnection: \xe2\x82\r\n\r\n", true, "/\xc3\x28\xff",
         QVHTTP_RANGE_ABSENT},
        {"GET /%ff HTTP/1.0\r\nRange: bytes=\xff-1\r\n", true, "/\xff", QVHTTP_RANGE_ABSENT},
        {"\xff^\xfe GET /a HTTP/1.1\r\n", false, "", QVHTTP_RANGE_ABSENT},
    };
    for (const Case &stCase : astCases) {
        QVHTTP_Request stReq;
        EXPECT_EQ(QVHTTP_UTIL_ParseHead(stCase.pcHead, &stReq) == 0, stCase.bOk) << stCase.pcHead;
        EXPECT_EQ(stReq.strPath, stCase.pcPath) << stCase.pcHead;
        EXPECT_EQ(stReq.llRangeStart, stCase.llStart) << stCase.pcHead;
    }
}

TEST(QvHttpUtil, RangeHeaderGivesFirstAndLastByte)
{
    struct Case {
        const char *pcHead;
        bool bRange;
        int64_t llStart, llEnd;
    } astCases[] = {
        {"Range: bytes=100-\r\n", true, 100, 999},
        {"Range: bytes=100-199\r\n", true, 100, 199},
        {"Range:bytes=0-0\r\n", true, 0, 0},
        {"Range: bytes=5-9,20-30\r\n", true, 5, 9},
        {"Range: bytes=99999999999999999999999-\r\n", true, INT64_MAX, 999},
        {"Range: bytes=-100\r\n", false, QVHTTP_RANGE_ABSENT, QVHTTP_RANGE_ABSENT},
        {"Range: items=1-2\r\n", false, QVHTTP_RANGE_ABSENT, QVHTTP_RANGE_ABSENT},
        {"Host: x\r\n", false, QVHTTP_RANGE_ABSENT, QVHTTP_RANGE_ABSENT},
    };
    for (const Case &stCase : astCases) {
        int64_t llStart = 1, llEnd = 1;
        uint32_t uiRet = QVHTTP_UTIL_GetFileRangeValue(stCase.pcHead, 1000, &llStart, &llEnd);
        EXPECT_EQ(uiRet == 0, stCase.bRange) << stCase.pcHead;
        EXPECT_EQ(llStart, stCase.llStart) << stCase.pcHead;
        EXPECT_EQ(llEnd, stCase.llEnd) << stCase.pcHead;
    }
}

TEST(QvHttpUtil, ContentTypeByFirstTableExtensionFound)
{
    struct Case {
        const char *pcPath;
        const char *pcType;
    } astCases[] = {
        {"/boot/initrd.img", "application/misc"},
        {"/ISO1/x.iso", "application/misc"},
        {"/pxelinux.cfg/default.txt", "text/plain"},
        {"/a.json", "text/javascript"},
        {"/a.js", "text/javascript"},
        {"/index.html", "text/html"},
        {"/p.jpeg", "image/jpeg"},
        {"/v.mp4", "video/mpeg4"},
        {"/f.swf", "application/x-shockwave-flash"},
        {"/x.css.png", "text/css"},  // the table order decides, not the position in the path
        {"/A.TXT", "application/misc"},
        {"/data/ipxe/ipxe.efi.0", "application/efi"},
        {"/data/grub2/grub2.x64efi.all.0", "application/efi"},
        {"/ISO1/EFI/BOOT/BOOTX64.EFI", "application/efi"},
        {"/ISO1/images/efiboot.img", "application/misc"},
        {"/efi.d/vmlinuz", "application/misc"},  // the name counts, not its folder
        {"/EFI/BOOT/grub.cfg.txt", "text/plain"},
    };
    for (const Case &stCase : astCases) {
        char szType[64];
        QVHTTP_UTIL_GetContentType(stCase.pcPath, sizeof(szType), szType);
        EXPECT_STREQ(szType, stCase.pcType) << stCase.pcPath;
    }
}

// Splits a head around its Date line so the rest can be compared byte for byte.
std::string WithoutDate(const std::string &strHead)
{
    static const std::regex stDate(
        "Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), \\d\\d "
        "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \\d{4} \\d\\d:\\d\\d:\\d\\d GMT\r\n");
    std::smatch stMatch;
    if (!std::regex_search(strHead, stMatch, stDate)) {
        return "no date in: " + strHead;
    }
    return stMatch.prefix().str() + "Date: *\r\n" + stMatch.suffix().str();
}

TEST(QvHttpUtil, ReplyHeadsInTheirThreeForms)
{
    QVHTTP_ReplyHdr stErr;
    stErr.uiStatus = 404;
    stErr.uiKeepAlive = 1;
    snprintf(stErr.szReason, sizeof(stErr.szReason), "DOCUMENT NOT FOUND");
    stErr.llContentLen = 12345;  // the error form always carries its own 5-byte body

    QVHTTP_ReplyHdr stRange;
    stRange.uiStatus = 206;
    stRange.uiKeepAlive = 0;
    snprintf(stRange.szReason, sizeof(stRange.szReason), "Partial Content");
    snprintf(stRange.szContentType, sizeof(stRange.szContentType), "text/plain");
    stRange.llContentLen = 100;
    stRange.llRangeStart = 900;
    stRange.llRangeEnd = 999;
    stRange.llTotalSize = 1000;

    QVHTTP_ReplyHdr stWhole;
    snprintf(stWhole.szContentType, sizeof(stWhole.szContentType), "application/misc");
    stWhole.llContentLen = 6442450944LL;

    struct Case {
        const QVHTTP_ReplyHdr *pstHdr;
        const char *pcExpected;
    } astCases[] = {
        {&stErr, "HTTP/1.1 404 DOCUMENT NOT FOUND \r\nContent-Type: text/html\r\n"
                 "Connection: Keep-Alive\r\nDate: *\r\nContent-Length: 5\r\n\r\nERROR"},
        {&stRange, "HTTP/1.1 206 Partial Content \r\nContent-Type: text/plain\r\n"
                   "Connection: Close\r\nDate: *\r\nContent-Length: 100\r\n"
                   "Content-Range: bytes 900-999/1000\r\n\r\n"},
        {&stWhole, "HTTP/1.1 200 OK \r\nContent-Type: application/misc\r\n"
                   "Connection: Keep-Alive\r\nDate: *\r\nContent-Length: 6442450944\r\n\r\n"},
    };
    for (const Case &stCase : astCases) {
        char szHead[2048];
        int iLen = QVHTTP_UTIL_FmtReplyHead(*stCase.pstHdr, sizeof(szHead), szHead);
        ASSERT_EQ(iLen, static_cast<int>(strlen(szHead)));
        EXPECT_EQ(WithoutDate(szHead), stCase.pcExpected);
    }
    char szSmall[16];
    EXPECT_EQ(QVHTTP_UTIL_FmtReplyHead(stWhole, sizeof(szSmall), szSmall), 15);
    EXPECT_STREQ(szSmall, "HTTP/1.1 200 OK");
}

TEST(QvHttpUtil, MacParameterIsReadOnlyWhenComplete)
{
    struct Case {
        const char *pcText;
        bool bOk;
        uint8_t aucMac[6];
    } astCases[] = {
        {"GET /ISO1/_VIRTISO_.iso?mac=00-1a-2B-3c-4d-ff&uefi",
         true,
         {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0xff}},
        {"mac=52-54-00-12-34-56", true, {0x52, 0x54, 0x00, 0x12, 0x34, 0x56}},
        {"mac=52-54-00-12-34", false, {9, 9, 9, 9, 9, 9}},
        {"mac=52-54-00-12-34-5", false, {9, 9, 9, 9, 9, 9}},
        {"mac=zz-54-00-12-34-56", false, {9, 9, 9, 9, 9, 9}},
        {"GET /x HTTP/1.1", false, {9, 9, 9, 9, 9, 9}},
    };
    for (const Case &stCase : astCases) {
        uint8_t aucMac[6] = {9, 9, 9, 9, 9, 9};
        EXPECT_EQ(QVHTTP_UTIL_GetMacParam(stCase.pcText, aucMac), stCase.bOk) << stCase.pcText;
        EXPECT_EQ(memcmp(aucMac, stCase.aucMac, 6), 0) << stCase.pcText;
    }
}

TEST(QvHttpUtil, StripSlashRemovesOne)
{
    char szA[] = "ISO1/boot//";
    QVHTTP_UTIL_StripSlash(szA);
    EXPECT_STREQ(szA, "ISO1/boot/");
    char szB[] = "";
    QVHTTP_UTIL_StripSlash(szB);
    EXPECT_STREQ(szB, "");
}

}  // namespace
