// The client detail's timeline: the row's statuses with the time since the first request, and
// the start time for a row whose own clock was reset when it finished.
#pragma once

#include <json/json.h>

void DLG_AddClientHistory(int iRow, Json::Value &stDlg);
