// One TFTP transfer and the table of running transfers, shared by the multi-port and the
// single-port mode: request handling, block sending, acknowledgements, retransmission, events.
#pragma once

#include <glib.h>
#include <sys/types.h>

#include <cstdint>
#include <vector>

#include "qv_log_sink.h"
#include "qvtftp_rfc.h"

struct event;
struct event_base;

// Event codes of QVTFTP_TransferEvent.
enum : uint32_t {
    QVTFTP_EVENT_REQ_FAILED = 1,  // the request failed before a transfer began
    QVTFTP_EVENT_START = 2,
    QVTFTP_EVENT_PROGRESS = 3,  // an ACK moved the window and the next blocks were sent
    QVTFTP_EVENT_END = 4,       // result 0, QVTFTP_ERR_TIMEOUT or QVTFTP_ERR_FAILED
};

struct QVTFTP_TransferEvent {
    uint32_t uiClientIp;
    uint16_t usClientPort;
    char szFileName[512];
    uint64_t ullFileSize;
    uint64_t ullSent;
    uint32_t uiResult;
    uint32_t uiDirection;     // 1: download
    uint8_t aucConsumer[32];  // the consumer's own data, kept with the transfer
};

// The record belongs to the caller: copy it. Changes to aucConsumer are kept for the next event
// of the same transfer.
using QVTFTP_EventFunc = void (*)(uint32_t uiEvent, QVTFTP_TransferEvent *pstEvent);

void QVTFTP_SetEventFunc(QVTFTP_EventFunc pfnEvent);

struct QVTFTP_Session {
    uint32_t uiClientIp = 0;  // host order
    uint16_t usClientPort = 0;
    char szPeer[32] = {};  // "%u.%u.%u.%u:%u" for log lines
    QVTFTP_RFC_RQInfo stRQ;
    int iSock = -1;                   // per-transfer socket (multi-port) or the service socket
    GAsyncQueue *pstQueue = nullptr;  // single-port: received packets (QVTFTP_PktSlot)
    int iFileFd = -1;                 // the directory file, or the image holding the file
    uint64_t ullFileBase = 0;         // offset of the file's first byte in iFileFd
    event_base *pstBase = nullptr;    // multi-port: this transfer's own loop
    event *pstReadEv = nullptr;       // multi-port: the wait for the client's packets
    uint64_t ullFileSize = 0;
    uint16_t usTimeout = 0;
    uint16_t usBlkSize = 0;
    std::vector<uint8_t> vecBuf;  // DATA packets are built here, file data at offset 4
    uint64_t ullRemaining = 0;    // bytes after the highest block sent
    uint16_t usSends = 0;         // sends of the current window (or OACK)
    uint16_t usWindow = 1;        // blocks sent before waiting for an ACK
    // When the wait for the ACK of what was sent last runs out (monotonic microseconds). Only a
    // send moves it: packets that change nothing, such as a client repeating its last ACK as
    // often as the time-out, must not hold back the retransmission for ever.
    gint64 llDeadline = 0;
    // Blocks counted from 1 without wrap; the wire carries the low 16 bits.
    uint64_t ullAcked = 0;      // the last block acknowledged
    uint64_t ullSentBlk = 0;    // the highest block sent
    uint64_t ullLastBlk = 0;    // the short or empty block that ends the file
    bool bOackPending = false;  // the OACK waits for ACK 0; block 0 alone cannot tell
    uint32_t uiDirection = 0;
    uint8_t aucConsumer[32] = {};
    std::vector<uint8_t> vecOack;  // the OACK as sent, for retransmission
    bool bStarted = false;         // the start event went out ...
    bool bEnded = false;           // ... and so must exactly one end event

    QVTFTP_Session() = default;
    QVTFTP_Session(const QVTFTP_Session &) = delete;
    QVTFTP_Session &operator=(const QVTFTP_Session &) = delete;
    ~QVTFTP_Session();
};

// Received or outgoing datagram with its peer; aucData holds exactly uiLen bytes. A received
// slot of length 0 tells a single-port session to stop.
struct QVTFTP_PktSlot {
    uint32_t uiIp;
    uint16_t usPort;
    uint32_t uiLen;
    uint8_t aucData[];
};

QVTFTP_PktSlot *QVTFTP_SESSION_NewSlot(uint32_t uiIp, uint16_t usPort, const uint8_t *pucData,
                                       uint32_t uiLen);
void QVTFTP_SESSION_FreeSlot(gpointer pvSlot);

// Single-port mode: hands a packet to the listener for sending (the service provides it).
void QVTFTP_SinglePortQueue(QVTFTP_PktSlot *pstSlot);

void QVTFTP_SESSION_InitPeer(QVTFTP_Session *pstSession, uint32_t uiIp, uint16_t usPort);

// Client table keyed by (address, port).
void QVTFTP_SESSION_TableCreate();
void QVTFTP_SESSION_TableDestroy();
bool QVTFTP_SESSION_TableAdd(QVTFTP_Session *pstSession);  // false when the pair is present
void QVTFTP_SESSION_TableRemove(const QVTFTP_Session *pstSession);
bool QVTFTP_SESSION_TableHas(uint32_t uiIp, uint16_t usPort);
// Pushes the slot onto the queue of the pair's session; false (slot not taken) without one.
bool QVTFTP_SESSION_TablePush(QVTFTP_PktSlot *pstSlot);
// Asks every running transfer to end: breaks the multi-port loops, queues a stop slot to the
// single-port sessions.
void QVTFTP_SESSION_TableStopAll();

uint32_t QVTFTP_SESSION_SendCtrlPkt(int iSock, uint32_t uiIp, uint16_t usPort, uint16_t usOpcode,
                                    const QVTFTP_RFC_Pkt &stPkt);
uint32_t QVTFTP_SESSION_SendDataPkt(int iSock, uint32_t uiIp, uint16_t usPort, uint16_t usBlock,
                                    uint32_t uiLen, uint8_t *pucBuf);
void QVTFTP_SESSION_SendErr(const QVTFTP_Session &stSession, uint16_t usCode);

// Raises an event; a second end event of a transfer is dropped.
void QVTFTP_SESSION_RaiseEvent(QVTFTP_Session *pstSession, uint32_t uiEvent, uint32_t uiResult);

// Opens the requested file and sends the OACK or block 1; raises event 1 or 2.
uint32_t QVTFTP_SESSION_ProcRRQPkt(const QVTFTP_RFC_RQInfo &stRQ, QVTFTP_Session *pstSession);

// What the transfer does after an acknowledgement or a wait.
enum class QVTFTP_Step { CONTINUE, DONE };

// An ACK came in. One for a block of the outstanding window acknowledges it and those before
// it: the transfer ends (event 4) when that was the last block, else the window slides to the
// block after it and is sent in full, resending what followed it (event 3). Other ACKs
// (duplicates, blocks not sent) are ignored.
QVTFTP_Step QVTFTP_SESSION_Ack(QVTFTP_Session *pstSession, uint16_t usBlock);
// The wait for an ACK ran out: resend the OACK or the window from the block after the last
// acknowledged one, or end with event 4 and a time-out.
QVTFTP_Step QVTFTP_SESSION_Timeout(QVTFTP_Session *pstSession);

// Microseconds left before the wait for an ACK runs out (0 when it has).
gint64 QVTFTP_SESSION_WaitLeft(const QVTFTP_Session *pstSession);

// One packet from the client, in either mode (lLen < 0: the receive failed): an ACK goes to
// QVTFTP_SESSION_Ack; an option refusal (ERROR 8 or 0) ends the transfer with event 4 and
// QVTFTP_ERR_UNSUPPORTED_OPT; anything else, an unparsable ACK included, is answered with
// ERROR 4 and ends it with event 4 and QVTFTP_ERR_FAILED. The modes differ only in how they
// wait for packets.
QVTFTP_Step QVTFTP_SESSION_OnPacket(QVTFTP_Session *pstSession, const uint8_t *pucData,
                                    ssize_t lLen);

// Multi-port: the per-transfer socket on a port from the transfer-ID range, connected to the
// client; false when none can be set up.
bool QVTFTP_SESSION_OpenSocket(QVTFTP_Session *pstSession, uint16_t *pusPort);
// Multi-port: one wake-up of the transfer's loop.
void QVTFTP_SESSION_ProcReadPkt(int iSock, short sWhat, void *pvSession);
// Single-port: one session on a pool thread; frees it at the end.
void QVTFTP_SESSION_SinglePortProc(gpointer pvSession, gpointer pvUnused);
void QVTFTP_SESSION_SPortReadLoop(QVTFTP_Session *pstSession);
