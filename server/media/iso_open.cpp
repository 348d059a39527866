// Parsing an image into its trees: descriptors, path table, boot catalog, Rock Ridge, the primary
// and Joliet trees and the directory totals.
#include "iso_bytes.h"
#include "iso_file.h"
#include "iso_image.h"
#include "iso_rockridge.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_set>
#include <vector>

namespace {

constexpr uint64_t kDescriptorStart = 32768;
constexpr long long kMinImageSize = 34816;
constexpr size_t kRecordHead = 34;
// Limits that only a corrupted image reaches.
constexpr size_t kMaxDescriptors = 256;
constexpr size_t kMaxCatalogSectors = 256;
// Far above what a real image holds (some 600,000 records in one directory); a corrupted length
// must not make us allocate most of a multi-gigabyte file.
constexpr uint32_t kMaxDirectoryBytes = 64u << 20;
constexpr uint32_t kMaxPathTableBytes = 64u << 20;

struct Source {
    const IsoFile &file;
    uint64_t ullSize;
};

// Directory extents of a sound image never overlap, so together they fit in the file. Spending
// more than that on one tree means extents that overlap or repeat, which only corruption makes.
class DirectoryBudget {
public:
    explicit DirectoryBudget(uint64_t ullBytes) : m_ullLeft(ullBytes) {}
    bool Take(uint64_t ullBytes)
    {
        if (ullBytes > m_ullLeft) {
            return false;
        }
        m_ullLeft -= ullBytes;
        return true;
    }

private:
    uint64_t m_ullLeft;
};

// Reads the whole extent of a directory whose length comes from its own first record.
uint32_t ReadDirectory(const Source &src, uint32_t uiExtent, DirectoryBudget &budget,
                       std::vector<unsigned char> *pvData)
{
    const uint64_t ullAt = static_cast<uint64_t>(uiExtent) * ISO_SECTOR_SIZE;
    unsigned char aucHead[kRecordHead];
    if (!src.file.ReadExact(ullAt, kRecordHead, aucHead)) {
        return ISO_ERR_READ;
    }
    if (aucHead[0] < kRecordHead) {
        return ISO_ERR_FORMAT;
    }
    const uint32_t uiLen = IsoLe32(aucHead + 10);
    if (ullAt + uiLen > src.ullSize) {
        return ISO_ERR_READ;
    }
    if (uiLen > kMaxDirectoryBytes || !budget.Take(uiLen)) {
        return ISO_ERR_FORMAT;
    }
    pvData->resize(uiLen);
    return src.file.ReadExact(ullAt, uiLen, pvData->data()) ? 0 : ISO_ERR_READ;
}

// Calls fn(record, record length, absolute record position, is-directory) for every record of a
// directory extent except its self and parent entries.
template <class Fn>
uint32_t WalkDirectory(const Source &src, uint32_t uiExtent, DirectoryBudget &budget,
                       std::vector<unsigned char> &vData, Fn fn)
{
    if (uint32_t uiRet = ReadDirectory(src, uiExtent, budget, &vData)) {
        return uiRet;
    }
    const uint64_t ullBase = static_cast<uint64_t>(uiExtent) * ISO_SECTOR_SIZE;
    for (size_t uiPos = 0; uiPos < vData.size();) {
        const size_t uiLen = vData[uiPos];
        if (uiLen == 0) {
            uiPos = (uiPos / ISO_SECTOR_SIZE + 1) * ISO_SECTOR_SIZE;
            continue;
        }
        const unsigned char *pucRec = &vData[uiPos];
        if (uiLen < kRecordHead || uiPos + uiLen > vData.size() || 33u + pucRec[32] > uiLen) {
            return ISO_ERR_FORMAT;
        }
        const bool bSelfOrParent = pucRec[32] == 1 && (pucRec[33] == 0 || pucRec[33] == 1);
        if (!bSelfOrParent) {
            if (uint32_t uiRet = fn(pucRec, uiLen, ullBase + uiPos, (pucRec[25] & 0x02) != 0)) {
                return uiRet;
            }
        }
        uiPos += uiLen;
    }
    return 0;
}

std::string RecordName(const unsigned char *pucRec)
{
    std::string szName(reinterpret_cast<const char *>(pucRec + 33), pucRec[32]);
    if (!szName.empty() && szName.find_first_not_of(' ') == std::string::npos) {
        return "*All Space*";
    }
    const size_t uiEnd = szName.find_last_not_of(std::string(" \0", 2));
    szName.resize(uiEnd == std::string::npos ? 0 : uiEnd + 1);
    return szName.empty() ? "*Empty*" : szName;
}

// FILE.TXT;1 -> FILE.TXT and FILE.;1 -> FILE, for names that plainly carry an ISO version.
void StripVersion(std::string *pszName)
{
    const std::string &sz = *pszName;
    const size_t uiSemi = sz.find(';');
    if (sz.size() <= 2 || std::count(sz.begin(), sz.end(), '.') != 1 ||
        std::count(sz.begin(), sz.end(), ';') != 1 || uiSemi == 0) {
        return;
    }
    for (char c : sz) {
        if (c >= 'a' && c <= 'z') {
            return;
        }
    }
    for (size_t i = uiSemi + 1; i < sz.size(); ++i) {
        if (sz[i] < '0' || sz[i] > '9') {
            return;
        }
    }
    size_t uiCut = uiSemi;
    if (sz[uiCut - 1] == '.') {
        --uiCut;
    }
    pszName->resize(uiCut);
}

template <class Node>
void Append(Node *pstParent, Node *pstNode, bool bDir, Node **ppstLastDir, Node **ppstLastFile)
{
    pstNode->pstParent = pstParent;
    Node **ppstLast = bDir ? ppstLastDir : ppstLastFile;
    if (*ppstLast) {
        (*ppstLast)->pstNext = pstNode;
    } else if (bDir) {
        pstParent->pstFirstDir = pstNode;
    } else {
        pstParent->pstFirstFile = pstNode;
    }
    *ppstLast = pstNode;
}

uint32_t ReadDescriptors(const Source &src, IsoImage *pstImage)
{
    for (uint64_t ullAt = kDescriptorStart;; ullAt += ISO_SECTOR_SIZE) {
        std::vector<unsigned char> vSector(ISO_SECTOR_SIZE);
        const size_t uiRead = src.file.ReadAt(ullAt, ISO_SECTOR_SIZE, vSector.data());
        if (uiRead != ISO_SECTOR_SIZE) {
            printf("Read Len %u, struct len %u.\n", static_cast<unsigned>(uiRead), ISO_SECTOR_SIZE);
            return ISO_ERR_READ;
        }
        if (memcmp(vSector.data() + 1, "CD001", 5) != 0 ||
            pstImage->lstDescriptors.size() >= kMaxDescriptors) {
            return ISO_ERR_FORMAT;
        }
        const unsigned char ucType = vSector[0];
        if (ucType >= 4 && ucType <= 254) {
            return ISO_ERR_FORMAT;
        }
        pstImage->lstDescriptors.push_back(std::move(vSector));
        const unsigned char *pucKept = pstImage->lstDescriptors.back().data();
        if (ucType == 0) {
            pstImage->pucBootRecord = pucKept;
        } else if (ucType == 1) {
            pstImage->pucPrimary = pucKept;
        } else if (ucType == 2) {
            pstImage->pucSupplementary = pucKept;
        } else if (ucType == 255) {
            break;
        }
    }
    if (!pstImage->pucPrimary) {
        printf("No PVD found.\n");
        return ISO_ERR_FORMAT;
    }
    const uint16_t usBlock = IsoLe16(pstImage->pucPrimary + 128);
    if (usBlock != ISO_SECTOR_SIZE) {
        printf("Unsupported block size %u.\n", usBlock);
        return ISO_ERR_BLOCK_SIZE;
    }
    return 0;
}

uint32_t ReadPathTable(const Source &src, IsoImage *pstImage)
{
    const uint32_t uiSize = IsoLe32(pstImage->pucPrimary + 132);
    if (uiSize > kMaxPathTableBytes) {
        return ISO_ERR_FORMAT;
    }
    const uint64_t ullAt =
        static_cast<uint64_t>(IsoLe32(pstImage->pucPrimary + 140)) * ISO_SECTOR_SIZE;
    size_t uiRead = 0;
    if (ullAt + uiSize <= src.ullSize) {
        pstImage->vPathTable.resize(uiSize);
        uiRead = src.file.ReadAt(ullAt, uiSize, pstImage->vPathTable.data());
    }
    if (uiRead != uiSize) {
        printf("Read Len %u, data len %u.\n", static_cast<unsigned>(uiRead), uiSize);
        return ISO_ERR_READ;
    }
    return 0;
}

// Keeps the validation entry, the initial entry and every section up to the final one.
uint32_t ReadBootCatalog(const Source &src, IsoImage *pstImage)
{
    if (!pstImage->pucBootRecord) {
        return 0;
    }
    const uint64_t ullAt =
        static_cast<uint64_t>(IsoLe32(pstImage->pucBootRecord + 71)) * ISO_SECTOR_SIZE;
    std::vector<unsigned char> &vCat = pstImage->vBootCatalog;
    // Makes sure the 32-byte entry at uiPos is loaded, reading the next sector when needed.
    auto load = [&](size_t uiPos) -> uint32_t {
        while (uiPos + 32 > vCat.size()) {
            if (vCat.size() >= kMaxCatalogSectors * ISO_SECTOR_SIZE) {
                return ISO_ERR_FORMAT;
            }
            const size_t uiOld = vCat.size();
            vCat.resize(uiOld + ISO_SECTOR_SIZE);
            const size_t uiRead =
                src.file.ReadAt(ullAt + uiOld, ISO_SECTOR_SIZE, vCat.data() + uiOld);
            if (uiRead != ISO_SECTOR_SIZE) {
                printf("Read Len %u, sector len %u.\n", static_cast<unsigned>(uiRead),
                       ISO_SECTOR_SIZE);
                return ISO_ERR_READ;
            }
        }
        return 0;
    };
    size_t uiPos = 64;
    for (bool bFinal = false; !bFinal;) {
        if (uint32_t uiRet = load(uiPos)) {
            return uiRet;
        }
        const unsigned char ucHeader = vCat[uiPos];
        if (ucHeader != 0x90 && ucHeader != 0x91) {
            break;
        }
        bFinal = ucHeader == 0x91;
        uint32_t uiEntries = IsoLe16(&vCat[uiPos + 2]);
        uiPos += 32;
        while (uiEntries > 0) {
            if (uint32_t uiRet = load(uiPos)) {
                return uiRet;
            }
            if (!(vCat[uiPos + 1] & 0x10)) {
                --uiEntries;
            }
            uiPos += 32;
        }
    }
    vCat.resize(uiPos);
    return 0;
}

uint32_t DetectRockRidge(const Source &src, IsoImage *pstImage)
{
    unsigned char auc[41];
    const uint64_t ullAt =
        static_cast<uint64_t>(IsoLe32(pstImage->pucPrimary + 158)) * ISO_SECTOR_SIZE;
    if (!src.file.ReadExact(ullAt, sizeof(auc), auc)) {
        return ISO_ERR_READ;
    }
    if (auc[34] == 'S' && auc[35] == 'P' && auc[38] == 0xBE && auc[39] == 0xEF) {
        pstImage->ucRockRidge = auc[37] ? auc[37] : 1;
        pstImage->ucSuspSkip = auc[40];
    }
    return 0;
}

void CountFile(IsoDirInfo *pstInfo, const IsoNode &node)
{
    if (node.IsLink()) {
        ++pstInfo->uiLinks;
        return;
    }
    ++pstInfo->uiFiles;
    pstInfo->uiFileSectors += static_cast<uint32_t>(
        (static_cast<uint64_t>(node.uiDataLen) + ISO_SECTOR_SIZE - 1) / ISO_SECTOR_SIZE);
    pstInfo->ullFileBytes += node.uiDataLen;
}

uint32_t BuildPrimaryTree(const Source &src, IsoImage *pstImage, std::vector<IsoNode *> *pvDirs)
{
    IsoNode &root = pstImage->dqNodes.emplace_back();
    root.uiExtent = IsoLe32(pstImage->pucPrimary + 158);
    root.uiDataLen = IsoLe32(pstImage->pucPrimary + 166);
    root.pstDirInfo = std::make_unique<IsoDirInfo>();
    pstImage->pstRoot = &root;

    std::unordered_set<uint32_t> setVisited{root.uiExtent};
    std::vector<unsigned char> vData;
    DirectoryBudget budget(src.ullSize);
    pvDirs->push_back(&root);
    // pvDirs doubles as the breadth-first queue: directories are appended as they are found.
    for (size_t uiNext = 0; uiNext < pvDirs->size(); ++uiNext) {
        IsoNode *pstDir = (*pvDirs)[uiNext];
        IsoNode *pstLastDir = nullptr;
        IsoNode *pstLastFile = nullptr;
        auto onRecord = [&](const unsigned char *pucRec, size_t uiLen, uint64_t ullPos,
                            bool bDir) -> uint32_t {
            IsoNode &node = pstImage->dqNodes.emplace_back();
            node.uiExtent = IsoLe32(pucRec + 2);
            node.uiDataLen = IsoLe32(pucRec + 10);
            node.szName = RecordName(pucRec);
            if (pstImage->ucRockRidge) {
                node.pstRockRidge = std::make_unique<IsoRockRidge>();
                if (uint32_t uiRet = IsoParseRockRidge(src.file, src.ullSize, pucRec, uiLen,
                                                       pstImage->ucSuspSkip,
                                                       node.pstRockRidge.get(), &node.szName)) {
                    return uiRet;
                }
            }
            if (bDir) {
                // A directory met twice would make the walk endless (a loop back to an ancestor).
                if (!setVisited.insert(node.uiExtent).second) {
                    return ISO_ERR_FORMAT;
                }
                node.pstDirInfo = std::make_unique<IsoDirInfo>();
                ++pstDir->pstDirInfo->uiDirs;
                pvDirs->push_back(&node);
            } else {
                node.ullRecordPos = ullPos;
                if (!node.pstRockRidge) {
                    StripVersion(&node.szName);
                }
                CountFile(pstDir->pstDirInfo.get(), node);
            }
            Append(pstDir, &node, bDir, &pstLastDir, &pstLastFile);
            return 0;
        };
        if (uint32_t uiRet = WalkDirectory(src, pstDir->uiExtent, budget, vData, onRecord)) {
            return uiRet;
        }
        if (pstDir == &root && pstImage->ucRockRidge && !vData.empty()) {
            // The root has no record of its own but its "." record; its name stays empty.
            std::string szIgnored;
            root.pstRockRidge = std::make_unique<IsoRockRidge>();
            if (uint32_t uiRet = IsoParseRockRidge(src.file, src.ullSize, vData.data(), vData[0], 0,
                                                   root.pstRockRidge.get(), &szIgnored)) {
                return uiRet;
            }
        }
    }
    return 0;
}

uint32_t BuildJolietTree(const Source &src, IsoImage *pstImage)
{
    IsoJolietNode &root = pstImage->dqJolietNodes.emplace_back();
    root.uiExtent = IsoLe32(pstImage->pucSupplementary + 158);
    root.uiDataLen = IsoLe32(pstImage->pucSupplementary + 166);
    root.bDir = true;
    pstImage->pstJolietRoot = &root;

    std::unordered_set<uint32_t> setVisited{root.uiExtent};
    std::vector<unsigned char> vData;
    DirectoryBudget budget(src.ullSize);
    std::vector<IsoJolietNode *> vQueue{&root};
    for (size_t uiNext = 0; uiNext < vQueue.size(); ++uiNext) {
        IsoJolietNode *pstDir = vQueue[uiNext];
        IsoJolietNode *pstLastDir = nullptr;
        IsoJolietNode *pstLastFile = nullptr;
        auto onRecord = [&](const unsigned char *pucRec, size_t, uint64_t ullPos,
                            bool bDir) -> uint32_t {
            IsoJolietNode &node = pstImage->dqJolietNodes.emplace_back();
            node.uiExtent = IsoLe32(pucRec + 2);
            node.uiDataLen = IsoLe32(pucRec + 10);
            node.ullRecordPos = ullPos;
            node.bDir = bDir;
            if (bDir) {
                if (!setVisited.insert(node.uiExtent).second) {
                    return ISO_ERR_FORMAT;
                }
                vQueue.push_back(&node);
            }
            Append(pstDir, &node, bDir, &pstLastDir, &pstLastFile);
            return 0;
        };
        if (uint32_t uiRet = WalkDirectory(src, pstDir->uiExtent, budget, vData, onRecord)) {
            return uiRet;
        }
    }
    return 0;
}

// Children before parents: the reverse of the breadth-first order.
void AddTotals(const std::vector<IsoNode *> &vDirs)
{
    for (auto it = vDirs.rbegin(); it != vDirs.rend(); ++it) {
        IsoDirInfo &info = *(*it)->pstDirInfo;
        info.uiRecursiveDirs += info.uiDirs;
        info.uiRecursiveFiles += info.uiFiles;
        info.uiRecursiveLinks += info.uiLinks;
        info.ullRecursiveBytes += info.ullFileBytes;
        info.uiRecursiveSectors += info.uiFileSectors;
        if (IsoNode *pstParent = (*it)->pstParent) {
            IsoDirInfo &up = *pstParent->pstDirInfo;
            up.uiRecursiveDirs += info.uiRecursiveDirs;
            up.uiRecursiveFiles += info.uiRecursiveFiles;
            up.uiRecursiveLinks += info.uiRecursiveLinks;
            up.ullRecursiveBytes += info.ullRecursiveBytes;
            up.uiRecursiveSectors += info.uiRecursiveSectors;
        }
    }
}

uint32_t Parse(const char *pcPath, bool bWithJoliet, IsoImage *pstImage)
{
    IsoFile file(pcPath);
    const long long llSize = file.RegularSize();
    if (!file.IsOpen() || llSize < 0) {
        printf("Failed to open file %s.\n", pcPath);
        return ISO_ERR_OPEN;
    }
    if (llSize < kMinImageSize) {
        printf("File len %llu is too small.\n", static_cast<unsigned long long>(llSize));
        return ISO_ERR_FORMAT;
    }
    pstImage->szPath = pcPath;
    pstImage->ullFileSize = static_cast<uint64_t>(llSize);
    const Source src{file, pstImage->ullFileSize};
    std::vector<IsoNode *> vDirs;
    uint32_t uiRet = ReadDescriptors(src, pstImage);
    uiRet = uiRet ? uiRet : ReadPathTable(src, pstImage);
    uiRet = uiRet ? uiRet : ReadBootCatalog(src, pstImage);
    uiRet = uiRet ? uiRet : DetectRockRidge(src, pstImage);
    uiRet = uiRet ? uiRet : BuildPrimaryTree(src, pstImage, &vDirs);
    if (!uiRet && bWithJoliet && pstImage->pucSupplementary) {
        uiRet = BuildJolietTree(src, pstImage);
    }
    if (!uiRet) {
        AddTotals(vDirs);
    }
    return uiRet;
}

}  // namespace

uint32_t IsoOpen(const char *pcPath, bool bWithJoliet, IsoImage *pstImage)
{
    if (!pcPath || !pstImage) {
        return ISO_ERR_BAD_ARGUMENT;
    }
    IsoClose(pstImage);
    uint32_t uiRet;
    try {
        uiRet = Parse(pcPath, bWithJoliet, pstImage);
    } catch (const std::bad_alloc &) {
        uiRet = ISO_ERR_NO_MEMORY;
    }
    if (uiRet) {
        IsoClose(pstImage);
        return uiRet;
    }
    pstImage->bParsed = true;
    return 0;
}

void IsoClose(IsoImage *pstImage)
{
    if (!pstImage) {
        return;
    }
    pstImage->bParsed = false;
    pstImage->szPath.clear();
    pstImage->ullFileSize = 0;
    pstImage->pucPrimary = pstImage->pucSupplementary = pstImage->pucBootRecord = nullptr;
    pstImage->lstDescriptors.clear();
    pstImage->vPathTable.clear();
    pstImage->vBootCatalog.clear();
    pstImage->ucRockRidge = pstImage->ucSuspSkip = 0;
    pstImage->pstRoot = nullptr;
    pstImage->pstJolietRoot = nullptr;
    pstImage->dqNodes.clear();
    pstImage->dqJolietNodes.clear();
}

IsoImage::~IsoImage()
{
    IsoClose(this);
}
