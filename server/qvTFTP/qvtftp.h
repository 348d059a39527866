// The TFTP service: read-only downloads on a service port, in multi-port mode (one socket and
// event loop per transfer) or single-port mode (everything through the service socket).
#pragma once

#include <glib.h>

#include <cstdint>

#include "qv_log_sink.h"
#include "qvtftp_config.h"
#include "qvtftp_rfc.h"
#include "qvtftp_session.h"

constexpr const char *QVTFTP_VERSION = "1.00.00";

uint32_t QVTFTP_Init();
void QVTFTP_Deinit();
void QVTFTP_SetLogFunc(const QV_LogSinks &stSinks);

uint32_t QVTFTP_Start(GThread **ppstThread);
uint32_t QVTFTP_Stop(GThread *pstThread);
