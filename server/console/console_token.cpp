#include "console_token.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cstdio>

#include <glib.h>

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
    std::string strTemp = strPath + ".tmp";
    unlink(strTemp.c_str());
    int iFd = open(strTemp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (iFd < 0) {
        return false;
    }
    std::string strLine = strToken + "\n";
    bool bOk = write(iFd, strLine.data(), strLine.size()) == ssize_t(strLine.size());
    bOk = close(iFd) == 0 && bOk;
    if (!bOk || rename(strTemp.c_str(), strPath.c_str()) != 0) {
        unlink(strTemp.c_str());
        return false;
    }
    return true;
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
