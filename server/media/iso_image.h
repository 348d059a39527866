// Read-only access to an ISO 9660 installation image: the directory tree is parsed once by
// IsoOpen, after which lookups cost no disk reads and file data is read through absolute offsets.
//
// Threading: an IsoImage is immutable after IsoOpen. IsoFind, IsoListDir, IsoDirStats,
// IsoReadAt, IsoExtract, IsoBootEntryCount and IsoFindJolietRecord may run from many threads at
// once; every read opens the image file itself, so an IsoImage holds no open file between calls.
// IsoOpen and IsoClose must not overlap any other call on the same image.
#pragma once

#include "iso_detect.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

// Result codes (0 is success).
constexpr uint32_t ISO_ERR_NOT_FOUND = 0x1001;  // path not found, bad path syntax, no Joliet record
constexpr uint32_t ISO_ERR_BAD_ARGUMENT = 0x1002;  // missing argument
constexpr uint32_t ISO_ERR_NO_MEMORY = 0x1003;     // allocation failed
constexpr uint32_t ISO_ERR_OPEN = 0x1004;          // image file cannot be opened
constexpr uint32_t ISO_ERR_READ = 0x1005;          // short read, or a range outside the image
constexpr uint32_t ISO_ERR_WRITE = 0x1006;         // output file cannot be created or written
constexpr uint32_t ISO_ERR_FORMAT = 0x1007;      // not an ISO 9660 image, or a corrupted structure
constexpr uint32_t ISO_ERR_BLOCK_SIZE = 0x1008;  // logical block size other than 2048
constexpr uint32_t ISO_ERR_STATE = 0x1009;    // image not parsed, bad destination, wrong node kind
constexpr uint32_t ISO_ERR_NO_DATE = 0x100B;  // empty 17-character date field
constexpr uint32_t ISO_ERR_ABORTED = 0x100E;  // a progress callback asked to stop

constexpr uint32_t ISO_SECTOR_SIZE = 2048;

// IsoEntry kinds.
constexpr uint8_t ISO_KIND_FILE = 1;
constexpr uint8_t ISO_KIND_LINK = 2;
constexpr uint8_t ISO_KIND_DIR = 4;

// Slots of IsoRockRidge::astStamp, in the order of the "TF" flag bits.
enum IsoStampKind : uint8_t {
    ISO_STAMP_CREATE = 0,
    ISO_STAMP_MODIFY,
    ISO_STAMP_ACCESS,
    ISO_STAMP_ATTRIBUTES,
    ISO_STAMP_BACKUP,
    ISO_STAMP_EXPIRATION,
    ISO_STAMP_EFFECTIVE,
    ISO_STAMP_COUNT
};

// One time stamp as recorded in the image; an all-zero stamp was not recorded.
struct IsoStamp {
    uint16_t usYear = 0;
    uint8_t ucMonth = 0;
    uint8_t ucDay = 0;
    uint8_t ucHour = 0;
    uint8_t ucMinute = 0;
    uint8_t ucSecond = 0;
    uint16_t usMilliSec = 0;
    int8_t cGmtOffsetHours = 0;
};

// Rock Ridge attributes of one record; present on every node of an image with Rock Ridge.
struct IsoRockRidge {
    bool bAltName = false;  // the name came from "NM" entries
    uint32_t uiPosixFileMode = 0;
    uint32_t uiPosixFileLink = 0;
    uint32_t uiPosixFileUserId = 0;
    uint32_t uiPosixFileGroupId = 0;
    uint32_t uiPosixFileSNO = 0;
    uint32_t uiDevNumHigh = 0;
    uint32_t uiDevNumLow = 0;
    IsoStamp astStamp[ISO_STAMP_COUNT] = {};
    bool bSymLink = false;     // an "SL" entry was present: the node is a symbolic link
    std::string szLinkTarget;  // the link text, components joined with "/"
};

// Counters of one directory: direct ones from its own records, recursive ones over its subtree
// (the recursive counters include the direct ones).
struct IsoDirInfo {
    uint32_t uiDirs = 0;
    uint32_t uiFiles = 0;
    uint32_t uiLinks = 0;
    uint32_t uiFileSectors = 0;
    uint64_t ullFileBytes = 0;
    uint32_t uiRecursiveDirs = 0;
    uint32_t uiRecursiveFiles = 0;
    uint32_t uiRecursiveLinks = 0;
    uint64_t ullRecursiveBytes = 0;
    uint32_t uiRecursiveSectors = 0;
};

// One directory or file of the primary tree. A node is a directory exactly when pstDirInfo is set.
struct IsoNode {
    IsoNode *pstParent = nullptr;
    IsoNode *pstNext = nullptr;       // next sibling of the same list
    IsoNode *pstFirstDir = nullptr;   // directories: first subdirectory, in record order
    IsoNode *pstFirstFile = nullptr;  // directories: first file, in record order
    std::string szName;               // at most 299 bytes
    uint32_t uiExtent = 0;            // in sectors
    uint32_t uiDataLen = 0;           // in bytes
    uint64_t ullRecordPos = 0;        // files: absolute image offset of the directory record
    std::unique_ptr<IsoDirInfo> pstDirInfo;
    std::unique_ptr<IsoRockRidge> pstRockRidge;

    bool IsDir() const { return pstDirInfo != nullptr; }
    bool IsLink() const { return pstRockRidge && pstRockRidge->bSymLink; }
};

// One node of the Joliet tree: positions only, no names.
struct IsoJolietNode {
    IsoJolietNode *pstParent = nullptr;
    IsoJolietNode *pstNext = nullptr;
    IsoJolietNode *pstFirstDir = nullptr;
    IsoJolietNode *pstFirstFile = nullptr;
    uint32_t uiExtent = 0;
    uint32_t uiDataLen = 0;
    uint64_t ullRecordPos = 0;
    bool bDir = false;
};

struct IsoImage {
    IsoImage() = default;
    ~IsoImage();
    IsoImage(const IsoImage &) = delete;
    IsoImage &operator=(const IsoImage &) = delete;

    std::string szPath;
    uint64_t ullFileSize = 0;
    bool bParsed = false;
    // Copies of the volume descriptor sectors in image order, and the ones with a role.
    std::list<std::vector<unsigned char>> lstDescriptors;
    const unsigned char *pucPrimary = nullptr;        // type 1
    const unsigned char *pucSupplementary = nullptr;  // type 2, the last one
    const unsigned char *pucBootRecord = nullptr;     // type 0
    std::vector<unsigned char> vPathTable;            // type-L path table
    std::vector<unsigned char> vBootCatalog;          // El Torito catalog up to its last section
    uint8_t ucRockRidge = 0;                          // nonzero when the root carries "SP"
    uint8_t ucSuspSkip = 0;
    IsoNode *pstRoot = nullptr;
    IsoJolietNode *pstJolietRoot = nullptr;
    // Node storage, in the order records were read; the trees link into it.
    std::deque<IsoNode> dqNodes;
    std::deque<IsoJolietNode> dqJolietNodes;
};

// Flat description of one node, handed to callers and plug-ins.
struct IsoEntry {
    uint8_t ucKind;  // ISO_KIND_*
    char szName[256];
    char szLinkTarget[256];    // empty unless a symbolic link
    uint64_t ullDataLen;       // high half always 0
    uint64_t ullExtentOffset;  // extent location * 2048
    uint64_t ullRecordOffset;  // directory-record position (files)
    const IsoNode *pstParent;
    const IsoNode *pstNode;
};

struct IsoJolietRecord {
    uint64_t ullDataLen;
    uint64_t ullExtentOffset;
    uint64_t ullRecordOffset;
};

// Progress of IsoExtract: kind 1 a directory created, 2 a regular file written, 3 a symbolic
// link written (as an empty file); uiResult is that step's result and pcPath its host path.
// Returning ISO_ERR_ABORTED stops the extraction; any other value lets it go on.
constexpr uint32_t ISO_PROGRESS_DIR = 1;
constexpr uint32_t ISO_PROGRESS_FILE = 2;
constexpr uint32_t ISO_PROGRESS_LINK = 3;
struct IsoProgress {
    uint32_t uiKind;
    uint32_t uiResult;
    const char *pcPath;
};
using IsoProgressFn = std::function<uint32_t(const IsoProgress &)>;

// Times given to every extracted file instead of its recorded ones.
struct IsoFileTimes {
    time_t tAccess;
    time_t tModify;
};

// Parses the image at pcPath into pstImage (releasing what it held before). The Joliet tree is
// built only when bWithJoliet is set. On failure the image is left released.
uint32_t IsoOpen(const char *pcPath, bool bWithJoliet, IsoImage *pstImage);

// Releases every node and buffer; the image may be opened again afterwards.
void IsoClose(IsoImage *pstImage);

// Looks up a relative path ("boot/grub/grub.cfg"; '\' separates too; ASCII case-insensitive).
// "" is the root. A leading '/' or an empty component gives ISO_ERR_NOT_FOUND. With bFollowLinks a
// symbolic link is replaced by its target. A file whose data would run past the end of the image
// gives ISO_ERR_FORMAT. On failure the entry is zeroed.
uint32_t IsoFind(const IsoImage *pstImage, const char *pcPath, bool bFollowLinks,
                 IsoEntry *pstEntry);

// Describes a node already at hand.
void IsoEntryOfNode(const IsoNode *pstNode, IsoEntry *pstEntry);

// The node a symbolic link points at (relative targets only, chains followed), or nullptr.
const IsoNode *IsoResolveLink(const IsoNode *pstLink);

// Lists a directory: its subdirectories, then its files, in record order; *puiCount is the sum of
// the direct subdirectory, file and link counters. A non-directory gives ISO_ERR_STATE.
uint32_t IsoListDir(const IsoNode *pstDir, std::vector<const IsoNode *> *pvNodes,
                    uint32_t *puiCount);

// Copies a directory's counters. A non-directory gives ISO_ERR_STATE.
uint32_t IsoDirStats(const IsoNode *pstDir, IsoDirInfo *pstInfo);

// Copies a file, or a directory with its subtree, into the existing host directory pcDestDir.
// pstTimes (optional) replaces the recorded file times; fnProgress (optional) reports each step.
uint32_t IsoExtract(const IsoImage *pstImage, const IsoNode *pstNode, const char *pcDestDir,
                    const IsoFileTimes *pstTimes, const IsoProgressFn &fnProgress);

// Reads exactly uiLen bytes at the absolute image offset ullOffset.
uint32_t IsoReadAt(const IsoImage *pstImage, uint64_t ullOffset, size_t uiLen, void *pvBuf);

// Number of bootable El Torito entries (0 without a boot catalog).
uint32_t IsoBootEntryCount(const IsoImage *pstImage);

// Finds the Joliet file record whose extent is uiExtent (in sectors).
uint32_t IsoFindJolietRecord(const IsoImage *pstImage, uint32_t uiExtent,
                             IsoJolietRecord *pstRecord);

// Reads a whole host file into *pvBuf; returns its byte count, or -1 when it cannot be read.
long long IsoReadWholeFile(const char *pcPath, std::vector<unsigned char> *pvBuf);
