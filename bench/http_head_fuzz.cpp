// libFuzzer target: arbitrary bytes as an HTTP head, through every reader of a head.
#include <cstdint>
#include <string>

#include "qvhttp_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t uiSize)
{
    // The service hands the parser the head as a C string, cut at the first NUL.
    std::string strHead(reinterpret_cast<const char *>(pData), uiSize);
    const char *pcHead = strHead.c_str();
    QVHTTP_Request stReq;
    QVHTTP_UTIL_ParseHead(pcHead, &stReq);
    int64_t llStart = 0, llEnd = 0;
    QVHTTP_UTIL_GetFileRangeValue(pcHead, 1000, &llStart, &llEnd);
    QVHTTP_UTIL_IsKeepAlive(pcHead);
    return 0;
}
