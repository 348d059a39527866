// The console's operator prompts. A prompt is modal: the main thread publishes it and runs nested
// main-context iterations (timers keep running) until the operator answers in the browser; while
// one is open the console refuses other commands. Progress is shown without waiting.
#pragma once

#include <json/json.h>

// Main thread: install or remove the handlers of prompt.h.
void CONSOLE_InstallPromptHandlers();
void CONSOLE_RemovePromptHandlers();
// A command given by a script ("kivpxe ctl"): while it runs, its prompts are not shown; messages
// are collected for its reply and questions take their default button, or Yes when bConfirmed
// (the script's order is the operator's explicit answer, e.g. to "stop it?").
void CONSOLE_BeginUnattended(bool bConfirmed);
Json::Value CONSOLE_EndUnattended();  // the messages collected
// Any thread.
bool CONSOLE_PromptOpen();
// The prompt on top (null when none) and the progress indicator (null when closed).
Json::Value CONSOLE_PromptJson();
Json::Value CONSOLE_ProgressJson();
