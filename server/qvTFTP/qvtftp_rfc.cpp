#include "qvtftp_rfc.h"

#include <glib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "qvtftp_util.h"

namespace {

constexpr uint32_t OPT_TEXT_MAX = 511;

uint16_t GetU16(const uint8_t *pucAt)
{
    return static_cast<uint16_t>((pucAt[0] << 8) | pucAt[1]);
}

void PutU16(uint8_t *pucAt, uint16_t usValue)
{
    pucAt[0] = static_cast<uint8_t>(usValue >> 8);
    pucAt[1] = static_cast<uint8_t>(usValue & 0xFF);
}

// Reads the NUL-terminated text that starts at *puiPos and ends before uiLen, copies it cut to
// uiRoom - 1 characters and moves *puiPos past its NUL. False when the NUL is missing.
bool TakeText(const uint8_t *pucPkt, uint32_t uiLen, uint32_t *puiPos, char *pcOut, uint32_t uiRoom)
{
    const uint32_t uiStart = *puiPos;
    if (uiStart >= uiLen) {
        return false;
    }
    const void *pvNul = memchr(pucPkt + uiStart, '\0', uiLen - uiStart);
    if (pvNul == nullptr) {
        return false;
    }
    const uint32_t uiTextLen =
        static_cast<uint32_t>(static_cast<const uint8_t *>(pvNul) - pucPkt) - uiStart;
    const uint32_t uiCopy = std::min(uiTextLen, uiRoom - 1);
    memcpy(pcOut, pucPkt + uiStart, uiCopy);
    pcOut[uiCopy] = '\0';
    *puiPos = uiStart + uiTextLen + 1;
    return true;
}

bool IsValidMode(const char *pcMode)
{
    return g_ascii_strcasecmp(pcMode, "netascii") == 0 ||
           g_ascii_strcasecmp(pcMode, "octet") == 0 || g_ascii_strcasecmp(pcMode, "mail") == 0;
}

bool IsDecimal(const char *pcValue)
{
    if (*pcValue == '\0') {
        return false;
    }
    for (; *pcValue != '\0'; ++pcValue) {
        if (!g_ascii_isdigit(*pcValue)) {
            return false;
        }
    }
    return true;
}

// Log value of a number read from an option, cut so that "%u" shows something meaningful.
unsigned LogValue(guint64 ullValue)
{
    return ullValue > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<unsigned>(ullValue);
}

// Appends one "name NUL value NUL" pair if it fits in full.
uint32_t AppendPair(uint8_t *pucBuf, uint32_t uiRoom, uint32_t uiUsed, const char *pcName,
                    const char *pcValue)
{
    const size_t uiName = strlen(pcName);
    const size_t uiValue = strlen(pcValue);
    const size_t uiPair = uiName + 1 + uiValue + 1;
    if (uiUsed + uiPair > uiRoom) {
        return uiUsed;
    }
    memcpy(pucBuf + uiUsed, pcName, uiName + 1);
    memcpy(pucBuf + uiUsed + uiName + 1, pcValue, uiValue + 1);
    return static_cast<uint32_t>(uiUsed + uiPair);
}

}  // namespace

bool QVTFTP_RFC_HasOption(const QVTFTP_RFC_Option &stOpt)
{
    return stOpt.llTsize >= 0 || stOpt.usTimeout != 0 || stOpt.usBlkSize != 0 ||
           stOpt.usWindowSize != 0;
}

uint32_t QVTFTP_RFC_ParseOpt(const char *pcName, const char *pcValue, QVTFTP_RFC_Option *pstOpt)
{
    QVTFTP_ASSERT(0 != pcName && 0 != pcValue && 0 != pstOpt);
    if (g_ascii_strcasecmp(pcName, "blksize") == 0) {
        const guint64 ullValue = g_ascii_strtoull(pcValue, nullptr, 10);
        if (ullValue < QVTFTP_RFC_MIN_BLKSIZE || ullValue > QVTFTP_RFC_MAX_BLKSIZE) {
            QVTFTP_UTIL_Log(QVTFTP_DIG, "Invalid blksize value %u", LogValue(ullValue));
            return QVTFTP_ERR_OPT_VALUE;
        }
        pstOpt->usBlkSize = static_cast<uint16_t>(ullValue);
    } else if (g_ascii_strcasecmp(pcName, "tsize") == 0) {
        pstOpt->llTsize = g_ascii_strtoll(pcValue, nullptr, 10);
    } else if (g_ascii_strcasecmp(pcName, "timeout") == 0) {
        const guint64 ullValue = g_ascii_strtoull(pcValue, nullptr, 10);
        if (ullValue < 1 || ullValue > 255) {
            QVTFTP_UTIL_Log(QVTFTP_DIG, "Invalid timeout value %u", LogValue(ullValue));
            return QVTFTP_ERR_OPT_VALUE;
        }
        pstOpt->usTimeout = static_cast<uint16_t>(ullValue);
    } else if (g_ascii_strcasecmp(pcName, "windowsize") == 0) {
        // A window the sender cannot use is no reason to refuse the file: the option is left out
        // and the transfer runs lock-step.
        if (!IsDecimal(pcValue) || g_ascii_strtoull(pcValue, nullptr, 10) < 1) {
            QVTFTP_UTIL_Log(QVTFTP_DBG, "Ignored windowsize value %s", pcValue);
            return QVTFTP_ERR_UNSUPPORTED_OPT;
        }
        pstOpt->usWindowSize = static_cast<uint16_t>(
            std::min<guint64>(g_ascii_strtoull(pcValue, nullptr, 10), QVTFTP_RFC_MAX_WINDOWSIZE));
    } else {
        QVTFTP_UTIL_Log(QVTFTP_DBG, "Unsupported tftp option %s %s", pcName, pcValue);
        return QVTFTP_ERR_UNSUPPORTED_OPT;
    }
    QVTFTP_UTIL_Log(QVTFTP_DBG, "Parse tftp option(%s,%s)", pcName, pcValue);
    return 0;
}

uint32_t QVTFTP_RFC_ParseRQPkt(const uint8_t *pucPkt, uint32_t uiLen, QVTFTP_RFC_RQInfo *pstRQ)
{
    if (pucPkt == nullptr || pstRQ == nullptr) {
        return QVTFTP_ERR_PARAM;
    }
    if (uiLen > QVTFTP_RFC_MAX_RQ_LEN) {
        QVTFTP_UTIL_Log(QVTFTP_DIG, "RQ Pkt too long %u.", uiLen);
        return QVTFTP_ERR_RQ_TOO_LONG;
    }
    pstRQ->stOpt = QVTFTP_RFC_Option{};
    uint32_t uiPos = 2;
    if (!TakeText(pucPkt, uiLen, &uiPos, pstRQ->szFileName, sizeof(pstRQ->szFileName)) ||
        !TakeText(pucPkt, uiLen, &uiPos, pstRQ->szMode, sizeof(pstRQ->szMode))) {
        QVTFTP_UTIL_Log(QVTFTP_DIG, "Malformed tftp request, len %u.", uiLen);
        return QVTFTP_ERR_FAILED;
    }
    if (!IsValidMode(pstRQ->szMode)) {
        QVTFTP_UTIL_Log(QVTFTP_DIG, "invalid transfer mode %s", pstRQ->szMode);
        return QVTFTP_ERR_MODE;
    }
    if (uiLen - uiPos < 3) {
        return 0;
    }
    char szName[OPT_TEXT_MAX + 1];
    char szValue[OPT_TEXT_MAX + 1];
    while (uiPos + 2 < uiLen) {
        if (!TakeText(pucPkt, uiLen, &uiPos, szName, sizeof(szName))) {
            QVTFTP_UTIL_Log(QVTFTP_DIG, "Malformed tftp request, len %u.", uiLen);
            return QVTFTP_ERR_FAILED;
        }
        if (szName[0] == '\0') {
            break;
        }
        if (!TakeText(pucPkt, uiLen, &uiPos, szValue, sizeof(szValue))) {
            QVTFTP_UTIL_Log(QVTFTP_DIG, "Option %s without value.", szName);
            return QVTFTP_ERR_FAILED;
        }
        const uint32_t uiRet = QVTFTP_RFC_ParseOpt(szName, szValue, &pstRQ->stOpt);
        if (uiRet != 0 && uiRet != QVTFTP_ERR_UNSUPPORTED_OPT) {
            QVTFTP_UTIL_Log(QVTFTP_DIG, "Failed to parse opt %s %s", szName, szValue);
            return uiRet;
        }
    }
    return 0;
}

uint32_t QVTFTP_RFC_ParseDataPkt(const uint8_t *pucPkt, uint32_t uiLen,
                                 QVTFTP_RFC_DataInfo *pstData)
{
    if (pucPkt == nullptr || pstData == nullptr) {
        return QVTFTP_ERR_PARAM;
    }
    if (uiLen < 4) {
        return QVTFTP_ERR_FAILED;
    }
    pstData->usBlock = GetU16(pucPkt + 2);
    pstData->uiDataLen = uiLen - 4;
    pstData->pucData = pucPkt + 4;
    return 0;
}

uint32_t QVTFTP_RFC_ParseAckPkt(const uint8_t *pucPkt, uint32_t uiLen, QVTFTP_RFC_AckInfo *pstAck)
{
    if (pucPkt == nullptr || pstAck == nullptr) {
        return QVTFTP_ERR_PARAM;
    }
    if (uiLen < 4) {
        return QVTFTP_ERR_FAILED;
    }
    pstAck->usBlock = GetU16(pucPkt + 2);
    return 0;
}

uint32_t QVTFTP_RFC_ParseErrPkt(const uint8_t *pucPkt, uint32_t uiLen, QVTFTP_RFC_ErrInfo *pstErr)
{
    if (pucPkt == nullptr || pstErr == nullptr) {
        return QVTFTP_ERR_PARAM;
    }
    if (uiLen < 4) {
        return QVTFTP_ERR_FAILED;
    }
    pstErr->usCode = GetU16(pucPkt + 2);
    if (pstErr->usCode > QVTFTP_RFC_ERR_OPTION) {
        QVTFTP_UTIL_Log(QVTFTP_DBG, "Invalid error code %u", pstErr->usCode);
    }
    uint32_t uiMsg = 0;
    for (uint32_t uiPos = 4; uiPos < uiLen && uiMsg + 1 < sizeof(pstErr->szMsg); ++uiPos) {
        const char cChar = static_cast<char>(pucPkt[uiPos]);
        if (cChar == '\0' || g_ascii_isspace(cChar)) {
            break;
        }
        pstErr->szMsg[uiMsg++] = cChar;
    }
    pstErr->szMsg[uiMsg] = '\0';
    return 0;
}

uint32_t QVTFTP_RFC_ParseOackPkt(const uint8_t *pucPkt, uint32_t uiLen, QVTFTP_RFC_Option *pstOpt)
{
    if (pucPkt == nullptr || pstOpt == nullptr) {
        return QVTFTP_ERR_PARAM;
    }
    *pstOpt = QVTFTP_RFC_Option{};
    char szName[OPT_TEXT_MAX + 1];
    char szValue[OPT_TEXT_MAX + 1];
    uint32_t uiPos = 2;
    while (uiPos < uiLen) {
        if (!TakeText(pucPkt, uiLen, &uiPos, szName, sizeof(szName)) || szName[0] == '\0') {
            break;
        }
        if (!TakeText(pucPkt, uiLen, &uiPos, szValue, sizeof(szValue))) {
            QVTFTP_UTIL_Log(QVTFTP_DIG, "Option %s without value.", szName);
            return QVTFTP_ERR_FAILED;
        }
        const uint32_t uiRet = QVTFTP_RFC_ParseOpt(szName, szValue, pstOpt);
        if (uiRet == QVTFTP_ERR_OPT_VALUE) {
            QVTFTP_UTIL_Log(QVTFTP_DIG, "Failed to parse opt %s %s", szName, szValue);
            return uiRet;
        }
    }
    return 0;
}

uint32_t QVTFTP_RFC_ParsePkt(const uint8_t *pucPkt, uint32_t uiLen, QVTFTP_RFC_Pkt *pstPkt)
{
    if (pucPkt == nullptr || pstPkt == nullptr) {
        return QVTFTP_ERR_PARAM;
    }
    if (uiLen < 2) {
        return QVTFTP_ERR_OPCODE;
    }
    pstPkt->usOpcode = GetU16(pucPkt);
    switch (pstPkt->usOpcode) {
    case QVTFTP_RFC_OPCODE_RRQ:
    case QVTFTP_RFC_OPCODE_WRQ:
        return QVTFTP_RFC_ParseRQPkt(pucPkt, uiLen, &pstPkt->stRQ);
    case QVTFTP_RFC_OPCODE_DATA:
        return QVTFTP_RFC_ParseDataPkt(pucPkt, uiLen, &pstPkt->stData);
    case QVTFTP_RFC_OPCODE_ACK:
        return QVTFTP_RFC_ParseAckPkt(pucPkt, uiLen, &pstPkt->stAck);
    case QVTFTP_RFC_OPCODE_ERROR:
        return QVTFTP_RFC_ParseErrPkt(pucPkt, uiLen, &pstPkt->stErr);
    case QVTFTP_RFC_OPCODE_OACK:
        return QVTFTP_RFC_ParseOackPkt(pucPkt, uiLen, &pstPkt->stOack);
    default:
        return QVTFTP_ERR_OPCODE;
    }
}

uint32_t QVTFTP_RFC_FillOption(const QVTFTP_RFC_Option &stOpt, uint32_t uiRoom, uint8_t *pucBuf)
{
    QVTFTP_ASSERT(0 != pucBuf);
    char szValue[32];
    uint32_t uiUsed = 0;
    if (stOpt.usTimeout != 0) {
        g_snprintf(szValue, sizeof(szValue), "%u", stOpt.usTimeout);
        uiUsed = AppendPair(pucBuf, uiRoom, uiUsed, "timeout", szValue);
    }
    if (stOpt.usBlkSize != 0) {
        g_snprintf(szValue, sizeof(szValue), "%u", stOpt.usBlkSize);
        uiUsed = AppendPair(pucBuf, uiRoom, uiUsed, "blksize", szValue);
    }
    if (stOpt.llTsize >= 0) {
        g_snprintf(szValue, sizeof(szValue), "%lld", static_cast<long long>(stOpt.llTsize));
        uiUsed = AppendPair(pucBuf, uiRoom, uiUsed, "tsize", szValue);
    }
    if (stOpt.usWindowSize != 0) {
        g_snprintf(szValue, sizeof(szValue), "%u", stOpt.usWindowSize);
        uiUsed = AppendPair(pucBuf, uiRoom, uiUsed, "windowsize", szValue);
    }
    return uiUsed;
}

namespace {

void FillRequest(uint16_t usOpcode, const QVTFTP_RFC_RQInfo &stRQ, uint8_t *pucBuf, uint32_t uiRoom,
                 uint32_t *puiLen)
{
    const uint32_t uiLimit = std::min(uiRoom, QVTFTP_RFC_MAX_RQ_LEN);
    QVTFTP_ASSERT(0 != pucBuf && 0 != puiLen && uiLimit >= 4);
    PutU16(pucBuf, usOpcode);
    uint32_t uiUsed = AppendPair(pucBuf + 2, uiLimit - 2, 0, stRQ.szFileName, stRQ.szMode);
    uiUsed += QVTFTP_RFC_FillOption(stRQ.stOpt, uiLimit - 2 - uiUsed, pucBuf + 2 + uiUsed);
    *puiLen = 2 + uiUsed;
}

}  // namespace

void QVTFTP_RFC_FillRRQPkt(const QVTFTP_RFC_RQInfo &stRQ, uint8_t *pucBuf, uint32_t uiRoom,
                           uint32_t *puiLen)
{
    FillRequest(QVTFTP_RFC_OPCODE_RRQ, stRQ, pucBuf, uiRoom, puiLen);
}

void QVTFTP_RFC_FillWRQPkt(const QVTFTP_RFC_RQInfo &stRQ, uint8_t *pucBuf, uint32_t uiRoom,
                           uint32_t *puiLen)
{
    FillRequest(QVTFTP_RFC_OPCODE_WRQ, stRQ, pucBuf, uiRoom, puiLen);
}

void QVTFTP_RFC_FillDataPkt(const QVTFTP_RFC_DataInfo &stData, uint8_t *pucBuf, uint32_t uiRoom,
                            uint32_t *puiLen)
{
    QVTFTP_ASSERT(0 != pucBuf && 0 != puiLen && uiRoom >= 4 && stData.uiDataLen <= uiRoom - 4);
    PutU16(pucBuf, QVTFTP_RFC_OPCODE_DATA);
    PutU16(pucBuf + 2, stData.usBlock);
    // The session reads file data straight to offset 4; only foreign data is copied.
    if (stData.uiDataLen != 0 && stData.pucData != pucBuf + 4) {
        memmove(pucBuf + 4, stData.pucData, stData.uiDataLen);
    }
    *puiLen = 4 + stData.uiDataLen;
}

void QVTFTP_RFC_FillAckPkt(const QVTFTP_RFC_AckInfo &stAck, uint8_t *pucBuf, uint32_t uiRoom,
                           uint32_t *puiLen)
{
    QVTFTP_ASSERT(0 != pucBuf && 0 != puiLen && uiRoom >= 4);
    PutU16(pucBuf, QVTFTP_RFC_OPCODE_ACK);
    PutU16(pucBuf + 2, stAck.usBlock);
    *puiLen = 4;
}

void QVTFTP_RFC_FillErrPkt(const QVTFTP_RFC_ErrInfo &stErr, uint8_t *pucBuf, uint32_t uiRoom,
                           uint32_t *puiLen)
{
    QVTFTP_ASSERT(0 != pucBuf && 0 != puiLen && uiRoom >= 5);
    PutU16(pucBuf, QVTFTP_RFC_OPCODE_ERROR);
    PutU16(pucBuf + 2, stErr.usCode);
    const size_t uiMsg = std::min(strnlen(stErr.szMsg, sizeof(stErr.szMsg)), size_t{uiRoom - 5});
    memcpy(pucBuf + 4, stErr.szMsg, uiMsg);
    pucBuf[4 + uiMsg] = '\0';
    *puiLen = static_cast<uint32_t>(5 + uiMsg);
}

void QVTFTP_RFC_FillOackPkt(const QVTFTP_RFC_Option &stOpt, uint8_t *pucBuf, uint32_t uiRoom,
                            uint32_t *puiLen)
{
    const uint32_t uiLimit = std::min(uiRoom, QVTFTP_RFC_MAX_RQ_LEN);
    QVTFTP_ASSERT(0 != pucBuf && 0 != puiLen && uiLimit >= 2);
    PutU16(pucBuf, QVTFTP_RFC_OPCODE_OACK);
    *puiLen = 2 + QVTFTP_RFC_FillOption(stOpt, uiLimit - 2, pucBuf + 2);
}

void QVTFTP_RFC_FillPkt(uint16_t usOpcode, const QVTFTP_RFC_Pkt &stPkt, uint8_t *pucBuf,
                        uint32_t uiRoom, uint32_t *puiLen)
{
    switch (usOpcode) {
    case QVTFTP_RFC_OPCODE_RRQ:
        return QVTFTP_RFC_FillRRQPkt(stPkt.stRQ, pucBuf, uiRoom, puiLen);
    case QVTFTP_RFC_OPCODE_WRQ:
        return QVTFTP_RFC_FillWRQPkt(stPkt.stRQ, pucBuf, uiRoom, puiLen);
    case QVTFTP_RFC_OPCODE_DATA:
        return QVTFTP_RFC_FillDataPkt(stPkt.stData, pucBuf, uiRoom, puiLen);
    case QVTFTP_RFC_OPCODE_ACK:
        return QVTFTP_RFC_FillAckPkt(stPkt.stAck, pucBuf, uiRoom, puiLen);
    case QVTFTP_RFC_OPCODE_ERROR:
        return QVTFTP_RFC_FillErrPkt(stPkt.stErr, pucBuf, uiRoom, puiLen);
    case QVTFTP_RFC_OPCODE_OACK:
        return QVTFTP_RFC_FillOackPkt(stPkt.stOack, pucBuf, uiRoom, puiLen);
    default:
        QVTFTP_ASSERT(usOpcode >= QVTFTP_RFC_OPCODE_RRQ && usOpcode < QVTFTP_RFC_OPCODE_BUTT);
    }
}

const char *QVTFTP_RFC_GetErrMsg(uint16_t usCode)
{
    static const char *const s_apcMsg[] = {
        "Not defined, see error message",
        "File not found",
        "Access violation",
        "Disk full or allocation exceeded",
        "Illegal TFTP operation",
        "Unknown transfer ID",
        "File already exists",
        "No such user",
        "Transfer should be terminated due to option negotiation",
    };
    QVTFTP_ASSERT(usCode <= QVTFTP_RFC_ERR_OPTION);
    return s_apcMsg[usCode];
}
