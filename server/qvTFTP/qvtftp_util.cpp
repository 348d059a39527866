#include "qvtftp_util.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {
QV_LogSinks g_stSinks;
std::mutex g_mtxSinks;
}  // namespace

void QVTFTP_UTIL_SetSinks(const QV_LogSinks &stSinks)
{
    std::lock_guard<std::mutex> lock(g_mtxSinks);
    g_stSinks = stSinks;
}

QV_LogSinks QVTFTP_UTIL_Sinks()
{
    std::lock_guard<std::mutex> lock(g_mtxSinks);
    return g_stSinks;
}

void QVTFTP_UTIL_Log(unsigned uiLevel, const char *pcFormat, ...)
{
    const QV_LogSinks stSinks = QVTFTP_UTIL_Sinks();
    va_list args;
    va_start(args, pcFormat);
    QV_LogSinksEmitV(stSinks, uiLevel, pcFormat, args);
    va_end(args);
}

void QVTFTP_UTIL_AssertFail(const char *pcFile, int iLine, const char *pcFunc, const char *pcExpr)
{
    fprintf(stderr, "%s:%d %s: assertion failed: %s\n", pcFile, iLine, pcFunc, pcExpr);
    abort();
}
