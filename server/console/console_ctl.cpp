#include "console_ctl.h"

#include <curl/curl.h>
#include <glib.h>

#include <cstdio>
#include <string>

#include "console_token.h"

namespace {

const char *const USAGE =
    "usage: kivpxe ctl [--data-dir DIR] [--console ADDR:PORT] COMMAND\n"
    "commands: status, clients, settings, start, stop, answer ok|yes|no\n"
    "The token is read from DIR/conf/console.token (DIR: the working directory).\n";

size_t Collect(char *pcData, size_t uiSize, size_t uiCount, void *pvText)
{
    static_cast<std::string *>(pvText)->append(pcData, uiSize * uiCount);
    return uiSize * uiCount;
}

// One request; the HTTP status, or 0 when the server could not be reached.
long Request(const std::string &strUrl, const std::string &strToken, const char *pcBody,
             std::string *pstrReply)
{
    CURL *pstCurl = curl_easy_init();
    if (pstCurl == nullptr) {
        return 0;
    }
    std::string strHeader = "Authorization: Bearer " + strToken;
    curl_slist *pstHeaders = curl_slist_append(nullptr, strHeader.c_str());
    pstHeaders = curl_slist_append(pstHeaders, "Content-Type: application/json");
    curl_easy_setopt(pstCurl, CURLOPT_URL, strUrl.c_str());
    curl_easy_setopt(pstCurl, CURLOPT_HTTPHEADER, pstHeaders);
    curl_easy_setopt(pstCurl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(pstCurl, CURLOPT_WRITEDATA, pstrReply);
    curl_easy_setopt(pstCurl, CURLOPT_CONNECTTIMEOUT, 5L);
    // A start opens the image and starts three services; it never waits for an operator.
    curl_easy_setopt(pstCurl, CURLOPT_TIMEOUT, 120L);
    curl_easy_setopt(pstCurl, CURLOPT_NOPROXY, "*");
    if (pcBody != nullptr) {
        curl_easy_setopt(pstCurl, CURLOPT_POSTFIELDS, pcBody);
    }
    long lStatus = 0;
    if (curl_easy_perform(pstCurl) == CURLE_OK) {
        curl_easy_getinfo(pstCurl, CURLINFO_RESPONSE_CODE, &lStatus);
    }
    curl_slist_free_all(pstHeaders);
    curl_easy_cleanup(pstCurl);
    return lStatus;
}

// The id of the open prompt in a status reply, or empty.
std::string PromptId(const std::string &strStatus)
{
    GRegex *pstRegex =
        g_regex_new("\"prompt\":\\{[^}]*\"id\":(\\d+)", G_REGEX_RAW, GRegexMatchFlags(0), nullptr);
    GMatchInfo *pstMatch = nullptr;
    std::string strId;
    if (g_regex_match(pstRegex, strStatus.c_str(), GRegexMatchFlags(0), &pstMatch)) {
        gchar *pcId = g_match_info_fetch(pstMatch, 1);
        strId = pcId;
        g_free(pcId);
    }
    g_match_info_free(pstMatch);
    g_regex_unref(pstRegex);
    return strId;
}

}  // namespace

int CONSOLE_Ctl(int argc, char **argv)
{
    std::string strDataDir = ".";
    std::string strConsole = "127.0.0.1:8800";
    int i = 1;
    for (; i + 1 < argc && g_str_has_prefix(argv[i], "--"); i += 2) {
        if (g_strcmp0(argv[i], "--data-dir") == 0) {
            strDataDir = argv[i + 1];
        } else if (g_strcmp0(argv[i], "--console") == 0) {
            strConsole = argv[i + 1];
        } else {
            fputs(USAGE, stderr);
            return 2;
        }
    }
    if (i >= argc) {
        fputs(USAGE, stderr);
        return 2;
    }
    std::string strCommand = argv[i];
    std::string strArg = i + 1 < argc ? argv[i + 1] : "";
    std::string strToken = CONSOLE_ReadToken(strDataDir + "/conf/console.token");
    if (strToken.empty()) {
        fprintf(
            stderr,
            "kivpxe ctl: cannot read %s/conf/console.token (is kivpxe running with its console?)\n",
            strDataDir.c_str());
        return 1;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    std::string strBase = "http://" + strConsole;
    std::string strPath;
    std::string strBody;
    bool bPost = true;
    if (strCommand == "status" || strCommand == "clients") {
        strPath = strCommand == "status" ? "/api/status" : "/api/clients";
        bPost = false;
    } else if (strCommand == "settings") {
        strPath = "/api/cmd/settings";
    } else if (strCommand == "start" || strCommand == "stop") {
        strPath = "/api/cmd/" + strCommand;
        strBody = strCommand == "stop" ? R"({"unattended":true,"confirmed":true})"
                                       : R"({"unattended":true})";
    } else if (strCommand == "answer" && (strArg == "ok" || strArg == "yes" || strArg == "no")) {
        std::string strStatus;
        if (Request(strBase + "/api/status", strToken, nullptr, &strStatus) != 200 ||
            PromptId(strStatus).empty()) {
            fprintf(stderr, "kivpxe ctl: no prompt is open\n");
            curl_global_cleanup();
            return 1;
        }
        strPath = "/api/prompt/" + PromptId(strStatus);
        strBody = "{\"answer\":\"" + strArg + "\"}";
    } else {
        fputs(USAGE, stderr);
        curl_global_cleanup();
        return 2;
    }
    std::string strReply;
    long lStatus =
        Request(strBase + strPath, strToken, bPost ? strBody.c_str() : nullptr, &strReply);
    curl_global_cleanup();
    if (lStatus == 0) {
        fprintf(stderr, "kivpxe ctl: cannot reach the console at %s\n", strBase.c_str());
        return 1;
    }
    printf("%s\n", strReply.c_str());
    return lStatus == 200 && strReply.find("\"ok\":false") == std::string::npos ? 0 : 1;
}
