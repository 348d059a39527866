// wget.exe for WinPE and the installed system: fetches one http:// URL to a file with WinINet.
#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/wget_args.h"

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    ferrit::WgetArgs parsed;
    std::string error;
    if (!ferrit::ParseWgetArgs(args, parsed, error)) {
        std::fprintf(stderr, "wget: %s\nusage: wget [-q] URL [-O FILE]\n", error.c_str());
        return 2;
    }
    HINTERNET session = ::InternetOpenA("wget", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    if (!session) {
        std::fprintf(stderr, "wget: InternetOpen failed: %lu\n", ::GetLastError());
        return 4;
    }
    DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI |
                  INTERNET_FLAG_NO_COOKIES;
    HINTERNET request = ::InternetOpenUrlA(session, parsed.szUrl.c_str(), nullptr, 0, flags, 0);
    if (!request) {
        std::fprintf(stderr, "wget: cannot reach %s: %lu\n", parsed.szUrl.c_str(),
                     ::GetLastError());
        ::InternetCloseHandle(session);
        return 4;
    }
    DWORD status = 0, size = sizeof status;
    ::HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                     nullptr);
    int result = 0;
    if (status != 200) {
        std::fprintf(stderr, "wget: %s: server answered %lu\n", parsed.szUrl.c_str(), status);
        result = 8;
    } else {
        // Written to a temporary name and renamed: a broken transfer never leaves a partial file.
        bool toStdout = parsed.szOutput == "-";
        std::string temporary = parsed.szOutput + ".part";
        std::FILE *out = toStdout ? stdout : std::fopen(temporary.c_str(), "wb");
        if (!out) {
            std::fprintf(stderr, "wget: cannot create %s\n", parsed.szOutput.c_str());
            result = 3;
        } else {
            char buffer[16384];
            DWORD got = 0;
            unsigned long long total = 0;
            BOOL ok;
            while ((ok = ::InternetReadFile(request, buffer, sizeof buffer, &got)) && got > 0) {
                if (std::fwrite(buffer, 1, got, out) != got) {
                    ok = FALSE;
                    break;
                }
                total += got;
            }
            if (!toStdout && std::fclose(out) != 0) ok = FALSE;
            if (!ok) {
                std::fprintf(stderr, "wget: transfer of %s failed\n", parsed.szUrl.c_str());
                if (!toStdout) std::remove(temporary.c_str());
                result = 4;
            } else if (!toStdout && !::MoveFileExA(temporary.c_str(), parsed.szOutput.c_str(),
                                                   MOVEFILE_REPLACE_EXISTING)) {
                std::fprintf(stderr, "wget: cannot write %s\n", parsed.szOutput.c_str());
                std::remove(temporary.c_str());
                result = 3;
            } else if (!parsed.bQuiet) {
                std::fprintf(stderr, "wget: saved %llu bytes to %s\n", total,
                             parsed.szOutput.c_str());
            }
        }
    }
    ::InternetCloseHandle(request);
    ::InternetCloseHandle(session);
    return result;
}
