#include "template_expand.h"

#include <algorithm>
#include <sstream>

std::string ExpandTemplateText(const std::string &strTemplate, const TemplatePair *pstPairs,
                               uint32_t uiCount)
{
    std::istringstream stIn(strTemplate);
    std::string strResult;
    std::string strLine;
    while (std::getline(stIn, strLine)) {
        for (uint32_t i = 0; i < uiCount; ++i) {
            const std::string &strKey = pstPairs[i].strKey;
            const std::string &strValue = pstPairs[i].strValue;
            if (strKey.empty()) {
                continue;  // an empty key would match everywhere and never end
            }
            // The value is not searched again, so a value containing its own key cannot loop.
            for (size_t uiPos = strLine.find(strKey); uiPos != std::string::npos;
                 uiPos = strLine.find(strKey, uiPos + strValue.size())) {
                strLine.replace(uiPos, strKey.size(), strValue);
            }
        }
        strResult += strLine;
        strResult += '\n';
    }
    strResult.erase(std::remove(strResult.begin(), strResult.end(), '\r'), strResult.end());
    return strResult;
}
