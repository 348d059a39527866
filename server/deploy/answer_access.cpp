#include "answer_access.h"

#include <glib.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "client_table.h"
#include "data_dir.h"
#include "log.h"
#include "qv_text.h"

namespace fs = std::filesystem;

namespace {

fs::path Canonical(const std::string &strPath)
{
    std::error_code ec;
    fs::path path = fs::weakly_canonical(fs::absolute(strPath, ec), ec);
    return ec ? fs::path() : path;
}

bool IsPrivateFolder(const fs::path &path)
{
    for (const char *pcDir :
         {"kickstart", "pxelinux/pxelinux.cfg", "grub2/grub2.cfg", "ipxe/ipxe.cfg"}) {
        if (path == Canonical(DataDirectory() + "/" + pcDir)) {
            return true;
        }
    }
    return false;
}

// "01-xx-xx-xx-xx-xx-xx" at the start of a file name: the MAC, else "".
std::string ClientMacOf(const std::string &strName)
{
    if (strName.size() < 20 || strName.compare(0, 3, "01-") != 0) {
        return "";
    }
    std::string strMac = strName.substr(3, 17);
    for (size_t i = 0; i < strMac.size(); ++i) {
        bool bSeparator = i % 3 == 2;
        if (bSeparator ? strMac[i] != '-' : !g_ascii_isxdigit(strMac[i])) {
            return "";
        }
    }
    return strMac;
}

}  // namespace

bool AnswerFileAccess(uint32_t uiClientIp, const char *pcHostPath, bool bIsDir)
{
    fs::path path = Canonical(pcHostPath);
    if (bIsDir) {
        if (!IsPrivateFolder(path)) {
            return true;
        }
        LOG_Print(1, "PXEDLG", "HTTP listing of %s refused to %s",
                  QV_Printable(path.string()).c_str(), QV_IpText(uiClientIp).c_str());
        return false;
    }
    if (path.parent_path() != Canonical(DataDirectory() + "/kickstart")) {
        return true;
    }
    std::string strMac = ClientMacOf(path.filename().string());
    if (strMac.empty()) {
        return true;
    }
    bool bOwner = CLIENTS_FindLocked([&](const ClientRow &stRow) {
                      return stRow.uiAddress == uiClientIp &&
                             g_ascii_strcasecmp(stRow.strMac.c_str(), strMac.c_str()) == 0;
                  }) != 0;
    if (!bOwner) {
        LOG_Print(1, "PXEDLG", "Answer file %s refused to %s: not the address of that client",
                  QV_Printable(path.filename().string()).c_str(), QV_IpText(uiClientIp).c_str());
    }
    return bOwner;
}
