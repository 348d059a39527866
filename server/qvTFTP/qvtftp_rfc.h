// TFTP packet codec: the six packet kinds with blksize, tsize, timeout and windowsize
// negotiation. Holds no state; the sessions call it.
#pragma once

#include <cstdint>

enum : uint16_t {
    QVTFTP_RFC_OPCODE_RRQ = 1,
    QVTFTP_RFC_OPCODE_WRQ = 2,
    QVTFTP_RFC_OPCODE_DATA = 3,
    QVTFTP_RFC_OPCODE_ACK = 4,
    QVTFTP_RFC_OPCODE_ERROR = 5,
    QVTFTP_RFC_OPCODE_OACK = 6,
    QVTFTP_RFC_OPCODE_BUTT = 7,
};

// Result codes of the whole TFTP module; 0 is success.
enum : uint32_t {
    QVTFTP_ERR_FAILED = 0x2001,
    QVTFTP_ERR_PARAM = 0x2002,
    QVTFTP_ERR_NOMEM = 0x2003,
    QVTFTP_ERR_OPEN = 0x2004,
    QVTFTP_ERR_EXIST = 0x2007,
    QVTFTP_ERR_TIMEOUT = 0x2008,
    QVTFTP_ERR_NO_SLOT = 0x2009,
    QVTFTP_ERR_RQ_TOO_LONG = 0x200A,
    QVTFTP_ERR_OPCODE = 0x200B,
    QVTFTP_ERR_MODE = 0x200C,
    QVTFTP_ERR_UNSUPPORTED_OPT = 0x200D,
    QVTFTP_ERR_OPT_VALUE = 0x200E,
    QVTFTP_ERR_PORT_IN_USE = 0x200F,
};

// TFTP error codes carried in ERROR packets.
enum : uint16_t {
    QVTFTP_RFC_ERR_UNDEF = 0,
    QVTFTP_RFC_ERR_NOT_FOUND = 1,
    QVTFTP_RFC_ERR_ACCESS = 2,
    QVTFTP_RFC_ERR_DISK_FULL = 3,
    QVTFTP_RFC_ERR_ILLEGAL_OP = 4,
    QVTFTP_RFC_ERR_UNKNOWN_TID = 5,
    QVTFTP_RFC_ERR_FILE_EXISTS = 6,
    QVTFTP_RFC_ERR_NO_USER = 7,
    QVTFTP_RFC_ERR_OPTION = 8,
};

constexpr uint32_t QVTFTP_RFC_MAX_RQ_LEN = 512;
constexpr uint16_t QVTFTP_RFC_MIN_BLKSIZE = 8;
constexpr uint16_t QVTFTP_RFC_MAX_BLKSIZE = 65464;
// A larger window asked for is cut to this many blocks in flight.
constexpr uint16_t QVTFTP_RFC_MAX_WINDOWSIZE = 64;

struct QVTFTP_RFC_Option {
    int64_t llTsize = -1;       // -1: absent
    uint16_t usTimeout = 0;     // 0: absent
    uint16_t usBlkSize = 0;     // 0: absent
    uint16_t usWindowSize = 0;  // 0: absent; else 1..QVTFTP_RFC_MAX_WINDOWSIZE
};

bool QVTFTP_RFC_HasOption(const QVTFTP_RFC_Option &stOpt);

struct QVTFTP_RFC_RQInfo {
    char szFileName[256] = {};
    char szMode[16] = {};
    QVTFTP_RFC_Option stOpt;
};

struct QVTFTP_RFC_DataInfo {
    uint16_t usBlock = 0;
    uint32_t uiDataLen = 0;
    const uint8_t *pucData = nullptr;  // points into the parsed datagram
};

struct QVTFTP_RFC_AckInfo {
    uint16_t usBlock = 0;
};

struct QVTFTP_RFC_ErrInfo {
    uint16_t usCode = 0;
    char szMsg[512] = {};
};

// One packet of any kind; the member that matches usOpcode is the one in use.
struct QVTFTP_RFC_Pkt {
    uint16_t usOpcode = 0;
    QVTFTP_RFC_RQInfo stRQ;
    QVTFTP_RFC_DataInfo stData;
    QVTFTP_RFC_AckInfo stAck;
    QVTFTP_RFC_ErrInfo stErr;
    QVTFTP_RFC_Option stOack;
};

uint32_t QVTFTP_RFC_ParsePkt(const uint8_t *pucPkt, uint32_t uiLen, QVTFTP_RFC_Pkt *pstPkt);
uint32_t QVTFTP_RFC_ParseRQPkt(const uint8_t *pucPkt, uint32_t uiLen, QVTFTP_RFC_RQInfo *pstRQ);
uint32_t QVTFTP_RFC_ParseDataPkt(const uint8_t *pucPkt, uint32_t uiLen,
                                 QVTFTP_RFC_DataInfo *pstData);
uint32_t QVTFTP_RFC_ParseAckPkt(const uint8_t *pucPkt, uint32_t uiLen, QVTFTP_RFC_AckInfo *pstAck);
uint32_t QVTFTP_RFC_ParseErrPkt(const uint8_t *pucPkt, uint32_t uiLen, QVTFTP_RFC_ErrInfo *pstErr);
uint32_t QVTFTP_RFC_ParseOackPkt(const uint8_t *pucPkt, uint32_t uiLen, QVTFTP_RFC_Option *pstOpt);
uint32_t QVTFTP_RFC_ParseOpt(const char *pcName, const char *pcValue, QVTFTP_RFC_Option *pstOpt);

// Builders write at most uiRoom bytes into pucBuf and set *puiLen to the packet length. A DATA
// packet needs room for 4 + data length bytes.
void QVTFTP_RFC_FillPkt(uint16_t usOpcode, const QVTFTP_RFC_Pkt &stPkt, uint8_t *pucBuf,
                        uint32_t uiRoom, uint32_t *puiLen);
void QVTFTP_RFC_FillRRQPkt(const QVTFTP_RFC_RQInfo &stRQ, uint8_t *pucBuf, uint32_t uiRoom,
                           uint32_t *puiLen);
void QVTFTP_RFC_FillWRQPkt(const QVTFTP_RFC_RQInfo &stRQ, uint8_t *pucBuf, uint32_t uiRoom,
                           uint32_t *puiLen);
void QVTFTP_RFC_FillDataPkt(const QVTFTP_RFC_DataInfo &stData, uint8_t *pucBuf, uint32_t uiRoom,
                            uint32_t *puiLen);
void QVTFTP_RFC_FillAckPkt(const QVTFTP_RFC_AckInfo &stAck, uint8_t *pucBuf, uint32_t uiRoom,
                           uint32_t *puiLen);
void QVTFTP_RFC_FillErrPkt(const QVTFTP_RFC_ErrInfo &stErr, uint8_t *pucBuf, uint32_t uiRoom,
                           uint32_t *puiLen);
void QVTFTP_RFC_FillOackPkt(const QVTFTP_RFC_Option &stOpt, uint8_t *pucBuf, uint32_t uiRoom,
                            uint32_t *puiLen);
// Appends timeout, blksize, tsize and windowsize pairs (each only when present) within uiRoom
// bytes; returns the number of bytes written.
uint32_t QVTFTP_RFC_FillOption(const QVTFTP_RFC_Option &stOpt, uint32_t uiRoom, uint8_t *pucBuf);

const char *QVTFTP_RFC_GetErrMsg(uint16_t usCode);
