// Lookups in a parsed image: paths, links, listings, counters, boot entries and Joliet records.
#include "iso_image.h"

#include <glib.h>

#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr size_t kMaxComponents = 32;
constexpr size_t kMaxComponentLen = 255;
// Longest chain of links to links that is followed.
constexpr int kMaxLinkHops = 16;

// Splits at '/' and '\'; false on an empty component or a path beyond the split's limits.
bool SplitPath(std::string_view svPath, std::vector<std::string_view> *pvParts)
{
    pvParts->clear();
    size_t uiStart = 0;
    for (;;) {
        const size_t uiEnd = svPath.find_first_of("/\\", uiStart);
        const std::string_view svPart = svPath.substr(
            uiStart, uiEnd == std::string_view::npos ? std::string_view::npos : uiEnd - uiStart);
        if (svPart.empty() || svPart.size() > kMaxComponentLen ||
            pvParts->size() == kMaxComponents) {
            return false;
        }
        pvParts->push_back(svPart);
        if (uiEnd == std::string_view::npos) {
            return true;
        }
        uiStart = uiEnd + 1;
    }
}

bool SameName(const std::string &szName, std::string_view svName)
{
    return szName.size() == svName.size() &&
           g_ascii_strncasecmp(szName.data(), svName.data(), svName.size()) == 0;
}

const IsoNode *FindIn(const IsoNode *pstFirst, std::string_view svName)
{
    for (const IsoNode *p = pstFirst; p; p = p->pstNext) {
        if (SameName(p->szName, svName)) {
            return p;
        }
    }
    return nullptr;
}

const IsoNode *FindChild(const IsoNode *pstDir, std::string_view svName, bool bFilesFirst)
{
    const IsoNode *pstFirst = bFilesFirst ? pstDir->pstFirstFile : pstDir->pstFirstDir;
    const IsoNode *pstSecond = bFilesFirst ? pstDir->pstFirstDir : pstDir->pstFirstFile;
    const IsoNode *pstFound = FindIn(pstFirst, svName);
    return pstFound ? pstFound : FindIn(pstSecond, svName);
}

const IsoNode *Resolve(const IsoNode *pstLink, int iHops);

// The directory a path component leads into, passing through links to directories.
const IsoNode *AsDirectory(const IsoNode *pstNode, int iHops)
{
    if (pstNode && pstNode->IsLink()) {
        pstNode = Resolve(pstNode, iHops + 1);
    }
    return pstNode && pstNode->IsDir() ? pstNode : nullptr;
}

const IsoNode *Resolve(const IsoNode *pstLink, int iHops)
{
    if (iHops > kMaxLinkHops || !pstLink->IsLink()) {
        return nullptr;
    }
    const std::string &szTarget = pstLink->pstRockRidge->szLinkTarget;
    std::vector<std::string_view> vParts;
    if (szTarget.empty() || szTarget[0] == '/' || !SplitPath(szTarget, &vParts)) {
        return nullptr;
    }
    const IsoNode *pstDir = pstLink->pstParent;
    const IsoNode *pstNode = pstDir;
    for (size_t i = 0; i < vParts.size(); ++i) {
        if (vParts[i] == ".") {
            pstNode = pstDir;
        } else if (vParts[i] == "..") {
            pstDir = pstDir->pstParent ? pstDir->pstParent : pstDir;
            pstNode = pstDir;
        } else {
            pstNode = FindChild(pstDir, vParts[i], false);
            if (!pstNode) {
                return nullptr;
            }
            if (i + 1 < vParts.size()) {
                pstDir = AsDirectory(pstNode, iHops);
                if (!pstDir) {
                    return nullptr;
                }
            }
        }
    }
    return pstNode->IsLink() ? Resolve(pstNode, iHops + 1) : pstNode;
}

}  // namespace

const IsoNode *IsoResolveLink(const IsoNode *pstLink)
{
    return pstLink ? Resolve(pstLink, 0) : nullptr;
}

void IsoEntryOfNode(const IsoNode *pstNode, IsoEntry *pstEntry)
{
    if (!pstEntry) {
        return;
    }
    memset(pstEntry, 0, sizeof(*pstEntry));
    if (!pstNode) {
        return;
    }
    pstEntry->ucKind = pstNode->IsDir()    ? ISO_KIND_DIR
                       : pstNode->IsLink() ? ISO_KIND_LINK
                                           : ISO_KIND_FILE;
    g_strlcpy(pstEntry->szName, pstNode->szName.c_str(), sizeof(pstEntry->szName));
    if (pstNode->IsLink()) {
        g_strlcpy(pstEntry->szLinkTarget, pstNode->pstRockRidge->szLinkTarget.c_str(),
                  sizeof(pstEntry->szLinkTarget));
    }
    pstEntry->ullDataLen = pstNode->uiDataLen;
    pstEntry->ullExtentOffset = static_cast<uint64_t>(pstNode->uiExtent) * ISO_SECTOR_SIZE;
    pstEntry->ullRecordOffset = pstNode->ullRecordPos;
    pstEntry->pstParent = pstNode->pstParent;
    pstEntry->pstNode = pstNode;
}

uint32_t IsoFind(const IsoImage *pstImage, const char *pcPath, bool bFollowLinks,
                 IsoEntry *pstEntry)
{
    if (pstEntry) {
        memset(pstEntry, 0, sizeof(*pstEntry));
    }
    if (!pstImage || !pcPath || !pstEntry) {
        return ISO_ERR_BAD_ARGUMENT;
    }
    if (!pstImage->bParsed || !pstImage->pstRoot) {
        return ISO_ERR_STATE;
    }
    if (pcPath[0] == '/') {
        return ISO_ERR_NOT_FOUND;
    }
    const IsoNode *pstRoot = pstImage->pstRoot;
    if (pcPath[0] == '\0') {
        pstEntry->ucKind = ISO_KIND_DIR;
        pstEntry->pstNode = pstRoot;
        return 0;
    }
    std::vector<std::string_view> vParts;
    if (!SplitPath(pcPath, &vParts)) {
        printf("Failed to split path %s\n", pcPath);
        return ISO_ERR_NOT_FOUND;
    }
    const IsoNode *pstDir = pstRoot;
    const IsoNode *pstNode = nullptr;
    for (size_t i = 0; i < vParts.size(); ++i) {
        pstNode = FindChild(pstDir, vParts[i], vParts.size() == 1);
        if (!pstNode) {
            return ISO_ERR_NOT_FOUND;
        }
        if (i + 1 < vParts.size()) {
            pstDir = pstNode->IsDir() ? pstNode : bFollowLinks ? AsDirectory(pstNode, 0) : nullptr;
            if (!pstDir) {
                return ISO_ERR_NOT_FOUND;
            }
        }
    }
    if (bFollowLinks && pstNode->IsLink()) {
        pstNode = Resolve(pstNode, 0);
        if (!pstNode) {
            return ISO_ERR_NOT_FOUND;
        }
    }
    // A file whose recorded data runs past the end of the image (a corrupt or cut image) would
    // be served short; it is refused like any other broken record.
    if (!pstNode->IsDir() && !pstNode->IsLink() &&
        static_cast<uint64_t>(pstNode->uiExtent) * ISO_SECTOR_SIZE + pstNode->uiDataLen >
            pstImage->ullFileSize) {
        return ISO_ERR_FORMAT;
    }
    IsoEntryOfNode(pstNode, pstEntry);
    return 0;
}

uint32_t IsoListDir(const IsoNode *pstDir, std::vector<const IsoNode *> *pvNodes,
                    uint32_t *puiCount)
{
    if (!pstDir || !pvNodes || !puiCount) {
        return ISO_ERR_BAD_ARGUMENT;
    }
    pvNodes->clear();
    *puiCount = 0;
    if (!pstDir->IsDir()) {
        return ISO_ERR_STATE;
    }
    for (const IsoNode *pstFirst : {pstDir->pstFirstDir, pstDir->pstFirstFile}) {
        for (const IsoNode *p = pstFirst; p; p = p->pstNext) {
            pvNodes->push_back(p);
        }
    }
    const IsoDirInfo &info = *pstDir->pstDirInfo;
    *puiCount = info.uiDirs + info.uiFiles + info.uiLinks;
    return 0;
}

uint32_t IsoDirStats(const IsoNode *pstDir, IsoDirInfo *pstInfo)
{
    if (!pstDir || !pstInfo) {
        return ISO_ERR_BAD_ARGUMENT;
    }
    if (!pstDir->IsDir()) {
        return ISO_ERR_STATE;
    }
    *pstInfo = *pstDir->pstDirInfo;
    return 0;
}

uint32_t IsoBootEntryCount(const IsoImage *pstImage)
{
    if (!pstImage) {
        return 0;
    }
    const std::vector<unsigned char> &vCat = pstImage->vBootCatalog;
    uint32_t uiCount = 0;
    if (vCat.size() >= 64 && vCat[32] == 0x88) {
        ++uiCount;
    }
    for (size_t uiPos = 64; uiPos + 32 <= vCat.size(); uiPos += 32) {
        if (vCat[uiPos] == 0x88) {
            ++uiCount;
        }
    }
    return uiCount;
}

uint32_t IsoFindJolietRecord(const IsoImage *pstImage, uint32_t uiExtent,
                             IsoJolietRecord *pstRecord)
{
    if (!pstImage || !pstRecord) {
        return ISO_ERR_BAD_ARGUMENT;
    }
    memset(pstRecord, 0, sizeof(*pstRecord));
    if (!pstImage->pstJolietRoot) {
        return ISO_ERR_NOT_FOUND;
    }
    std::vector<const IsoJolietNode *> vQueue{pstImage->pstJolietRoot};
    for (size_t uiNext = 0; uiNext < vQueue.size(); ++uiNext) {
        const IsoJolietNode *pstDir = vQueue[uiNext];
        for (const IsoJolietNode *p = pstDir->pstFirstFile; p; p = p->pstNext) {
            if (p->uiExtent == uiExtent) {
                pstRecord->ullDataLen = p->uiDataLen;
                pstRecord->ullExtentOffset = static_cast<uint64_t>(p->uiExtent) * ISO_SECTOR_SIZE;
                pstRecord->ullRecordOffset = p->ullRecordPos;
                return 0;
            }
        }
        for (const IsoJolietNode *p = pstDir->pstFirstDir; p; p = p->pstNext) {
            vQueue.push_back(p);
        }
    }
    return ISO_ERR_NOT_FOUND;
}
