// The dialogs of the console as functions of the main thread: each "Get" returns what the dialog
// shows on opening, each "Apply" checks the operator's input in the dialog's order, shows the
// refusal as a prompt and returns false (the dialog stays open), or stores it and returns true.
#pragma once

#include <json/json.h>

// "Please enter an integer between %d and %d." for a number outside its field's range.
bool DLG_CheckRange(const Json::Value &stArgs, const char *pcKey, long lMin, long lMax,
                    const char *pcCaption);

Json::Value DLG_ServerConfigGet();
bool DLG_ServerConfigApply(const Json::Value &stArgs);
Json::Value DLG_NfsGet();
bool DLG_NfsApply(const Json::Value &stArgs);
Json::Value DLG_ExtBootGet();
// "Active" toggled: stored in the record at once (Cancel does not undo it).
bool DLG_ExtBootActive(const Json::Value &stArgs);
bool DLG_ExtBootApply(const Json::Value &stArgs);
Json::Value DLG_WinKeyGet();
bool DLG_WinKeyApply(const Json::Value &stArgs);
Json::Value DLG_BaseDriverGet();
// Runs "sh dll/loaddrv.sh <package> <directory>" and waits; message 20 when it could be started.
Json::Value DLG_BaseDriverLoad(const Json::Value &stArgs);
Json::Value DLG_LogConfigGet();
bool DLG_LogConfigApply(const Json::Value &stArgs);
Json::Value DLG_PluginsGet();
Json::Value DLG_ClientDetail(const Json::Value &stArgs);

// ISO extraction: the chosen ISO (message 18 unless ISO 9660) and its proposed destination,
// start, stop (asks message 16) and the state the page shows.
Json::Value DLG_ExtractChooseIso(const Json::Value &stArgs);
bool DLG_ExtractStart(const Json::Value &stArgs);
// Stop asks first; close stops too and gives up a service start that waits for the extraction.
bool DLG_ExtractStop();
bool DLG_ExtractClose();
Json::Value DLG_ExtractState();
