// libFuzzer target: the template engine of the menus and answer files. The input is pairs
// ("KEY=VALUE" lines) up to the first NUL byte, then the template. Expansion must end, and an
// empty pair list gives the template back line by line without carriage returns.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "template_expand.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pucData, size_t uiLen)
{
    std::string strInput(reinterpret_cast<const char *>(pucData), uiLen);
    size_t uiSplit = strInput.find('\0');
    std::string strPairs = uiSplit == std::string::npos ? "" : strInput.substr(0, uiSplit);
    std::string strTemplate =
        uiSplit == std::string::npos ? strInput : strInput.substr(uiSplit + 1);
    std::vector<TemplatePair> vecPairs;
    std::istringstream stPairs(strPairs);
    for (std::string strLine; std::getline(stPairs, strLine) && vecPairs.size() < 8;) {
        size_t uiEq = strLine.find('=');
        vecPairs.push_back(
            {strLine.substr(0, uiEq), uiEq == std::string::npos ? "" : strLine.substr(uiEq + 1)});
    }
    ExpandTemplateText(strTemplate, vecPairs.data(), uint32_t(vecPairs.size()));

    std::string strPlain = ExpandTemplateText(strTemplate, nullptr, 0);
    std::string strExpected;
    std::istringstream stLines(strTemplate);
    for (std::string strLine; std::getline(stLines, strLine);) {
        strExpected += strLine + "\n";
    }
    strExpected.erase(std::remove(strExpected.begin(), strExpected.end(), '\r'), strExpected.end());
    if (strPlain != strExpected) {
        abort();
    }
    return 0;
}
