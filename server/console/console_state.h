// What the page draws, as JSON published by Server-Sent Events: "state" (the main window, its
// menus, the open prompt, progress and extraction) and the client grid: the whole table ("rows")
// once when a tab subscribes, then "row" for each row that changed and "rowcount" when the number
// of rows changed; "overview" with the counts by phase and the throughput. Main thread.
#pragma once

#include <json/json.h>

#include <string>
#include <vector>

Json::Value CONSOLE_StateJson();
struct ClientRow;
// One grid row; n is the row number from 1, the number the client commands take.
Json::Value CONSOLE_RowJson(int iRow, const ClientRow &stRow);
Json::Value CONSOLE_RowsJson();
// The overview above the grid ("overview" event): clients by phase, TFTP and HTTP bytes per
// second of the last second, and the per-second samples of the last three minutes.
Json::Value CONSOLE_OverviewJson(const std::vector<ClientRow> &vecRows);
// Sends both events when they changed since they were last sent.
void CONSOLE_PublishState();
// The publisher's timer (every 250 ms, so the grid follows transfers), started and stopped with
// the console.
void CONSOLE_StartPublisher();
void CONSOLE_StopPublisher();
