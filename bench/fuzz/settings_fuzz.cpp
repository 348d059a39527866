// libFuzzer target: arbitrary bytes as the settings file "conf/orv.json". What loads must save
// and load again to the same file (nothing lost or changed by a round trip).
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "log.h"
#include "settings.h"

namespace {

std::string g_strDir;

void Write(const std::string &strPath, const uint8_t *pucData, size_t uiLen)
{
    std::ofstream(strPath, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char *>(pucData), std::streamsize(uiLen));
}

std::string Read(const std::string &strPath)
{
    std::ifstream stIn(strPath, std::ios::binary);
    std::ostringstream stText;
    stText << stIn.rdbuf();
    return stText.str();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char acDir[] = "/tmp/kiv_settings_fuzz_XXXXXX";
    g_strDir = mkdtemp(acDir);
    LOG_SetEnabled(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pucData, size_t uiLen)
{
    std::string strIn = g_strDir + "/in.json";
    Write(strIn, pucData, uiLen);
    ServerSettings stFirst;
    if (!LoadSettingsFile(strIn, stFirst)) {
        return 0;
    }
    std::string strOnce = g_strDir + "/once.json";
    std::string strTwice = g_strDir + "/twice.json";
    ServerSettings stSecond;
    if (!SaveSettingsFile(strOnce, stFirst) || !LoadSettingsFile(strOnce, stSecond) ||
        !SaveSettingsFile(strTwice, stSecond) || Read(strOnce) != Read(strTwice)) {
        abort();
    }
    return 0;
}
