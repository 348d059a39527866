// Virtual ISO: an installation image served with a few byte ranges replaced per client. The
// directory records of the boot-menu files point into the unused system area (sectors 6-15),
// which carries the client's own menus; up to two files show another file of the image; up to
// four files show the contents of files on the server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

constexpr unsigned VIRTISO_SLOTS = 10;
// Slots 6-9 are the internal files replaced by external ones.
constexpr unsigned VIRTISO_FIRST_INT_SLOT = 6;
constexpr unsigned VIRTISO_EXT_FILES = 4;

// Image offsets of the two menu windows (sectors 6-10 and 11-15).
constexpr uint64_t VIRTISO_WINDOW_START = 0x3000;
constexpr size_t VIRTISO_WINDOW_SIZE = 10240;
constexpr uint64_t VIRTISO_WINDOW_END = VIRTISO_WINDOW_START + 2 * VIRTISO_WINDOW_SIZE;  // 0x8000

// Record-field position of a slot that never matches a read.
constexpr uint64_t VIRTISO_POS_NEVER = UINT64_MAX;

// One replaced directory record: at ullFieldPos (the record's position + 2; 0 = inactive) the
// served image shows aucField, the location and data length in both byte orders.
struct VirtIsoSlot {
    uint64_t ullFieldPos = 0;
    uint8_t aucField[16] = {};

    bool InUse() const { return ullFieldPos != 0; }
    uint32_t Location() const;
    uint32_t DataLen() const;
    void SetLocation(uint32_t uiLocation);
    void SetDataLen(uint32_t uiDataLen);
};

// The plug-in's description of what to replace in one image; image paths are relative to the
// image root ("isolinux/isolinux.cfg"), external files relative to the working directory.
struct QVHTTP_VirtIsoFiles {
    std::string strBiosCfg, strUefiCfg, strBiosCfgEx, strUefiCfgEx;
    std::string strOldFile1, strNewFile1, strOldFile2, strNewFile2;
    std::string astrIntFile[VIRTISO_EXT_FILES];
    std::string astrExtFile[VIRTISO_EXT_FILES];
};

struct VirtIso {
    char szPath[2048] = "";
    uint64_t ullSize = 0;
    char aszExtFile[VIRTISO_EXT_FILES][256] = {};
    VirtIsoSlot astPvd[VIRTISO_SLOTS];
    VirtIsoSlot astSvd[VIRTISO_SLOTS];
};

// Substitutions of one HTTP request, adjusted for its client.
struct VirtIsoRequest {
    uint32_t uiUefi = 0;
    uint8_t aucMac[6] = {};
    uint8_t aucWindows[2 * VIRTISO_WINDOW_SIZE] = {};
    char aszExtFile[VIRTISO_EXT_FILES][256] = {};
    VirtIsoSlot astPvd[VIRTISO_SLOTS];
    VirtIsoSlot astSvd[VIRTISO_SLOTS];
};

struct QVHTTP_Request;

// Registers an image (0 or QVHTTP_ERR_FAILED). Safe while the service runs.
uint32_t QVHTTP_VIRTISO_Add(const char *pcImagePath, const QVHTTP_VirtIsoFiles &stFiles);

// Copy of the registration of the image at pcImagePath whose recorded size still matches.
bool QVHTTP_VIRTISO_Find(const char *pcImagePath, VirtIso *pstOut);

// The per-request context for a virtual-ISO URI (client from the query's "uefi" and "mac="),
// or nullptr when the image is served plainly. A range of the request is stored in *pllStart
// and *pllEnd, read against the image size.
std::unique_ptr<VirtIsoRequest> QVHTTP_VIRTISO_OpenReq(const QVHTTP_Request &stRequest,
                                                       const char *pcImagePath, uint64_t ullSize,
                                                       int64_t *pllStart, int64_t *pllEnd);

// True when the inclusive byte range touches anything the request replaces.
bool QVHTTP_VIRTISO_RangeNeedsData(int64_t llFirst, int64_t llLast, const VirtIsoRequest &stReq);

// Overlays the replaced bytes on a chunk read from the image at ullOffset.
void QVHTTP_VIRTISO_FillData(const VirtIsoRequest &stReq, uint64_t ullOffset, uint8_t *pucBuf,
                             size_t uiLen);

// Loads one per-client menu into its window (slots 0-3).
void QVHTTP_VIRTISO_FillCfgFileData(const char *pcPath, unsigned uiSlot, VirtIsoRequest &stReq);

// Forgets every registration.
void QVHTTP_VIRTISO_Clear();
