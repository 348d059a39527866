// The HTTP service: a listener thread accepts connections and hands each to a pool thread, which
// answers GET and HEAD requests from the roots (files, byte ranges, files inside ISO images,
// virtual ISOs, listings) and reports every request through the event callback.
#pragma once

#include <cstdint>

#include <glib.h>

#include "qv_log_sink.h"
#include "qvhttp_config.h"
#include "qvhttp_util.h"

// Version text of the module, shown in its start and stop lines.
constexpr const char *QVHTTP_VERSION = "1.00.00";

// Once at program start: event-library threading, regular expressions, settings defaults.
uint32_t QVHTTP_Init();
void QVHTTP_SetLogFunc(const QV_LogSinks &stSinks);

// Once at program exit: forgets the roots and the virtual ISO registrations.
void QVHTTP_Deinit();

// Binds the service socket and starts the listener thread "QVHTTP".
uint32_t QVHTTP_Start(GThread **ppThread);
// Closes the listener and every connection and waits for them.
uint32_t QVHTTP_Stop(GThread *pThread);
