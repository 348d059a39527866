// Process start-up, the main loop and the orderly shutdown of kivpxe.
#pragma once

#include <string>

struct AppOptions {
    std::string strDataDir;  // empty: the working directory
    bool bHeadless = false;
    std::string strConsole;  // ADDR:PORT of the web console
    bool bNoConsole = false;
    std::string strMetrics;  // ADDR:PORT serving /metrics without the token, or empty
};

// Runs the server until SIGINT or SIGTERM; the result is the process exit code.
int APP_Run(const AppOptions &stOptions);
