// Command line of the agent's downloader: "URL -O FILE" as the agent and the first-run batch
// write it, plus the quiet switches; other wget options are refused rather than ignored.
#pragma once
#include <string>
#include <vector>

namespace ferrit {

struct WgetArgs {
    std::string szUrl;
    std::string szOutput;  // "-" writes to standard output
    bool bQuiet = false;
};

// False with `error` set on a bad command line.
bool ParseWgetArgs(const std::vector<std::string> &args, WgetArgs &parsed, std::string &error);

}  // namespace ferrit
