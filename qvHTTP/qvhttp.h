// The HTTP service: a listener thread accepts connections and hands each to a pool thread, which
// answers GET and HEAD requests from the roots (files, byte ranges, files inside ISO images,
// virtual ISOs, listings) and reports every request through the event callback.
#pragma once

#include <cstdint>

#include <glib.h>

#include "qv_log_sink.h"
#include "qvhttp_config.h"
#include "qvhttp_util.h"

enum : uint32_t {
    QVHTTP_EVT_START = 1,    // a plain download was accepted
    QVHTTP_EVT_PROGRESS = 2, // one piece of a download above 5 MiB was sent
    QVHTTP_EVT_END = 3,      // the request was answered (status 200, 404 or 405)
};

struct QVHTTP_RequestEvent {
    uint32_t uiCode;
    uint32_t uiClientIp; // host order
    uint32_t uiClientPort;
    uint64_t ullTotalLen;
    uint64_t ullRemainLen;
    uint32_t uiStatus;
    char szURI[512];     // decoded URI, "%s [%lld-%lld]" once a range was read
    char szRequest[512]; // request line before " HTTP/", decoded
};

// Runs on connection threads: it must copy the event and return quickly.
using QVHTTP_EventFunc = void (*)(const QVHTTP_RequestEvent *pstEvent);

// Version text of the module, shown in its start and stop lines.
constexpr const char *QVHTTP_VERSION = "1.00.00";

// Once at program start: event-library threading, regular expressions, settings defaults.
uint32_t QVHTTP_Init();
void QVHTTP_SetLogFunc(const QV_LogSinks &stSinks);
void QVHTTP_SetEventFunc(QVHTTP_EventFunc pfnEvent);

// Binds the service socket and starts the listener thread "QVHTTP".
uint32_t QVHTTP_Start(GThread **ppThread);
// Closes the listener and every connection and waits for them.
uint32_t QVHTTP_Stop(GThread *pThread);

// Raises an event through the installed callback, if any.
void QVHTTP_RaiseEvent(const QVHTTP_RequestEvent &stEvent);
