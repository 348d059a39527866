// Runs the HTTP service alone, on roots given on the command line, until SIGTERM or SIGINT.
// Prints "PORT <n>" once it listens. The working directory plays the data directory.
//
//   qvhttp_testserver [--addr A] [--port N] [--idle S] [--maxconn N] [--events FILE] [--log]
//                     --root PREFIX=PATH ... [--rule PREFIX:PATTERN=TARGET ...]
//                     [--virtiso IMAGE --vfile KEY=VALUE ...]
// --port 0 (the default) picks a free port. --vfile keys: bios uefi biosex uefiex old1 new1 old2
// new2 int1..int4 ext1..ext4. --events appends one line per request event:
// "<code> <status> <total> <remaining> <uri>|<request>".
#include <arpa/inet.h>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <glib-unix.h>
#include <glib.h>

#include "kiv_restful.h"
#include "qv_text.h"
#include "qvhttp.h"

namespace {

std::mutex g_mtxEvents;
FILE *g_pstEvents = nullptr;

void OnEvent(const QVHTTP_RequestEvent *pstEvent)
{
    std::lock_guard<std::mutex> lock(g_mtxEvents);
    fprintf(g_pstEvents, "%u %u %llu %llu %s|%s\n", pstEvent->uiCode, pstEvent->uiStatus,
            static_cast<unsigned long long>(pstEvent->ullTotalLen),
            static_cast<unsigned long long>(pstEvent->ullRemainLen), pstEvent->szURI,
            pstEvent->szRequest);
    fflush(g_pstEvents);
}

void OnLog(int iModule, const char *pcFormat, ...)
{
    va_list args;
    va_start(args, pcFormat);
    fprintf(stderr, "[%d] ", iModule);
    vfprintf(stderr, pcFormat, args);
    fputc('\n', stderr);
    va_end(args);
}

// A port nobody listens on right now.
uint16_t FreePort(uint32_t uiAddr)
{
    int iSock = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in stAddr = {};
    stAddr.sin_family = AF_INET;
    stAddr.sin_addr.s_addr = htonl(uiAddr);
    socklen_t uiLen = sizeof(stAddr);
    uint16_t usPort = 0;
    if (bind(iSock, reinterpret_cast<sockaddr *>(&stAddr), sizeof(stAddr)) == 0 &&
        getsockname(iSock, reinterpret_cast<sockaddr *>(&stAddr), &uiLen) == 0) {
        usPort = ntohs(stAddr.sin_port);
    }
    close(iSock);
    return usPort;
}

bool SetVirtFile(QVHTTP_VirtIsoFiles &stFiles, const std::string &strKey, const std::string &strVal)
{
    std::map<std::string, std::string *> mapKeys = {
        {"bios", &stFiles.strBiosCfg},     {"uefi", &stFiles.strUefiCfg},
        {"biosex", &stFiles.strBiosCfgEx}, {"uefiex", &stFiles.strUefiCfgEx},
        {"old1", &stFiles.strOldFile1},    {"new1", &stFiles.strNewFile1},
        {"old2", &stFiles.strOldFile2},    {"new2", &stFiles.strNewFile2}};
    for (unsigned n = 0; n < VIRTISO_EXT_FILES; ++n) {
        mapKeys["int" + std::to_string(n + 1)] = &stFiles.astrIntFile[n];
        mapKeys["ext" + std::to_string(n + 1)] = &stFiles.astrExtFile[n];
    }
    auto it = mapKeys.find(strKey);
    if (it == mapKeys.end()) {
        return false;
    }
    *it->second = strVal;
    return true;
}

int Usage(const char *pcWhat)
{
    fprintf(stderr, "qvhttp_testserver: bad argument %s\n", pcWhat);
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    QVHTTP_Init();
    uint32_t uiAddr = 0x7f000001;
    unsigned uiPort = 0;
    std::vector<QVHTTP_Root> vRoots;
    std::string strVirtIso;
    QVHTTP_VirtIsoFiles stVirtFiles;
    bool bRest = false;
    for (int i = 1; i < argc; ++i) {
        std::string strArg = argv[i];
        if (strArg == "--rest") {
            bRest = true;
            continue;
        }
        if (strArg == "--log") {
            QV_LogSinks stSinks;
            for (int l = 0; l < 3; ++l) {
                stSinks.astSink[l] = {OnLog, 7 + l};
            }
            QVHTTP_SetLogFunc(stSinks);
            continue;
        }
        if (i + 1 >= argc) {
            return Usage(argv[i]);
        }
        std::string strVal = argv[++i];
        size_t uiEq = strVal.find('=');
        if (strArg == "--addr") {
            if (!QV_IpParse(strVal.c_str(), &uiAddr)) {
                return Usage(argv[i]);
            }
        } else if (strArg == "--port") {
            uiPort = static_cast<unsigned>(std::stoul(strVal));
        } else if (strArg == "--idle") {
            QVHTTP_CFG_SetIdleTime(static_cast<uint32_t>(std::stoul(strVal)));
        } else if (strArg == "--maxconn") {
            QVHTTP_CFG_SetMaxConn(static_cast<uint32_t>(std::stoul(strVal)));
        } else if (strArg == "--events") {
            g_pstEvents = fopen(strVal.c_str(), "a");
            if (g_pstEvents == nullptr) {
                return Usage(argv[i]);
            }
            QVHTTP_SetEventFunc(OnEvent);
        } else if (strArg == "--root" && uiEq != std::string::npos) {
            QVHTTP_Root stRoot;
            stRoot.strPrefix = strVal.substr(0, uiEq);
            stRoot.strPath = strVal.substr(uiEq + 1);
            vRoots.push_back(stRoot);
        } else if (strArg == "--rule" && uiEq != std::string::npos && strVal.find(':') < uiEq) {
            size_t uiColon = strVal.find(':');
            std::string strPrefix = strVal.substr(0, uiColon);
            QVHTTP_RedtRule stRule{strVal.substr(uiColon + 1, uiEq - uiColon - 1),
                                   strVal.substr(uiEq + 1)};
            bool bFound = false;
            for (QVHTTP_Root &stRoot : vRoots) {
                if (stRoot.strPrefix == strPrefix) {
                    stRoot.vRules.push_back(stRule);
                    bFound = true;
                }
            }
            if (!bFound) {
                return Usage(argv[i]);
            }
        } else if (strArg == "--virtiso") {
            strVirtIso = strVal;
        } else if (strArg == "--vfile" && uiEq != std::string::npos &&
                   SetVirtFile(stVirtFiles, strVal.substr(0, uiEq), strVal.substr(uiEq + 1))) {
        } else {
            return Usage(argv[i]);
        }
    }
    for (const QVHTTP_Root &stRoot : vRoots) {
        uint32_t uiRet = QVHTTP_CFG_AddRootPath(stRoot);
        if (uiRet != 0) {
            fprintf(stderr, "qvhttp_testserver: root %s=%s refused (0x%x)\n",
                    stRoot.strPrefix.c_str(), stRoot.strPath.c_str(), uiRet);
            return 1;
        }
    }
    GThread *pstThread = nullptr;
    uint32_t uiRet = QVHTTP_ERR_PORT_IN_USE;
    for (int iTry = 0; iTry < 20 && uiRet == QVHTTP_ERR_PORT_IN_USE; ++iTry) {
        uint16_t usPort = uiPort != 0 ? static_cast<uint16_t>(uiPort) : FreePort(uiAddr);
        QVHTTP_CFG_SetAddr(uiAddr, usPort);
        uiRet = QVHTTP_Start(&pstThread);
        if (uiPort != 0) {
            break;
        }
    }
    if (uiRet != 0) {
        fprintf(stderr, "qvhttp_testserver: start failed (0x%x)\n", uiRet);
        return 1;
    }
    if (!strVirtIso.empty() && QVHTTP_VIRTISO_Add(strVirtIso.c_str(), stVirtFiles) != 0) {
        fprintf(stderr, "qvhttp_testserver: Add Virtual ISO config failed!\n");
        QVHTTP_Stop(pstThread);
        return 3;
    }
    printf("PORT %u\n", g_stQvHttpCfg.usPort);
    if (bRest) {
        uint16_t usRestPort = FreePort(uiAddr);
        KIV_REST_Start(usRestPort);
        printf("REST %u\n", unsigned(usRestPort));
    }
    fflush(stdout);

    GMainLoop *pstLoop = g_main_loop_new(nullptr, FALSE);
    auto fnQuit = [](gpointer pvLoop) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop *>(pvLoop));
        return G_SOURCE_REMOVE;
    };
    g_unix_signal_add(SIGTERM, fnQuit, pstLoop);
    g_unix_signal_add(SIGINT, fnQuit, pstLoop);
    g_main_loop_run(pstLoop);
    g_main_loop_unref(pstLoop);

    if (bRest) {
        KIV_REST_Stop();
    }
    QVHTTP_Stop(pstThread);
    QVHTTP_VIRTISO_Clear();
    QVHTTP_CFG_ClearRoots();
    if (g_pstEvents != nullptr) {
        fclose(g_pstEvents);
    }
    return 0;
}
