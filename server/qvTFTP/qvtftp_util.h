// Logging and assertions shared by the TFTP module's source files.
#pragma once

#include <cstdarg>

#include "qv_log_sink.h"

// Internal levels: 2 goes to TFTP_LOG, 1 to TFTP_DIG, 0 to TFTP_DBG.
enum : unsigned {
    QVTFTP_LOG = 2,
    QVTFTP_DIG = 1,
    QVTFTP_DBG = 0,
};

void QVTFTP_UTIL_SetSinks(const QV_LogSinks &stSinks);
// A copy of the installed sinks, for shared code that logs on the module's behalf.
QV_LogSinks QVTFTP_UTIL_Sinks();
void QVTFTP_UTIL_Log(unsigned uiLevel, const char *pcFormat, ...)
    __attribute__((format(printf, 2, 3)));

[[noreturn]] void QVTFTP_UTIL_AssertFail(const char *pcFile, int iLine, const char *pcFunc,
                                         const char *pcExpr);

// A missing mandatory argument is a programming error: stop and name where it happened. Unlike
// assert() this stays active in release builds.
#define QVTFTP_ASSERT(expr)                                                                        \
    do {                                                                                           \
        if (!(expr)) {                                                                             \
            QVTFTP_UTIL_AssertFail(__FILE__, __LINE__, __func__, #expr);                           \
        }                                                                                          \
    } while (0)
