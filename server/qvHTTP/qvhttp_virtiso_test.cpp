// Byte arithmetic of the virtual ISO on a hand-made request: which ranges need replaced bytes,
// how chunks are overlaid (clipped on both sides), and which menu files are taken.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <glib.h>
#include <unistd.h>

#include "qvhttp_virtiso.h"

namespace {

// Record fields at 0x9002 (primary, slot 0) and 0xA102 (Joliet, slot 0); internal file of slot
// 6 at sector 100 (0x32000) with 4000 bytes; a "uefiseek" slot that must never match.
VirtIsoRequest MakeRequest()
{
    VirtIsoRequest stReq;
    stReq.astPvd[0].ullFieldPos = 0x9002;
    stReq.astPvd[0].SetLocation(6);
    stReq.astPvd[0].SetDataLen(0x0102);
    stReq.astSvd[0].ullFieldPos = 0xA102;
    stReq.astSvd[0].SetLocation(6);
    stReq.astSvd[0].SetDataLen(0x0102);
    stReq.astPvd[6].ullFieldPos = 0xB002;
    stReq.astPvd[6].SetLocation(100);
    stReq.astPvd[6].SetDataLen(4000);
    stReq.astPvd[1].ullFieldPos = VIRTISO_POS_NEVER;
    stReq.astPvd[1].SetLocation(0x40);
    for (size_t i = 0; i < sizeof(stReq.aucWindows); ++i) {
        stReq.aucWindows[i] = static_cast<uint8_t>(i % 251 + 1);
    }
    return stReq;
}

TEST(QvHttpVirtIso, FieldsHoldBothByteOrders)
{
    VirtIsoSlot stSlot;
    stSlot.SetLocation(0x12345678);
    stSlot.SetDataLen(4000);
    const uint8_t aucWant[16] = {0x78, 0x56, 0x34, 0x12, 0x12, 0x34, 0x56, 0x78,
                                 0xa0, 0x0f, 0x00, 0x00, 0x00, 0x00, 0x0f, 0xa0};
    EXPECT_EQ(memcmp(stSlot.aucField, aucWant, 16), 0);
    EXPECT_EQ(stSlot.Location(), 0x12345678u);
    EXPECT_EQ(stSlot.DataLen(), 4000u);
}

TEST(QvHttpVirtIso, RangesNeedDataOnlyWhereSomethingIsReplaced)
{
    VirtIsoRequest stReq = MakeRequest();
    struct Case {
        int64_t llFirst, llLast;
        bool bNeeds;
    } astCases[] = {
        {0, 0x2FFF, false},       {0, 0x3000, true},        {0x7FFF, 0x7FFF, true},
        {0x8000, 0x9001, false},  {0x9011, 0x9011, true},   {0x9012, 0xA101, false},
        {0xA100, 0xA102, true},   {0xA112, 0xB001, false},  {0xB002, 0xB002, true},
        {0xB012, 0x31FFF, false}, {0x32F9F, 0x40000, true}, {0x32FA0, INT64_MAX, false},
        {0x9050, 0x9000, false},
    };
    for (const Case &stCase : astCases) {
        EXPECT_EQ(QVHTTP_VIRTISO_RangeNeedsData(stCase.llFirst, stCase.llLast, stReq),
                  stCase.bNeeds)
            << std::hex << stCase.llFirst << "-" << stCase.llLast;
    }
}

TEST(QvHttpVirtIso, ChunksAreOverlaidAndClipped)
{
    VirtIsoRequest stReq = MakeRequest();
    // A chunk ending 8 bytes into window 1.
    std::vector<uint8_t> vChunk(16, 0xEE);
    QVHTTP_VIRTISO_FillData(stReq, 0x2FF8, vChunk.data(), vChunk.size());
    EXPECT_EQ(std::vector<uint8_t>(vChunk.begin(), vChunk.begin() + 8),
              std::vector<uint8_t>(8, 0xEE));
    EXPECT_EQ(memcmp(vChunk.data() + 8, stReq.aucWindows, 8), 0);
    // A chunk starting inside the primary record field: only its last bytes land.
    std::vector<uint8_t> vField(8, 0xEE);
    QVHTTP_VIRTISO_FillData(stReq, 0x900C, vField.data(), vField.size());
    EXPECT_EQ(memcmp(vField.data(), stReq.astPvd[0].aucField + 10, 6), 0);
    EXPECT_EQ(vField[6], 0xEE);
    EXPECT_EQ(vField[7], 0xEE);
    // A whole piece over the Joliet field leaves everything else alone.
    std::vector<uint8_t> vPiece(4096, 0xEE);
    QVHTTP_VIRTISO_FillData(stReq, 0xA000, vPiece.data(), vPiece.size());
    EXPECT_EQ(memcmp(vPiece.data() + 0x102, stReq.astSvd[0].aucField, 16), 0);
    EXPECT_EQ(std::count(vPiece.begin(), vPiece.end(), 0xEE), 4096 - 16);
}

TEST(QvHttpVirtIso, InternalFileShowsTheExternalFile)
{
    char *pcDir = g_dir_make_tmp("qvhttp-http-XXXXXX", nullptr);
    ASSERT_NE(pcDir, nullptr);
    ASSERT_EQ(chdir(pcDir), 0);
    std::string strExt(4000, '\0');
    for (size_t i = 0; i < strExt.size(); ++i) {
        strExt[i] = static_cast<char>(i * 7 + 3);
    }
    std::ofstream("ext.bin", std::ios::binary) << strExt;
    VirtIsoRequest stReq = MakeRequest();
    g_strlcpy(stReq.aszExtFile[0], "ext.bin", sizeof(stReq.aszExtFile[0]));
    // The chunk starts 100 bytes before the extent and runs past its 4000 bytes.
    std::vector<uint8_t> vChunk(8192, 0xEE);
    QVHTTP_VIRTISO_FillData(stReq, 0x32000 - 100, vChunk.data(), vChunk.size());
    EXPECT_EQ(vChunk[99], 0xEE);
    EXPECT_EQ(memcmp(vChunk.data() + 100, strExt.data(), 4000), 0);
    EXPECT_EQ(vChunk[4100], 0xEE);
    EXPECT_EQ(unlink("ext.bin"), 0);
    EXPECT_EQ(rmdir(pcDir), 0);
    g_free(pcDir);
}

TEST(QvHttpVirtIso, MenuFilesUpToOneByteBelowTheWindowAreTaken)
{
    char *pcDir = g_dir_make_tmp("qvhttp-http-XXXXXX", nullptr);
    ASSERT_NE(pcDir, nullptr);
    std::string strDir = pcDir;
    g_free(pcDir);
    struct Case {
        size_t uiSize;
        unsigned uiSlot;
        bool bTaken;
    } astCases[] = {{10239, 0, true}, {10240, 0, false}, {1, 3, true}, {0, 2, true}};
    for (const Case &stCase : astCases) {
        VirtIsoRequest stReq = MakeRequest();
        stReq.astPvd[stCase.uiSlot].ullFieldPos = 0x9002;
        stReq.astSvd[stCase.uiSlot].ullFieldPos = 0xA102;
        memset(stReq.aucWindows, 0, sizeof(stReq.aucWindows));
        std::string strPath = strDir + "/menu";
        std::ofstream(strPath, std::ios::binary) << std::string(stCase.uiSize, 'm');
        QVHTTP_VIRTISO_FillCfgFileData(strPath.c_str(), stCase.uiSlot, stReq);
        const uint8_t *pucWindow =
            stReq.aucWindows + (stCase.uiSlot >= 2 ? VIRTISO_WINDOW_SIZE : 0);
        EXPECT_EQ(stReq.astPvd[stCase.uiSlot].InUse(), stCase.bTaken) << stCase.uiSize;
        EXPECT_EQ(stReq.astSvd[stCase.uiSlot].InUse(), stCase.bTaken) << stCase.uiSize;
        if (stCase.bTaken) {
            EXPECT_EQ(stReq.astPvd[stCase.uiSlot].DataLen(), stCase.uiSize);
            EXPECT_EQ(stReq.astSvd[stCase.uiSlot].DataLen(), stCase.uiSize);
            EXPECT_EQ(std::count(pucWindow, pucWindow + VIRTISO_WINDOW_SIZE, 'm'),
                      static_cast<long>(stCase.uiSize));
        } else {
            EXPECT_EQ(std::count(pucWindow, pucWindow + VIRTISO_WINDOW_SIZE, 0),
                      static_cast<long>(VIRTISO_WINDOW_SIZE));
        }
        EXPECT_EQ(unlink(strPath.c_str()), 0);
    }
    VirtIsoRequest stReq = MakeRequest();
    QVHTTP_VIRTISO_FillCfgFileData((strDir + "/missing").c_str(), 0, stReq);
    EXPECT_FALSE(stReq.astPvd[0].InUse());
    EXPECT_FALSE(stReq.astSvd[0].InUse());
    EXPECT_EQ(rmdir(strDir.c_str()), 0);
}

}  // namespace
