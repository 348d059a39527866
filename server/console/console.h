// The web operator console: an evhttp server on its own thread that draws the main window in a
// browser and hands every command to the main loop, so the controller stays single-threaded.
#pragma once

#include <string>

// Makes the access token (written to "conf/console.token", mode 0600), binds ADDR:PORT, installs
// the console's prompt handlers and starts the console thread and the state publisher. Main
// thread, after the data directory is entered. False, with the reason in pstrError, when the
// address cannot be bound or the token cannot be written; nothing is left running then.
// strMetrics, when not empty, is a second ADDR:PORT serving GET /metrics without the token.
bool CONSOLE_Start(const std::string &strAddrPort, const std::string &strMetrics,
                   std::string *pstrUrl, std::string *pstrError);
// Answers open prompts with their defaults, stops the thread and restores the headless handlers.
void CONSOLE_Stop();
// A stop signal while prompts are open: each is answered with its default so the loop can end.
void CONSOLE_CancelPrompts();
