// Test and benchmark driver: serves the given roots on 127.0.0.1 (or --addr) and prints every
// transfer event on standard output, one line each, until SIGTERM or SIGINT.
//
//   qvtftp_testserver [--addr IP] [--port N|0] [--single] [--timeout S] [--sends N]
//                     [--tid FIRST-LAST] [--progress] [--log] [--chdir DIR]
//                     --root PREFIX=PATH [--rule PATTERN=TARGET ...] ...
//
// --port 0 picks a free port; the chosen one is printed as "READY <port>".
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unistd.h>

#include "qv_text.h"
#include "qvtftp.h"

namespace {

std::mutex g_mtxOut;
bool g_bProgress = false;

void PrintEvent(uint32_t uiEvent, QVTFTP_TransferEvent *pstEvent)
{
    if (uiEvent == QVTFTP_EVENT_PROGRESS && !g_bProgress) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_mtxOut);
    printf("EVENT %u %s:%u %s size=%llu sent=%llu result=0x%x\n", uiEvent,
           QV_IpText(pstEvent->uiClientIp).c_str(), pstEvent->usClientPort, pstEvent->szFileName,
           static_cast<unsigned long long>(pstEvent->ullFileSize),
           static_cast<unsigned long long>(pstEvent->ullSent), pstEvent->uiResult);
    fflush(stdout);
}

void PrintLog(int iModule, const char *pcFormat, ...)
{
    va_list args;
    va_start(args, pcFormat);
    std::lock_guard<std::mutex> lock(g_mtxOut);
    fprintf(stderr, "[%d] ", iModule);
    vfprintf(stderr, pcFormat, args);
    fputc('\n', stderr);
    va_end(args);
}

[[noreturn]] void Usage(const char *pcWhy)
{
    fprintf(stderr, "qvtftp_testserver: %s\n", pcWhy);
    exit(2);
}

bool SplitAt(const char *pcArg, char cSep, std::string *pszLeft, std::string *pszRight)
{
    const char *pcAt = strchr(pcArg, cSep);
    if (pcAt == nullptr) {
        return false;
    }
    pszLeft->assign(pcArg, pcAt);
    pszRight->assign(pcAt + 1);
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    QV_LogSinks stSinks;
    QVTFTP_Init();
    QVTFTP_CFG_Conf stConf = QVTFTP_CFG_GetConf();
    stConf.uiServerIp = 0x7F000001;
    stConf.usTidFirst = 50000;
    stConf.usTidLast = 65000;
    unsigned uiPort = 0;
    std::vector<QVTFTP_CFG_Root> vecRoots;
    for (int i = 1; i < argc; ++i) {
        const std::string szArg = argv[i];
        const char *pcValue = i + 1 < argc ? argv[i + 1] : nullptr;
        auto Need = [&]() {
            if (pcValue == nullptr) {
                Usage(("missing value for " + szArg).c_str());
            }
            ++i;
            return pcValue;
        };
        std::string szLeft, szRight;
        if (szArg == "--addr") {
            if (!QV_IpParse(Need(), &stConf.uiServerIp)) {
                Usage("bad address");
            }
        } else if (szArg == "--port") {
            uiPort = static_cast<unsigned>(atoi(Need()));
        } else if (szArg == "--single") {
            stConf.uiSinglePort = 1;
        } else if (szArg == "--timeout") {
            stConf.usTimeout = static_cast<uint16_t>(atoi(Need()));
        } else if (szArg == "--sends") {
            stConf.usMaxSends = static_cast<uint16_t>(atoi(Need()));
        } else if (szArg == "--tid") {
            if (!SplitAt(Need(), '-', &szLeft, &szRight)) {
                Usage("--tid FIRST-LAST");
            }
            stConf.usTidFirst = static_cast<uint16_t>(std::stoul(szLeft));
            stConf.usTidLast = static_cast<uint16_t>(std::stoul(szRight));
        } else if (szArg == "--progress") {
            g_bProgress = true;
        } else if (szArg == "--log") {
            for (int iLevel = 0; iLevel < 3; ++iLevel) {
                stSinks.astSink[iLevel] = QV_LogSink{PrintLog, 4 + iLevel};
            }
        } else if (szArg == "--chdir") {
            if (chdir(Need()) != 0) {
                Usage("cannot change directory");
            }
        } else if (szArg == "--root") {
            if (!SplitAt(Need(), '=', &szLeft, &szRight)) {
                Usage("--root PREFIX=PATH");
            }
            vecRoots.push_back(QVTFTP_CFG_Root{nullptr, szLeft, szRight, {}});
        } else if (szArg == "--rule") {
            if (vecRoots.empty() || !SplitAt(Need(), '=', &szLeft, &szRight)) {
                Usage("--rule PATTERN=TARGET after a --root");
            }
            vecRoots.back().vecRules.push_back(QVTFTP_CFG_Rule{szLeft, szRight});
        } else {
            Usage(("unknown argument " + szArg).c_str());
        }
    }
    QVTFTP_SetLogFunc(stSinks);
    QVTFTP_SetEventFunc(PrintEvent);
    for (const QVTFTP_CFG_Root &stRoot : vecRoots) {
        const uint32_t uiRet = QVTFTP_CFG_AddRootPath(&stRoot);
        if (uiRet != 0) {
            fprintf(stderr, "qvtftp_testserver: root %s=%s refused: 0x%x\n",
                    stRoot.szPrefix.c_str(), stRoot.szPath.c_str(), uiRet);
            return 1;
        }
    }
    // Block the stop signals before any service thread exists, so only sigwait sees them.
    sigset_t stStop;
    sigemptyset(&stStop);
    sigaddset(&stStop, SIGTERM);
    sigaddset(&stStop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stStop, nullptr);

    GThread *pstThread = nullptr;
    uint32_t uiRet = QVTFTP_ERR_PORT_IN_USE;
    // Port 0: probe random unprivileged ports below the transfer range until one binds.
    for (unsigned uiTry = 0; uiTry < 200 && uiRet == QVTFTP_ERR_PORT_IN_USE; ++uiTry) {
        stConf.usPort =
            static_cast<uint16_t>(uiPort != 0 ? uiPort : 20000 + g_random_int_range(0, 20000));
        QVTFTP_CFG_SetConf(&stConf);
        uiRet = QVTFTP_Start(&pstThread);
        if (uiPort != 0) {
            break;
        }
    }
    if (uiRet != 0) {
        fprintf(stderr, "qvtftp_testserver: start failed: 0x%x\n", uiRet);
        return 1;
    }
    {
        std::lock_guard<std::mutex> lock(g_mtxOut);
        printf("READY %u\n", stConf.usPort);
        fflush(stdout);
    }
    int iSig = 0;
    sigwait(&stStop, &iSig);
    QVTFTP_Stop(pstThread);
    QVTFTP_CFG_ClearRoots();
    QVTFTP_Deinit();
    return 0;
}
