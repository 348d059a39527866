#include "core/wget_args.h"

namespace ferrit {

bool ParseWgetArgs(const std::vector<std::string> &args, WgetArgs &parsed, std::string &error)
{
    WgetArgs result;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg == "-q" || arg == "--quiet" || arg == "-nv" || arg == "--no-verbose") {
            result.bQuiet = true;
        } else if (arg == "-O" || arg == "--output-document") {
            if (++i >= args.size()) {
                error = "option " + arg + " needs a file name";
                return false;
            }
            result.szOutput = args[i];
        } else if (arg.rfind("-O", 0) == 0 && arg.size() > 2) {
            result.szOutput = arg.substr(2);
        } else if (arg.rfind("--output-document=", 0) == 0) {
            result.szOutput = arg.substr(18);
        } else if (!arg.empty() && arg[0] == '-') {
            error = "unknown option " + arg;
            return false;
        } else if (result.szUrl.empty()) {
            result.szUrl = arg;
        } else {
            error = "only one URL is accepted";
            return false;
        }
    }
    if (result.szUrl.rfind("http://", 0) != 0 && result.szUrl.rfind("https://", 0) != 0) {
        error = result.szUrl.empty() ? "no URL given"
                                     : "not an http:// or https:// URL: " + result.szUrl;
        return false;
    }
    if (result.szOutput.empty()) {
        std::string path = result.szUrl.substr(0, result.szUrl.find_first_of("?#"));
        auto slash = path.find('/', path.find("//") + 2);
        std::string name = slash == std::string::npos ? "" : path.substr(path.rfind('/') + 1);
        result.szOutput = name.empty() ? "index.html" : name;
    }
    parsed = result;
    return true;
}

}  // namespace ferrit
