#include "root_password.h"

#include <crypt.h>

#include <cstring>

#include "qv_text.h"
#include "settings.h"

namespace {

// Letters and digits without the look-alikes 0/O, 1/l/I: the operator may have to type it.
constexpr char kPasswordAlphabet[] = "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
constexpr char kSaltAlphabet[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr size_t kPasswordLength = 16;
constexpr size_t kSaltLength = 16;

}  // namespace

bool EnsureRootPassword(ServerSettings &stSettings)
{
    if (!stSettings.strRootPassword.empty()) {
        return false;
    }
    stSettings.strRootPassword = QV_RandomText(kPasswordAlphabet, kPasswordLength);
    return !stSettings.strRootPassword.empty();
}

bool RootPasswordValid(const std::string &strPassword)
{
    if (strPassword.empty() || strPassword.size() > 128) {
        return false;
    }
    for (unsigned char uc : strPassword) {
        if (uc < 0x20 || uc == 0x7F || strchr("\"\\<>&", uc) != nullptr) {
            return false;
        }
    }
    return true;
}

std::string CryptRootPassword(const std::string &strPlain)
{
    std::string strSalt = QV_RandomText(kSaltAlphabet, kSaltLength);
    if (strSalt.empty()) {
        return "";
    }
    crypt_data stData{};
    const char *pcHash = crypt_r(strPlain.c_str(), ("$6$" + strSalt).c_str(), &stData);
    // A failed crypt_r gives NULL or a text starting with '*'.
    return pcHash != nullptr && pcHash[0] == '$' ? std::string(pcHash) : std::string();
}
