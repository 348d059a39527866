#include "qv_text.h"

#include <sys/random.h>

#include <cstdio>

std::string QV_IpText(uint32_t uiIp)
{
    char szText[16];
    snprintf(szText, sizeof(szText), "%u.%u.%u.%u", (uiIp >> 24) & 0xFF, (uiIp >> 16) & 0xFF,
             (uiIp >> 8) & 0xFF, uiIp & 0xFF);
    return szText;
}

bool QV_IpParse(const char *pcText, uint32_t *puiIp)
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (pcText == nullptr || sscanf(pcText, "%u.%u.%u.%u", &a, &b, &c, &d) != 4) {
        return false;
    }
    *puiIp = ((a & 0xFF) << 24) | ((b & 0xFF) << 16) | ((c & 0xFF) << 8) | (d & 0xFF);
    return true;
}

bool QV_IpValid(const char *pcText)
{
    if (pcText == nullptr) {
        return false;
    }
    const char *p = pcText;
    for (int iPart = 0; iPart < 4; ++iPart) {
        if (iPart > 0 && *p++ != '.') {
            return false;
        }
        int iValue = 0, iDigits = 0;
        for (; *p >= '0' && *p <= '9' && iDigits < 4; ++p, ++iDigits) {
            iValue = iValue * 10 + (*p - '0');
        }
        if (iDigits == 0 || iDigits > 3 || iValue > 255) {
            return false;
        }
    }
    return *p == '\0';
}

std::string QV_MacText(const uint8_t aucMac[6])
{
    char szText[18];
    snprintf(szText, sizeof(szText), "%02x-%02x-%02x-%02x-%02x-%02x", aucMac[0], aucMac[1],
             aucMac[2], aucMac[3], aucMac[4], aucMac[5]);
    return szText;
}

std::string QV_RandomText(const std::string &strAlphabet, size_t uiLength)
{
    unsigned char aucBytes[256];
    if (strAlphabet.empty() || uiLength > sizeof(aucBytes) ||
        getrandom(aucBytes, uiLength, 0) != static_cast<ssize_t>(uiLength)) {
        return "";
    }
    std::string strText;
    for (size_t i = 0; i < uiLength; ++i) {
        strText += strAlphabet[aucBytes[i] % strAlphabet.size()];
    }
    return strText;
}

namespace {

// Length of the valid UTF-8 sequence at pucText (at most uiLeft bytes), 0 when there is none:
// no overlong forms, no surrogates, nothing above U+10FFFF.
size_t Utf8Length(const unsigned char *pucText, size_t uiLeft)
{
    unsigned char ucLead = pucText[0];
    if (ucLead < 0xC2 || ucLead > 0xF4) {
        return 0;
    }
    size_t uiLen = ucLead < 0xE0 ? 2 : ucLead < 0xF0 ? 3 : 4;
    if (uiLen > uiLeft) {
        return 0;
    }
    unsigned char ucLow = ucLead == 0xE0 ? 0xA0 : ucLead == 0xF0 ? 0x90 : 0x80;
    unsigned char ucHigh = ucLead == 0xED ? 0x9F : ucLead == 0xF4 ? 0x8F : 0xBF;
    if (pucText[1] < ucLow || pucText[1] > ucHigh) {
        return 0;
    }
    for (size_t i = 2; i < uiLen; ++i) {
        if (pucText[i] < 0x80 || pucText[i] > 0xBF) {
            return 0;
        }
    }
    return uiLen;
}

}  // namespace

std::string QV_Printable(const std::string &strText)
{
    std::string strOut;
    const auto *pucText = reinterpret_cast<const unsigned char *>(strText.data());
    for (size_t i = 0; i < strText.size();) {
        unsigned char uc = pucText[i];
        if (uc >= 0x20 && uc < 0x7F) {
            strOut += char(uc);
            ++i;
            continue;
        }
        size_t uiLen = uc >= 0x80 ? Utf8Length(pucText + i, strText.size() - i) : 0;
        // C1 controls (U+0080..U+009F) are control bytes too, whatever their encoding.
        if (uiLen == 2 && uc == 0xC2 && pucText[i + 1] < 0xA0) {
            uiLen = 0;
        }
        if (uiLen != 0) {
            strOut.append(strText, i, uiLen);
            i += uiLen;
        } else {
            char szHex[5];
            snprintf(szHex, sizeof(szHex), "\\x%02x", uc);
            strOut += szHex;
            ++i;
        }
    }
    return strOut;
}
