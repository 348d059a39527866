// The server log: stamped, numbered lines filtered by a global level, collected in memory and
// appended to one file in batches.
#pragma once

#include <string>

// Records one line under a module name when logging is on and the global level is at least
// uiLevel. The message is cut at 8191 bytes.
void LOG_Print(unsigned uiLevel, const char *pcModule, const char *pcFormat, ...)
    __attribute__((format(printf, 3, 4)));

// Records one line under a service category (0..9, see LOG_CategoryName) when it passes the
// level filter. The message is cut at 2047 bytes. Shaped as QV_LogFunc so services use it as
// their sink.
void LOG_PrintKind(int iCategory, const char *pcFormat, ...) __attribute__((format(printf, 2, 3)));

// Appends the pending lines to the log file. A file that cannot be opened keeps them pending.
void LOG_Flush();

void LOG_SetEnabled(bool bEnabled);
bool LOG_IsEnabled();
void LOG_SetLevel(int iLevel);  // 0 Log, 1 Diag, 2 Debug
int LOG_GetLevel();
void LOG_SetFile(const std::string &strPath);
std::string LOG_GetFile();
void LOG_SetCacheCount(unsigned uiCount);
unsigned LOG_GetCacheCount();
unsigned LOG_GetPendingCount();

// Name printed for a category; nullptr outside 0..9.
const char *LOG_CategoryName(int iCategory);

// "<data dir>/log/YYYYMMDD_hhmmss.log" for the current local time: one file per program run.
std::string LOG_DefaultFileName(const std::string &strDataDir);

// Deletes every "*.log" file of "<data dir>/log" but the current log file. Returns the count.
unsigned LOG_DeleteHistory(const std::string &strDataDir);
