// The entry points every plug-in answers the same way from its profile and active record.
#pragma once

#include <string>

#include "kiv_plugin_api.h"

// The two headings of the description, English (language 0) and Chinese (language 1).
struct PluginDescText {
    const char *pcEnglish;
    const char *pcChinese;
};

void SkeletonGetDesc(const PluginDescText &stText, uint8_t ucChinese, std::string *pstrDesc);
void SkeletonGetOSType(std::string *pstrType);
void SkeletonGetOSInfo(PluginOsInfo *pstInfo);
void SkeletonGetVirtISOInfo(PluginVirtIsoInfo *pstInfo);
