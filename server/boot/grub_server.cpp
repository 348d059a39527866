#include "grub_server.h"

#include <glib.h>

#include <filesystem>

#include "log.h"
#include "qv_file.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kField = "\nset kiv_server=";
// Loader images are a few MiB; anything far larger is not one of ours.
constexpr uintmax_t kMaxImage = 64u << 20;

}  // namespace

bool GRUB_FillServerField(std::string &strImage, const std::string &strAddress)
{
    size_t uiStart = strImage.find(kField);
    if (uiStart == std::string::npos) {
        return false;
    }
    uiStart += kField.size();
    size_t uiEnd = strImage.find('\n', uiStart);
    if (uiEnd == std::string::npos || uiEnd - uiStart < strAddress.size()) {
        return false;
    }
    std::string strValue = strAddress;
    strValue.resize(uiEnd - uiStart, ' ');
    strImage.replace(uiStart, strValue.size(), strValue);
    return true;
}

int GRUB_WriteServerAddress(const std::string &strAddress)
{
    int iImages = 0;
    std::error_code stErr;
    for (const char *pcTree : {"grub2", "ipxe"}) {
        for (const fs::directory_entry &stEntry : fs::directory_iterator(pcTree, stErr)) {
            std::error_code stErrFile;
            if (!stEntry.is_regular_file(stErrFile) || stEntry.is_symlink(stErrFile) ||
                stEntry.file_size(stErrFile) > kMaxImage) {
                continue;
            }
            const std::string strPath = stEntry.path().string();
            gchar *pcData = nullptr;
            gsize uiLen = 0;
            if (!g_file_get_contents(strPath.c_str(), &pcData, &uiLen, nullptr)) {
                continue;
            }
            std::string strImage(pcData, uiLen);
            g_free(pcData);
            std::string strFilled = strImage;
            if (!GRUB_FillServerField(strFilled, strAddress)) {
                continue;
            }
            ++iImages;
            if (strFilled != strImage && !QV_SaveFile(strPath, strFilled)) {
                LOG_Print(1, "PXEDLG", "Cannot write the server address into %s", strPath.c_str());
            }
        }
    }
    return iImages;
}
