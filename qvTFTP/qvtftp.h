// The TFTP service: read-only downloads on a service port, in multi-port mode (one socket and
// event loop per transfer) or single-port mode (everything through the service socket).
#pragma once

#include <glib.h>

#include <cstdint>

#include "qv_log_sink.h"
#include "qvtftp_config.h"
#include "qvtftp_rfc.h"

constexpr const char *QVTFTP_VERSION = "1.00.00";

// Event codes of QVTFTP_TransferEvent.
enum : uint32_t {
    QVTFTP_EVENT_REQ_FAILED = 1,  // the request failed before a transfer began
    QVTFTP_EVENT_START = 2,
    QVTFTP_EVENT_PROGRESS = 3,    // a block was acknowledged and the next one sent
    QVTFTP_EVENT_END = 4,         // result 0, QVTFTP_ERR_TIMEOUT or QVTFTP_ERR_FAILED
};

struct QVTFTP_TransferEvent {
    uint32_t uiClientIp;
    uint16_t usClientPort;
    char szFileName[512];
    uint64_t ullFileSize;
    uint64_t ullSent;
    uint32_t uiResult;
    uint32_t uiDirection;        // 1: download
    uint8_t aucConsumer[32];     // the consumer's own data, kept with the transfer
};

// The record belongs to the caller: copy it. Changes to aucConsumer are kept for the next event
// of the same transfer.
using QVTFTP_EventFunc = void (*)(uint32_t uiEvent, QVTFTP_TransferEvent *pstEvent);

uint32_t QVTFTP_Init();
void QVTFTP_Deinit();
void QVTFTP_SetLogFunc(const QV_LogSinks &stSinks);
void QVTFTP_SetEventFunc(QVTFTP_EventFunc pfnEvent);

uint32_t QVTFTP_Start(GThread **ppstThread);
uint32_t QVTFTP_Stop(GThread *pstThread);

// Single-port mode: hands a packet to the listener for sending.
void QVTFTP_SinglePortQueue(struct QVTFTP_PktSlot *pstSlot);
