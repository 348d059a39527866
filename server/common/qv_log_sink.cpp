#include "qv_log_sink.h"

#include <cstdio>

void QV_LogSinksEmitV(const QV_LogSinks &stSinks, unsigned uiLevel, const char *pcFormat,
                      va_list args)
{
    if (uiLevel > 2) {
        return;
    }
    const QV_LogSink &stSink = stSinks.astSink[2 - uiLevel];
    if (stSink.pfnLog == nullptr) {
        return;
    }
    char szText[2048];
    vsnprintf(szText, sizeof(szText), pcFormat, args);
    stSink.pfnLog(stSink.iModule, "%s", szText);
}

void QV_LogSinksEmit(const QV_LogSinks &stSinks, unsigned uiLevel, const char *pcFormat, ...)
{
    va_list args;
    va_start(args, pcFormat);
    QV_LogSinksEmitV(stSinks, uiLevel, pcFormat, args);
    va_end(args);
}
