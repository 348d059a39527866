#include "platform.h"

#include <cstdlib>
#include <cstring>

bool PLAT_LocaleIsChinese(const char *pcLcAll, const char *pcLcMessages, const char *pcLang)
{
    for (const char *pcValue : {pcLcAll, pcLcMessages, pcLang}) {
        if (pcValue != nullptr && pcValue[0] != '\0') {
            return strncmp(pcValue, "zh_CN", 5) == 0;
        }
    }
    return false;
}

bool PLAT_StartLanguageIsChinese()
{
    return PLAT_LocaleIsChinese(getenv("LC_ALL"), getenv("LC_MESSAGES"), getenv("LANG"));
}
