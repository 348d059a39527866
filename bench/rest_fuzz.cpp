// libFuzzer target: arbitrary bytes as a REST request, parsed and answered.
#include <cstdint>
#include <string>

#include "kiv_restful.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t uiSize)
{
    std::string strText(reinterpret_cast<const char *>(pData), uiSize);
    KIV_REST_Request stReq;
    if (KIV_REST_ParseRequest(strText.c_str(), &stReq)) {
        KIV_REST_Answer(stReq);
    }
    return 0;
}
