#include "core/agent_log.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace ferrit {
namespace {
std::string g_szLogPath = "kiv_ferrit.log";
}

void SetAgentLogPath(const std::string &path)
{
    g_szLogPath = path;
}
const std::string &AgentLogPath()
{
    return g_szLogPath;
}

void AgentLog(const char *format, ...)
{
    char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);

    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    std::FILE *file = std::fopen(g_szLogPath.c_str(), "a");
    if (!file) return;
    std::fprintf(file, "%% %04d/%02d/%02d %02d:%02d:%02d.%03d  %s \n", local.tm_year + 1900,
                 local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                 static_cast<int>(millis), message);
    std::fclose(file);
}

}  // namespace ferrit
