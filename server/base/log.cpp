#include "log.h"

#include <glib.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <vector>

#include "qv_text.h"

namespace {

// Enabled and level are read without the lock: a change applies to lines that start after it.
std::atomic<bool> g_bLogEnabled{true};
std::atomic<int> g_iLogLevel{1};

// Guards everything below. Re-entrant because a line that reaches the cache count flushes while
// the lock is held.
std::recursive_mutex g_mtxLog;
unsigned g_uiCacheCount = 10;
std::string g_strLogFile;
unsigned g_uiLineCounter = 0;
std::vector<std::string> g_vecPending;

const char *const g_apcCategoryName[] = {"",         "DHCP_LOG", "DHCP_DIG", "DHCP_DBG",
                                         "TFTP_LOG", "TFTP_DIG", "TFTP_DBG", "HTTP_LOG",
                                         "HTTP_DIG", "HTTP_DBG"};
constexpr int CATEGORY_COUNT = sizeof(g_apcCategoryName) / sizeof(g_apcCategoryName[0]);

bool CategoryPasses(int iCategory, int iLevel)
{
    if (iLevel == 0) {
        return iCategory == 1 || iCategory == 4 || iCategory == 7;
    }
    if (iLevel == 1) {
        return iCategory != 3 && iCategory != 6 && iCategory != 9;
    }
    return true;
}

struct LocalStamp {
    tm stTm;
    int iMillis;
};

LocalStamp Now()
{
    gint64 lMicros = g_get_real_time();
    time_t lSeconds = static_cast<time_t>(lMicros / G_USEC_PER_SEC);
    LocalStamp stStamp{};
    localtime_r(&lSeconds, &stStamp.stTm);
    stStamp.iMillis = static_cast<int>((lMicros % G_USEC_PER_SEC) / 1000);
    return stStamp;
}

// Formats the message into a buffer of uiSize bytes (longer text is cut) and records the line.
template <size_t uiSize>
void RecordV(const char *pcName, const char *pcFormat, va_list args)
{
    char szMessage[uiSize];
    vsnprintf(szMessage, sizeof(szMessage), pcFormat, args);
    // Messages quote what clients sent: one log line stays one line, whatever they sent.
    LocalStamp stNow = Now();
    std::lock_guard<std::recursive_mutex> stLock(g_mtxLog);
    gchar *pcLine =
        g_strdup_printf("%%%-3u %04d/%02d/%02d %02d:%02d:%02d.%03d [%s] %s \n", g_uiLineCounter++,
                        stNow.stTm.tm_year + 1900, stNow.stTm.tm_mon + 1, stNow.stTm.tm_mday,
                        stNow.stTm.tm_hour, stNow.stTm.tm_min, stNow.stTm.tm_sec, stNow.iMillis,
                        pcName, QV_Printable(szMessage).c_str());
    g_vecPending.emplace_back(pcLine);
    g_free(pcLine);
    if (g_vecPending.size() >= g_uiCacheCount) {
        LOG_Flush();
    }
}

}  // namespace

void LOG_Print(unsigned uiLevel, const char *pcModule, const char *pcFormat, ...)
{
    if (!g_bLogEnabled.load() || static_cast<unsigned>(g_iLogLevel.load()) < uiLevel) {
        return;
    }
    va_list args;
    va_start(args, pcFormat);
    RecordV<8192>(pcModule != nullptr ? pcModule : "", pcFormat, args);
    va_end(args);
}

void LOG_PrintKind(int iCategory, const char *pcFormat, ...)
{
    if (!g_bLogEnabled.load() || iCategory < 0 || iCategory >= CATEGORY_COUNT ||
        !CategoryPasses(iCategory, g_iLogLevel.load())) {
        return;
    }
    va_list args;
    va_start(args, pcFormat);
    RecordV<2048>(g_apcCategoryName[iCategory], pcFormat, args);
    va_end(args);
}

void LOG_Flush()
{
    if (!g_bLogEnabled.load()) {
        return;
    }
    std::lock_guard<std::recursive_mutex> stLock(g_mtxLog);
    if (g_vecPending.empty() || g_strLogFile.empty()) {
        return;
    }
    FILE *pstFile = fopen(g_strLogFile.c_str(), "ab");
    if (pstFile == nullptr) {
        return;
    }
    size_t uiWritten = 0;
    for (const std::string &strLine : g_vecPending) {
        if (fwrite(strLine.data(), 1, strLine.size(), pstFile) != strLine.size()) {
            break;
        }
        ++uiWritten;
    }
    // A failed close means buffered lines may be lost on disk: keep them all for the next try.
    if (fclose(pstFile) != 0) {
        uiWritten = 0;
    }
    g_vecPending.erase(g_vecPending.begin(), g_vecPending.begin() + uiWritten);
}

void LOG_SetEnabled(bool bEnabled)
{
    g_bLogEnabled.store(bEnabled);
}
bool LOG_IsEnabled()
{
    return g_bLogEnabled.load();
}
void LOG_SetLevel(int iLevel)
{
    g_iLogLevel.store(iLevel);
}
int LOG_GetLevel()
{
    return g_iLogLevel.load();
}

void LOG_SetFile(const std::string &strPath)
{
    std::lock_guard<std::recursive_mutex> stLock(g_mtxLog);
    g_strLogFile = strPath;
}

std::string LOG_GetFile()
{
    std::lock_guard<std::recursive_mutex> stLock(g_mtxLog);
    return g_strLogFile;
}

void LOG_SetCacheCount(unsigned uiCount)
{
    std::lock_guard<std::recursive_mutex> stLock(g_mtxLog);
    g_uiCacheCount = uiCount;
}

unsigned LOG_GetCacheCount()
{
    std::lock_guard<std::recursive_mutex> stLock(g_mtxLog);
    return g_uiCacheCount;
}

unsigned LOG_GetPendingCount()
{
    std::lock_guard<std::recursive_mutex> stLock(g_mtxLog);
    return static_cast<unsigned>(g_vecPending.size());
}

const char *LOG_CategoryName(int iCategory)
{
    return iCategory >= 0 && iCategory < CATEGORY_COUNT ? g_apcCategoryName[iCategory] : nullptr;
}

std::string LOG_DefaultFileName(const std::string &strDataDir)
{
    LocalStamp stNow = Now();
    char szName[64];
    snprintf(szName, sizeof(szName), "/log/%04d%02d%02d_%02d%02d%02d.log",
             stNow.stTm.tm_year + 1900, stNow.stTm.tm_mon + 1, stNow.stTm.tm_mday,
             stNow.stTm.tm_hour, stNow.stTm.tm_min, stNow.stTm.tm_sec);
    return strDataDir + szName;
}

unsigned LOG_DeleteHistory(const std::string &strDataDir)
{
    namespace fs = std::filesystem;
    std::string strCurrent = LOG_GetFile();
    // Collected first so that deleting never races the directory walk.
    std::vector<fs::path> vecDoomed;
    std::error_code stErr;
    for (const fs::directory_entry &stEntry : fs::directory_iterator(strDataDir + "/log", stErr)) {
        std::string strPath = strDataDir + "/log/" + stEntry.path().filename().string();
        if (!stEntry.is_directory(stErr) && stEntry.path().extension() == ".log" &&
            strPath != strCurrent) {
            vecDoomed.push_back(stEntry.path());
        }
    }
    unsigned uiDeleted = 0;
    for (const fs::path &stPath : vecDoomed) {
        if (fs::remove(stPath, stErr)) {
            ++uiDeleted;
        }
    }
    return uiDeleted;
}
