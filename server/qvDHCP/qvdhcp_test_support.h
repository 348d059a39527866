// Shared by the DHCP unit tests: a log sink that keeps every line, and a private data directory.
#pragma once

#include "qvdhcp_config.h"

#include <glib.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

inline std::vector<std::string> &TestLogLines()
{
    static std::vector<std::string> s_vecLines;
    return s_vecLines;
}

inline void TestLogSink(int iModule, const char *pcFormat, ...)
{
    char szText[2048];
    va_list args;
    va_start(args, pcFormat);
    vsnprintf(szText, sizeof(szText), pcFormat, args);
    va_end(args);
    TestLogLines().push_back(std::to_string(iModule) + " " + szText);
}

// Installs the capturing sinks with the service's module numbers 1, 2, 3.
inline void InstallTestLog()
{
    QV_LogSinks stSinks;
    for (int i = 0; i < 3; ++i) {
        stSinks.astSink[i] = {TestLogSink, i + 1};
    }
    QVDHCP_SetLogFunc(stSinks);
    TestLogLines().clear();
}

inline bool TestLogHas(const std::string &strText)
{
    const auto &vecLines = TestLogLines();
    return std::any_of(vecLines.begin(), vecLines.end(), [&](const std::string &strLine) {
        return strLine.find(strText) != std::string::npos;
    });
}

// Changes into a fresh directory with a "conf" folder for the test's life.
class TempDataDir {
public:
    TempDataDir()
    {
        m_pcOld = g_get_current_dir();
        m_pcDir = g_dir_make_tmp("kiv-dhcp-XXXXXX", nullptr);
        EXPECT_NE(m_pcDir, nullptr);
        EXPECT_EQ(chdir(m_pcDir), 0);
        EXPECT_EQ(g_mkdir("conf", 0755), 0);
    }
    ~TempDataDir()
    {
        EXPECT_EQ(chdir(m_pcOld), 0);
        gchar *argv[] = {const_cast<gchar *>("rm"), const_cast<gchar *>("-rf"), m_pcDir, nullptr};
        g_spawn_sync(nullptr, argv, nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr,
                     nullptr, nullptr, nullptr);
        g_free(m_pcDir);
        g_free(m_pcOld);
    }
    TempDataDir(const TempDataDir &) = delete;
    TempDataDir &operator=(const TempDataDir &) = delete;

private:
    gchar *m_pcOld = nullptr;
    gchar *m_pcDir = nullptr;
};
