#include "iso_rockridge.h"

#include "iso_bytes.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// A continuation area is at most a few sectors; anything larger is a corrupted length.
constexpr uint32_t kMaxContinuation = 64 * 1024;

bool ParseDigits(const unsigned char *p, int iCount, int *piValue)
{
    int iValue = 0;
    for (int i = 0; i < iCount; ++i) {
        if (p[i] < '0' || p[i] > '9') {
            return false;
        }
        iValue = iValue * 10 + (p[i] - '0');
    }
    *piValue = iValue;
    return true;
}

void ParseDate7(const unsigned char *p, IsoStamp *pstStamp)
{
    pstStamp->usYear = static_cast<uint16_t>(1900 + p[0]);
    pstStamp->ucMonth = p[1];
    pstStamp->ucDay = p[2];
    pstStamp->ucHour = p[3];
    pstStamp->ucMinute = p[4];
    pstStamp->ucSecond = p[5];
    pstStamp->usMilliSec = 0;
    pstStamp->cGmtOffsetHours = static_cast<int8_t>(static_cast<int8_t>(p[6]) / 4);
}

void ParseTimes(const unsigned char *pucEntry, size_t uiLen, IsoRockRidge *pstRockRidge)
{
    if (uiLen < 5) {
        return;
    }
    const unsigned char ucFlags = pucEntry[4];
    const size_t uiStampLen = (ucFlags & 0x80) ? 17 : 7;
    size_t uiPos = 5;
    for (int i = 0; i < ISO_STAMP_COUNT; ++i) {
        if (!(ucFlags & (1u << i))) {
            continue;
        }
        if (uiPos + uiStampLen > uiLen) {
            return;
        }
        if (uiStampLen == 17) {
            IsoParseDate17(pucEntry + uiPos, &pstRockRidge->astStamp[i]);
        } else {
            ParseDate7(pucEntry + uiPos, &pstRockRidge->astStamp[i]);
        }
        uiPos += uiStampLen;
    }
}

// Collects "SL" component records until an entry without the continue flag ends the link.
class LinkBuilder {
public:
    void Add(const unsigned char *pucEntry, size_t uiLen, IsoRockRidge *pstRockRidge)
    {
        if (uiLen < 5) {
            return;
        }
        for (size_t uiPos = 5; uiPos + 2 <= uiLen;) {
            const unsigned char ucFlags = pucEntry[uiPos];
            const size_t uiCompLen = pucEntry[uiPos + 1];
            if (uiPos + 2 + uiCompLen > uiLen) {
                break;
            }
            std::string szText;
            if (ucFlags & 0x02) {
                szText = ".";
            } else if (ucFlags & 0x04) {
                szText = "..";
            } else if (!(ucFlags & 0x08)) {
                szText.assign(reinterpret_cast<const char *>(pucEntry + uiPos + 2), uiCompLen);
            }
            m_vComponents.push_back({std::move(szText), (ucFlags & 0x01) != 0});
            uiPos += 2 + uiCompLen;
        }
        m_bPending = true;
        if (!(pucEntry[4] & 0x01)) {
            Finish(pstRockRidge);
        }
    }

    // Ends a link whose last entry still announced more (a cut-off record).
    void Finish(IsoRockRidge *pstRockRidge)
    {
        if (!m_bPending) {
            return;
        }
        std::string szPath;
        for (size_t i = 0; i < m_vComponents.size(); ++i) {
            szPath += m_vComponents[i].szText;
            if (i + 1 < m_vComponents.size() && !m_vComponents[i].bContinues) {
                szPath += '/';
            }
        }
        pstRockRidge->szLinkTarget += szPath;
        if (pstRockRidge->szLinkTarget.size() > ISO_RR_LINK_MAX) {
            pstRockRidge->szLinkTarget.resize(ISO_RR_LINK_MAX);
        }
        pstRockRidge->bSymLink = true;
        m_vComponents.clear();
        m_bPending = false;
    }

private:
    struct Component {
        std::string szText;
        bool bContinues;
    };
    std::vector<Component> m_vComponents;
    bool m_bPending = false;
};

bool Is(const unsigned char *pucEntry, const char *pcSig)
{
    return pucEntry[0] == static_cast<unsigned char>(pcSig[0]) &&
           pucEntry[1] == static_cast<unsigned char>(pcSig[1]);
}

// Finds the first "CE" entry of the area and appends its continuation to *pvArea.
uint32_t AppendContinuation(const IsoFile &file, uint64_t ullFileSize,
                            std::vector<unsigned char> *pvArea)
{
    const std::vector<unsigned char> &vArea = *pvArea;
    for (size_t uiPos = 0; uiPos + 4 <= vArea.size();) {
        const size_t uiLen = vArea[uiPos + 2];
        if (uiLen < 4 || uiPos + uiLen > vArea.size()) {
            return 0;
        }
        if (Is(&vArea[uiPos], "CE") && uiLen >= 28) {
            const uint64_t ullAt =
                static_cast<uint64_t>(IsoLe32(&vArea[uiPos + 4])) * ISO_SECTOR_SIZE +
                IsoLe32(&vArea[uiPos + 12]);
            const uint32_t uiAreaLen = IsoLe32(&vArea[uiPos + 20]);
            if (uiAreaLen > kMaxContinuation || ullAt + uiAreaLen > ullFileSize) {
                printf("Read len %u buf len %u.\n", 0u, uiAreaLen);
                return ISO_ERR_READ;
            }
            const size_t uiOld = pvArea->size();
            pvArea->resize(uiOld + uiAreaLen);
            const size_t uiRead = file.ReadAt(ullAt, uiAreaLen, pvArea->data() + uiOld);
            if (uiRead != uiAreaLen) {
                printf("Read len %u buf len %u.\n", static_cast<unsigned>(uiRead), uiAreaLen);
                return ISO_ERR_READ;
            }
            return 0;
        }
        uiPos += uiLen;
    }
    return 0;
}

}  // namespace

uint32_t IsoParseDate17(const unsigned char *pucDate, IsoStamp *pstStamp)
{
    if (pucDate[0] == 0 || pucDate[0] == ' ' || pucDate[0] == '0') {
        return ISO_ERR_NO_DATE;
    }
    int aiField[7];
    static constexpr int kWidth[7] = {4, 2, 2, 2, 2, 2, 2};
    const unsigned char *p = pucDate;
    for (int i = 0; i < 7; ++i) {
        if (!ParseDigits(p, kWidth[i], &aiField[i])) {
            return ISO_ERR_NO_DATE;
        }
        p += kWidth[i];
    }
    pstStamp->usYear = static_cast<uint16_t>(aiField[0]);
    pstStamp->ucMonth = static_cast<uint8_t>(aiField[1]);
    pstStamp->ucDay = static_cast<uint8_t>(aiField[2]);
    pstStamp->ucHour = static_cast<uint8_t>(aiField[3]);
    pstStamp->ucMinute = static_cast<uint8_t>(aiField[4]);
    pstStamp->ucSecond = static_cast<uint8_t>(aiField[5]);
    pstStamp->usMilliSec = static_cast<uint16_t>(aiField[6] * 10);
    pstStamp->cGmtOffsetHours = static_cast<int8_t>(static_cast<int8_t>(pucDate[16]) / 4);
    return 0;
}

uint32_t IsoParseRockRidge(const IsoFile &file, uint64_t ullFileSize,
                           const unsigned char *pucRecord, size_t uiRecLen, uint8_t ucSkip,
                           IsoRockRidge *pstRockRidge, std::string *pszName)
{
    const size_t uiNameLen = pucRecord[32];
    const size_t uiStart = 33 + uiNameLen + ((uiNameLen % 2 == 0) ? 1 : 0) + ucSkip;
    if (uiStart >= uiRecLen) {
        return 0;
    }
    std::vector<unsigned char> vArea(pucRecord + uiStart, pucRecord + uiRecLen);
    if (uint32_t uiRet = AppendContinuation(file, ullFileSize, &vArea)) {
        return uiRet;
    }

    bool bNameSeen = false;
    LinkBuilder link;
    for (size_t uiPos = 0; uiPos + 4 <= vArea.size();) {
        const unsigned char *pucEntry = &vArea[uiPos];
        const size_t uiLen = pucEntry[2];
        if (uiLen == 0 || uiPos + uiLen > vArea.size()) {
            break;
        }
        if (Is(pucEntry, "PX") && uiLen >= 36) {
            pstRockRidge->uiPosixFileMode = IsoLe32(pucEntry + 4);
            pstRockRidge->uiPosixFileLink = IsoLe32(pucEntry + 12);
            pstRockRidge->uiPosixFileUserId = IsoLe32(pucEntry + 20);
            pstRockRidge->uiPosixFileGroupId = IsoLe32(pucEntry + 28);
            if (uiLen >= 44) {
                pstRockRidge->uiPosixFileSNO = IsoLe32(pucEntry + 36);
            }
        } else if (Is(pucEntry, "PN") && uiLen >= 20) {
            pstRockRidge->uiDevNumHigh = IsoLe32(pucEntry + 4);
            pstRockRidge->uiDevNumLow = IsoLe32(pucEntry + 12);
        } else if (Is(pucEntry, "NM") && uiLen >= 5) {
            if (!bNameSeen) {
                pszName->clear();
                bNameSeen = true;
                pstRockRidge->bAltName = true;
            }
            const size_t uiRoom = ISO_RR_NAME_MAX - std::min(pszName->size(), ISO_RR_NAME_MAX);
            pszName->append(reinterpret_cast<const char *>(pucEntry + 5),
                            std::min(uiLen - 5, uiRoom));
        } else if (Is(pucEntry, "SL")) {
            link.Add(pucEntry, uiLen, pstRockRidge);
        } else if (Is(pucEntry, "TF")) {
            ParseTimes(pucEntry, uiLen, pstRockRidge);
        }
        uiPos += uiLen;
    }
    link.Finish(pstRockRidge);
    return 0;
}
