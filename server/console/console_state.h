// What the page draws, as JSON published by Server-Sent Events: "state" (the main window, its
// menus, the open prompt, progress and extraction) and "rows" (the client grid). Main thread.
#pragma once

#include <json/json.h>

Json::Value CONSOLE_StateJson();
Json::Value CONSOLE_RowsJson();
// Sends both events when they changed since they were last sent.
void CONSOLE_PublishState();
// The publisher's timer (every 250 ms, so the grid follows transfers), started and stopped with
// the console.
void CONSOLE_StartPublisher();
void CONSOLE_StopPublisher();
