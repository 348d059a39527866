#include "row_print.h"

#include <glib.h>

#include <cstdio>
#include <map>
#include <memory>

#include "qv_text.h"

namespace {

// The status with its digits removed: two lines of one transfer differ only in progress.
std::string WithoutDigits(const std::string &strText)
{
    std::string strOut;
    for (char c : strText) {
        if (!g_ascii_isdigit(c)) {
            strOut += c;
        }
    }
    return strOut;
}

}  // namespace

std::string ClientRowLine(const ClientRow &stRow)
{
    std::string strProgress =
        stRow.dProgress < 0 ? "-" : std::to_string(int(stRow.dProgress)) + "%";
    // Scripts trust these lines: what a client sent never makes a second one.
    return QV_Printable("CLIENT " + stRow.strMac + " " + stRow.strAddress + " " + strProgress +
                        " " + stRow.strStatus);
}

std::function<void(int, const ClientRow &)> ClientRowPrinter()
{
    auto pmapLast = std::make_shared<std::map<uint32_t, std::string>>();
    return [pmapLast](int, const ClientRow &stRow) {
        std::string strKey = stRow.strMac + " " + ClientRowLine(stRow);
        if (stRow.dProgress >= 0) {
            strKey = stRow.strMac + std::to_string(int(stRow.dProgress)) +
                     WithoutDigits(stRow.strStatus);
        }
        std::string &strLast = (*pmapLast)[stRow.uiAddress];
        if (strLast == strKey) {
            return;
        }
        strLast = strKey;
        printf("%s\n", ClientRowLine(stRow).c_str());
        fflush(stdout);
    };
}

void PrintServiceLine(const std::string &strText)
{
    printf("SERVICE %s\n", strText.c_str());
    fflush(stdout);
}
