// Log sinks of the network services. Each service logs at its own three levels (2 = LOG,
// 1 = DIG, 0 = DBG) through three (function, module number) pairs that the controller installs
// before the service starts; start-up points all of them at LOG_PrintKind.
#pragma once

#include <cstdarg>

using QV_LogFunc = void (*)(int iModule, const char *pcFormat, ...);

struct QV_LogSink {
    QV_LogFunc pfnLog = nullptr;
    int iModule = 0;
};

// astSink[0] takes level 2 (…_LOG), astSink[1] level 1 (…_DIG), astSink[2] level 0 (…_DBG).
struct QV_LogSinks {
    QV_LogSink astSink[3];
};

// Formats into a 2048-byte buffer (longer text is cut) and hands it to the sink of uiLevel with
// the format "%s". Levels above 2 and levels without an installed sink are dropped.
void QV_LogSinksEmitV(const QV_LogSinks &stSinks, unsigned uiLevel, const char *pcFormat,
                      va_list args);
void QV_LogSinksEmit(const QV_LogSinks &stSinks, unsigned uiLevel, const char *pcFormat, ...)
    __attribute__((format(printf, 3, 4)));
