#include "qv_text.h"

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
