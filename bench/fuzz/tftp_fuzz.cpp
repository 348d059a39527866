// libFuzzer target: arbitrary bytes as a TFTP datagram through every parser, and a parsed
// request or option acknowledgement written back out with the builders (small rooms included).
#include <cstdint>
#include <cstdlib>
#include <initializer_list>

#include "qvtftp_rfc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pucData, size_t uiLen)
{
    uint32_t uiLen32 = uint32_t(uiLen > 65535 ? 65535 : uiLen);
    QVTFTP_RFC_Pkt stPkt;
    if (QVTFTP_RFC_ParsePkt(pucData, uiLen32, &stPkt) == 0) {
        uint8_t aucOut[1024];
        uint32_t uiOut = 0;
        for (uint32_t uiRoom : {4u, 64u, uint32_t(sizeof(aucOut))}) {
            QVTFTP_RFC_FillRRQPkt(stPkt.stRQ, aucOut, uiRoom, &uiOut);
            if (uiOut > uiRoom) {
                abort();
            }
        }
    }
    QVTFTP_RFC_RQInfo stRQ;
    QVTFTP_RFC_ParseRQPkt(pucData, uiLen32, &stRQ);
    QVTFTP_RFC_Option stOpt;
    QVTFTP_RFC_ParseOackPkt(pucData, uiLen32, &stOpt);
    QVTFTP_RFC_ErrInfo stErr;
    QVTFTP_RFC_ParseErrPkt(pucData, uiLen32, &stErr);
    return 0;
}
