#include "qvhttp_virtiso.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <list>
#include <mutex>

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "iso_image.h"
#include "qv_text.h"
#include "qvhttp_util.h"

namespace {

// Registrations in the order they were made. Written at service start and stop while
// connection threads may read it, hence the lock.
std::mutex g_mtxVirtIso;
std::list<VirtIso> g_lstVirtIso;

void PutBothOrders(uint8_t *pucField, uint32_t uiValue)
{
    for (int i = 0; i < 4; ++i) {
        pucField[i] = static_cast<uint8_t>(uiValue >> (8 * i));
        pucField[7 - i] = static_cast<uint8_t>(uiValue >> (8 * i));
    }
}

uint32_t GetLittleEndian(const uint8_t *pucField)
{
    return uint32_t(pucField[0]) | uint32_t(pucField[1]) << 8 | uint32_t(pucField[2]) << 16 |
           uint32_t(pucField[3]) << 24;
}

bool HostFileSize(const std::string &strPath, uint64_t *pullSize)
{
    struct stat stSt;
    if (stat(strPath.c_str(), &stSt) != 0 || !S_ISREG(stSt.st_mode)) {
        return false;
    }
    *pullSize = static_cast<uint64_t>(stSt.st_size);
    return true;
}

std::string WorkDir()
{
    char *pcCwd = g_get_current_dir();
    std::string strCwd = pcCwd;
    g_free(pcCwd);
    return strCwd;
}

uint64_t RoundUpSector(uint64_t ullBytes)
{
    return (ullBytes + 2047) / 2048 * 2048;
}

// The part of [ullA, ullA + uiALen) that overlaps [ullB, ullB + ullBLen), if any.
bool Overlap(uint64_t ullA, uint64_t ullALen, uint64_t ullB, uint64_t ullBLen, uint64_t *pullStart,
             uint64_t *pullEnd)
{
    uint64_t ullStart = std::max(ullA, ullB);
    uint64_t ullEnd = std::min(ullA + ullALen, ullB + ullBLen);
    if (ullStart >= ullEnd) {
        return false;
    }
    *pullStart = ullStart;
    *pullEnd = ullEnd;
    return true;
}

bool FieldActive(const VirtIsoSlot &stSlot)
{
    return stSlot.InUse() && stSlot.ullFieldPos != VIRTISO_POS_NEVER;
}

void Deactivate(VirtIso &stIso, unsigned uiSlot)
{
    stIso.astPvd[uiSlot] = VirtIsoSlot();
    stIso.astSvd[uiSlot] = VirtIsoSlot();
}

// Names inside the image are given with or without a leading "/".
const char *ImagePath(const std::string &strName)
{
    return strName.c_str() + (strName[0] == '/' ? 1 : 0);
}

// Looks a name up with links followed; a miss is logged with pcMissing.
bool FindInImage(const IsoImage &stImage, const char *pcName, IsoEntry *pstEntry,
                 const char *pcMissing)
{
    if (IsoFind(&stImage, pcName, true, pstEntry) == 0) {
        return true;
    }
    QVHTTP_Log(QVHTTP_DIG, pcMissing, pcName);
    return false;
}

// Points a slot at the record of a file of the image (both trees), or leaves it inactive.
void LocateFile(const IsoImage &stImage, const std::string &strName, unsigned uiSlot,
                VirtIso &stIso)
{
    if (strName.empty()) {
        return;
    }
    VirtIsoSlot &stPvd = stIso.astPvd[uiSlot];
    VirtIsoSlot &stSvd = stIso.astSvd[uiSlot];
    if (g_str_has_prefix(strName.c_str(), "uefiseek:")) {
        if (IsoBootEntryCount(&stImage) > 1) {
            uint64_t ullSeek = g_ascii_strtoull(strName.c_str() + strlen("uefiseek:"), nullptr, 10);
            stPvd.ullFieldPos = VIRTISO_POS_NEVER;
            stPvd.SetLocation(static_cast<uint32_t>(ullSeek / 2048));
            stPvd.SetDataLen(static_cast<uint32_t>(-4096));
            stSvd = VirtIsoSlot();
            QVHTTP_Log(QVHTTP_DBG, "ISO seek is %llu in PVD",
                       static_cast<unsigned long long>(ullSeek));
        } else {
            QVHTTP_Log(QVHTTP_LOG, "Legacy only version, no need to replace uefiseek");
        }
        return;
    }
    const char *pcName = ImagePath(strName);
    IsoEntry stEntry;
    if (!FindInImage(stImage, pcName, &stEntry, "%s is not found in ISO PVD")) {
        return;
    }
    stPvd.ullFieldPos = stEntry.ullRecordOffset + 2;
    stPvd.SetLocation(static_cast<uint32_t>(stEntry.ullExtentOffset / 2048));
    stPvd.SetDataLen(static_cast<uint32_t>(stEntry.ullDataLen));
    QVHTTP_Log(QVHTTP_DBG, "Offset for location %s is %llu PVD", pcName,
               static_cast<unsigned long long>(stPvd.ullFieldPos));
    if (stImage.pucSupplementary == nullptr) {
        QVHTTP_Log(QVHTTP_DBG, "There is no SVD");
        return;
    }
    IsoJolietRecord stJoliet;
    if (IsoFindJolietRecord(&stImage, stPvd.Location(), &stJoliet) != 0) {
        QVHTTP_Log(QVHTTP_DBG, "%s is not found in ISO SVD", pcName);
    } else if (stJoliet.ullRecordOffset == stEntry.ullRecordOffset) {
        QVHTTP_Log(QVHTTP_DBG, "Offset for location %s is %llu SVD, the same as PVD", pcName,
                   static_cast<unsigned long long>(stJoliet.ullRecordOffset + 2));
    } else {
        stSvd.ullFieldPos = stJoliet.ullRecordOffset + 2;
        stSvd.SetLocation(stPvd.Location());
        stSvd.SetDataLen(static_cast<uint32_t>(stJoliet.ullDataLen));
        QVHTTP_Log(QVHTTP_DBG, "Offset for location %s is %llu SVD", pcName,
                   static_cast<unsigned long long>(stSvd.ullFieldPos));
    }
}

// Substitutes external file n for internal slot 5+n; false when it does not fit.
bool AttachExternal(const std::string &strInt, const std::string &strExt, unsigned uiFile,
                    VirtIso &stIso)
{
    unsigned uiSlot = VIRTISO_FIRST_INT_SLOT + uiFile;
    g_strlcpy(stIso.aszExtFile[uiFile], strExt.c_str(), sizeof(stIso.aszExtFile[uiFile]));
    uint64_t ullExtSize = 0;
    if (!HostFileSize(WorkDir() + "/" + strExt, &ullExtSize)) {
        QVHTTP_Log(QVHTTP_DIG, "## Extfile%u %s is not exist", uiFile + 1, strExt.c_str());
        Deactivate(stIso, uiSlot);
        return true;
    }
    uint64_t ullIntSize = stIso.astPvd[uiSlot].DataLen();
    if (RoundUpSector(ullExtSize) > RoundUpSector(ullIntSize)) {
        QVHTTP_Log(QVHTTP_DIG, "## Extfile %s size %u is larger than int file %s %u",
                   strExt.c_str(), static_cast<unsigned>(ullExtSize), strInt.c_str(),
                   static_cast<unsigned>(ullIntSize));
        return false;
    }
    QVHTTP_Log(QVHTTP_LOG, "%s replaced by %s", strInt.c_str(), strExt.c_str());
    stIso.astPvd[uiSlot].SetDataLen(static_cast<uint32_t>(ullExtSize));
    stIso.astSvd[uiSlot].SetDataLen(static_cast<uint32_t>(ullExtSize));
    return true;
}

// An old file shows the data of a new file of the same image.
void RedirectToNewFile(const IsoImage &stImage, const std::string &strNew, unsigned uiSlot,
                       VirtIso &stIso)
{
    if (strNew.empty()) {
        return;
    }
    const char *pcName = ImagePath(strNew);
    IsoEntry stEntry;
    if (!FindInImage(stImage, pcName, &stEntry, "%s is not found in ISO")) {
        return;
    }
    QVHTTP_Log(QVHTTP_DBG, "Offset for location %s is %llu in PVD, seek:%llu  size:%llu", pcName,
               static_cast<unsigned long long>(stEntry.ullRecordOffset + 2),
               static_cast<unsigned long long>(stEntry.ullExtentOffset),
               static_cast<unsigned long long>(stEntry.ullDataLen));
    for (VirtIsoSlot *pstSlot : {&stIso.astPvd[uiSlot], &stIso.astSvd[uiSlot]}) {
        pstSlot->SetLocation(static_cast<uint32_t>(stEntry.ullExtentOffset / 2048));
        pstSlot->SetDataLen(static_cast<uint32_t>(stEntry.ullDataLen));
    }
}

void CopyOverlap(const uint8_t *pucSrc, uint64_t ullSrcPos, uint64_t ullSrcLen, uint64_t ullOffset,
                 uint8_t *pucBuf, size_t uiLen, bool bLog, const char *pcTree)
{
    uint64_t ullStart, ullEnd;
    if (!Overlap(ullOffset, uiLen, ullSrcPos, ullSrcLen, &ullStart, &ullEnd)) {
        return;
    }
    memcpy(pucBuf + (ullStart - ullOffset), pucSrc + (ullStart - ullSrcPos), ullEnd - ullStart);
    if (bLog) {
        QVHTTP_Log(QVHTTP_DBG, "%s FileLocFieldOffset In Range [%llu %lu] [%llu 16]", pcTree,
                   static_cast<unsigned long long>(ullOffset), static_cast<unsigned long>(uiLen),
                   static_cast<unsigned long long>(ullSrcPos));
    }
}

}  // namespace

uint32_t VirtIsoSlot::Location() const
{
    return GetLittleEndian(aucField);
}

uint32_t VirtIsoSlot::DataLen() const
{
    return GetLittleEndian(aucField + 8);
}

void VirtIsoSlot::SetLocation(uint32_t uiLocation)
{
    PutBothOrders(aucField, uiLocation);
}

void VirtIsoSlot::SetDataLen(uint32_t uiDataLen)
{
    PutBothOrders(aucField + 8, uiDataLen);
}

bool QVHTTP_VIRTISO_Find(const char *pcImagePath, VirtIso *pstOut)
{
    uint64_t ullSize = 0;
    if (!HostFileSize(pcImagePath, &ullSize)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(g_mtxVirtIso);
    for (const VirtIso &stIso : g_lstVirtIso) {
        if (stIso.ullSize == ullSize && strcmp(stIso.szPath, pcImagePath) == 0) {
            if (pstOut != nullptr) {
                *pstOut = stIso;
            }
            return true;
        }
    }
    return false;
}

uint32_t QVHTTP_VIRTISO_Add(const char *pcImagePath, const QVHTTP_VirtIsoFiles &stFiles)
{
    if (QVHTTP_VIRTISO_Find(pcImagePath, nullptr)) {
        QVHTTP_Log(QVHTTP_DIG, "Virtual ISO for %s already exist", pcImagePath);
        return 0;
    }
    if (IsUdfFile(pcImagePath)) {
        QVHTTP_Log(QVHTTP_DIG, "%s, VirtualISO is not supported for UDF format ISO", pcImagePath);
        return QVHTTP_ERR_FAILED;
    }
    auto pstIso = std::make_unique<VirtIso>();
    if (strlen(pcImagePath) >= sizeof(pstIso->szPath) ||
        !HostFileSize(pcImagePath, &pstIso->ullSize)) {
        return QVHTTP_ERR_FAILED;
    }
    g_strlcpy(pstIso->szPath, pcImagePath, sizeof(pstIso->szPath));
    IsoImage stImage;
    if (IsoOpen(pcImagePath, true, &stImage) != 0) {
        QVHTTP_Log(QVHTTP_DIG, "Failed to open ISO %s", pcImagePath);
        return QVHTTP_ERR_FAILED;
    }
    const std::string *apstrNames[VIRTISO_SLOTS] = {
        &stFiles.strBiosCfg,     &stFiles.strUefiCfg,     &stFiles.strBiosCfgEx,
        &stFiles.strUefiCfgEx,   &stFiles.strOldFile1,    &stFiles.strOldFile2,
        &stFiles.astrIntFile[0], &stFiles.astrIntFile[1], &stFiles.astrIntFile[2],
        &stFiles.astrIntFile[3]};
    for (unsigned i = 0; i < VIRTISO_SLOTS; ++i) {
        LocateFile(stImage, *apstrNames[i], i, *pstIso);
    }
    // The menus move into the windows: sector 6 for the menus, sector 11 for the extra ones.
    for (VirtIsoSlot *pstTable : {pstIso->astPvd, pstIso->astSvd}) {
        pstTable[0].SetLocation(6);
        pstTable[1].SetLocation(6);
        pstTable[2].SetLocation(11);
        pstTable[3].SetLocation(11);
    }
    for (unsigned n = 0; n < VIRTISO_EXT_FILES; ++n) {
        if (stFiles.astrExtFile[n].empty() || !pstIso->astPvd[VIRTISO_FIRST_INT_SLOT + n].InUse()) {
            continue;
        }
        if (!AttachExternal(stFiles.astrIntFile[n], stFiles.astrExtFile[n], n, *pstIso)) {
            return QVHTTP_ERR_FAILED;
        }
    }
    RedirectToNewFile(stImage, stFiles.strNewFile1, 4, *pstIso);
    RedirectToNewFile(stImage, stFiles.strNewFile2, 5, *pstIso);
    IsoClose(&stImage);
    QVHTTP_Log(QVHTTP_DBG, "Add VISO for %s size %llu", pcImagePath,
               static_cast<unsigned long long>(pstIso->ullSize));
    std::lock_guard<std::mutex> lock(g_mtxVirtIso);
    g_lstVirtIso.push_back(*pstIso);
    return 0;
}

std::unique_ptr<VirtIsoRequest> QVHTTP_VIRTISO_OpenReq(const QVHTTP_Request &stRequest,
                                                       const char *pcImagePath, uint64_t ullSize,
                                                       int64_t *pllStart, int64_t *pllEnd)
{
    if (stRequest.bHead) {
        return nullptr;
    }
    auto pstIso = std::make_unique<VirtIso>();
    if (!QVHTTP_VIRTISO_Find(pcImagePath, pstIso.get())) {
        QVHTTP_Log(QVHTTP_DIG, "Virt ISO cfg not found for %s", pcImagePath);
        return nullptr;
    }
    auto pstReq = std::make_unique<VirtIsoRequest>();
    // Only the query speaks for the client; header text never does.
    pstReq->uiUefi = stRequest.strQuery.find("uefi") != std::string::npos ? 1 : 0;
    QVHTTP_UTIL_GetMacParam(stRequest.strQuery.c_str(), pstReq->aucMac);
    std::string strMac = QV_MacText(pstReq->aucMac);
    QVHTTP_Log(QVHTTP_DBG, "Virt ISO: UEFI %u  MAC: %s", pstReq->uiUefi, strMac.c_str());
    memcpy(pstReq->aszExtFile, pstIso->aszExtFile, sizeof(pstReq->aszExtFile));
    std::copy(std::begin(pstIso->astPvd), std::end(pstIso->astPvd), pstReq->astPvd);
    std::copy(std::begin(pstIso->astSvd), std::end(pstIso->astSvd), pstReq->astSvd);

    int64_t llFirst, llLast;
    if (QVHTTP_UTIL_RangeFor(stRequest, ullSize, &llFirst, &llLast) != 0) {
        QVHTTP_Log(QVHTTP_DBG, "#### Request for whole file, so virt iso data take effect");
    } else {
        *pllStart = llFirst;
        *pllEnd = llLast;
        if (!QVHTTP_VIRTISO_RangeNeedsData(llFirst, llLast, *pstReq)) {
            QVHTTP_Log(QVHTTP_DBG, "Range [%lld-%lld] no need for virt iso data",
                       static_cast<long long>(llFirst), static_cast<long long>(llLast));
            return nullptr;
        }
        QVHTTP_Log(QVHTTP_DBG, "#### Range [%lld-%lld] for virt iso data",
                   static_cast<long long>(llFirst), static_cast<long long>(llLast));
    }
    std::string strCfg =
        WorkDir() + (pstReq->uiUefi ? "/virtualiso/conf/uefi/01-" : "/virtualiso/conf/bios/01-") +
        strMac;
    unsigned uiMain = pstReq->uiUefi ? 1 : 0;
    QVHTTP_VIRTISO_FillCfgFileData(strCfg.c_str(), uiMain, *pstReq);
    QVHTTP_VIRTISO_FillCfgFileData((strCfg + ".ex").c_str(), uiMain + 2, *pstReq);
    // The other firmware's menu records would point into this client's windows with their
    // own lengths; both trees keep them as they are on disk.
    for (unsigned uiOther : {1 - uiMain, 3 - uiMain}) {
        pstReq->astPvd[uiOther] = VirtIsoSlot();
        pstReq->astSvd[uiOther] = VirtIsoSlot();
    }
    return pstReq;
}

void QVHTTP_VIRTISO_FillCfgFileData(const char *pcPath, unsigned uiSlot, VirtIsoRequest &stReq)
{
    uint8_t *pucWindow = stReq.aucWindows + (uiSlot >= 2 ? VIRTISO_WINDOW_SIZE : 0);
    uint64_t ullSize = 0;
    bool bUsable = HostFileSize(pcPath, &ullSize) && ullSize < VIRTISO_WINDOW_SIZE;
    if (bUsable) {
        FILE *pstFile = fopen(pcPath, "rb");
        bUsable = pstFile != nullptr && fread(pucWindow, 1, ullSize, pstFile) == ullSize;
        if (pstFile != nullptr) {
            fclose(pstFile);
        }
    }
    if (!bUsable) {
        memset(pucWindow, 0, VIRTISO_WINDOW_SIZE);
        QVHTTP_Log(QVHTTP_DBG, "File %s not exist", pcPath);
        stReq.astPvd[uiSlot] = VirtIsoSlot();
        stReq.astSvd[uiSlot] = VirtIsoSlot();
        return;
    }
    stReq.astPvd[uiSlot].SetDataLen(static_cast<uint32_t>(ullSize));
    stReq.astSvd[uiSlot].SetDataLen(static_cast<uint32_t>(ullSize));
    QVHTTP_Log(QVHTTP_DBG, "%s size %u", pcPath, static_cast<unsigned>(ullSize));
}

bool QVHTTP_VIRTISO_RangeNeedsData(int64_t llFirst, int64_t llLast, const VirtIsoRequest &stReq)
{
    if (llFirst < 0 || llLast < llFirst) {
        return false;
    }
    uint64_t ullFirst = static_cast<uint64_t>(llFirst);
    uint64_t ullLen = static_cast<uint64_t>(llLast) - ullFirst + 1;
    uint64_t ullS, ullE;
    if (Overlap(ullFirst, ullLen, VIRTISO_WINDOW_START, VIRTISO_WINDOW_END - VIRTISO_WINDOW_START,
                &ullS, &ullE)) {
        return true;
    }
    for (const VirtIsoSlot *pstTable : {stReq.astPvd, stReq.astSvd}) {
        for (unsigned i = 0; i < VIRTISO_SLOTS; ++i) {
            if (FieldActive(pstTable[i]) &&
                Overlap(ullFirst, ullLen, pstTable[i].ullFieldPos, 16, &ullS, &ullE)) {
                return true;
            }
        }
    }
    for (unsigned i = VIRTISO_FIRST_INT_SLOT; i < VIRTISO_SLOTS; ++i) {
        const VirtIsoSlot &stSlot = stReq.astPvd[i];
        if (stSlot.InUse() && Overlap(ullFirst, ullLen, uint64_t(stSlot.Location()) * 2048,
                                      stSlot.DataLen(), &ullS, &ullE)) {
            return true;
        }
    }
    return false;
}

void QVHTTP_VIRTISO_FillData(const VirtIsoRequest &stReq, uint64_t ullOffset, uint8_t *pucBuf,
                             size_t uiLen)
{
    CopyOverlap(stReq.aucWindows, VIRTISO_WINDOW_START, sizeof(stReq.aucWindows), ullOffset, pucBuf,
                uiLen, false, "");
    for (unsigned i = 0; i < VIRTISO_SLOTS; ++i) {
        if (FieldActive(stReq.astPvd[i])) {
            CopyOverlap(stReq.astPvd[i].aucField, stReq.astPvd[i].ullFieldPos, 16, ullOffset,
                        pucBuf, uiLen, true, "PVD");
        }
    }
    for (unsigned i = 0; i < VIRTISO_SLOTS; ++i) {
        if (FieldActive(stReq.astSvd[i])) {
            CopyOverlap(stReq.astSvd[i].aucField, stReq.astSvd[i].ullFieldPos, 16, ullOffset,
                        pucBuf, uiLen, true, "SVD");
        }
    }
    for (unsigned i = VIRTISO_FIRST_INT_SLOT; i < VIRTISO_SLOTS; ++i) {
        const VirtIsoSlot &stSlot = stReq.astPvd[i];
        uint64_t ullExtent = uint64_t(stSlot.Location()) * 2048;
        uint64_t ullStart, ullEnd;
        if (!stSlot.InUse() || stReq.aszExtFile[i - VIRTISO_FIRST_INT_SLOT][0] == '\0' ||
            !Overlap(ullOffset, uiLen, ullExtent, stSlot.DataLen(), &ullStart, &ullEnd)) {
            continue;
        }
        std::string strExt = WorkDir() + "/" + stReq.aszExtFile[i - VIRTISO_FIRST_INT_SLOT];
        QVHTTP_Log(QVHTTP_DBG, "File %s In Range [%llu %u] [%llu %u]", strExt.c_str(),
                   static_cast<unsigned long long>(ullOffset), static_cast<unsigned>(uiLen),
                   static_cast<unsigned long long>(ullExtent), stSlot.DataLen());
        int iFd = open(strExt.c_str(), O_RDONLY | O_CLOEXEC);
        if (iFd < 0) {
            QVHTTP_Log(QVHTTP_DIG, "Failed to open file %s", strExt.c_str());
            continue;
        }
        ssize_t iRead = pread(iFd, pucBuf + (ullStart - ullOffset), ullEnd - ullStart,
                              static_cast<off_t>(ullStart - ullExtent));
        (void)iRead;  // a short read leaves the image bytes in place
        close(iFd);
    }
}

void QVHTTP_VIRTISO_Clear()
{
    std::lock_guard<std::mutex> lock(g_mtxVirtIso);
    g_lstVirtIso.clear();
}
