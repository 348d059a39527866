#include "console_token.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cstdio>

#include <glib.h>

#include "qv_file.h"

std::string CONSOLE_MakeToken()
{
    unsigned char aucBytes[32];
    if (getrandom(aucBytes, sizeof(aucBytes), 0) != ssize_t(sizeof(aucBytes))) {
        return "";
    }
    std::string strToken;
    char szHex[3];
    for (unsigned char ucByte : aucBytes) {
        snprintf(szHex, sizeof(szHex), "%02x", ucByte);
        strToken += szHex;
    }
    return strToken;
}

bool CONSOLE_WriteToken(const std::string &strPath, const std::string &strToken)
{
    return QV_SaveFile(strPath, strToken + "\n", 0600);
}

std::string CONSOLE_ReadToken(const std::string &strPath)
{
    gchar *pcText = nullptr;
    if (!g_file_get_contents(strPath.c_str(), &pcText, nullptr, nullptr)) {
        return "";
    }
    std::string strToken = g_strstrip(pcText);
    g_free(pcText);
    return strToken;
}

bool CONSOLE_TokenEquals(const std::string &strGiven, const std::string &strToken)
{
    if (strToken.empty() || strGiven.size() != strToken.size()) {
        return false;
    }
    unsigned char ucDiff = 0;
    for (size_t i = 0; i < strToken.size(); ++i) {
        ucDiff |= static_cast<unsigned char>(strGiven[i] ^ strToken[i]);
    }
    return ucDiff == 0;
}
