// What crosses between the console thread and the main thread.
//
// The console thread never waits for the main thread: a command is queued to the main loop and
// its reply comes back through the outbox, because while a command shows a prompt the same
// console thread must serve the operator's answer.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <json/json.h>

struct ConsoleReply {
    int iCode = 200;
    std::string strType = "application/json";
    std::string strBody;
};

ConsoleReply ConsoleJson(const Json::Value &stValue, int iCode = 200);

// Main thread: runs one named command of the console API with its JSON arguments; refused with
// 409 while a prompt is open, 404 for an unknown name.
ConsoleReply CONSOLE_RunCommand(const std::string &strName, const Json::Value &stArgs);

// Any thread: hands a Server-Sent Event to every subscriber; the console keeps the last data of
// each event name for subscribers that come later.
void CONSOLE_Broadcast(const std::string &strEvent, const std::string &strData);
// Any thread: replaces the kept data of strSnapshotEvent without sending it, and hands the
// events (name, data) to every subscriber: a tab gets the snapshot once when it subscribes and
// the changes after it.
void CONSOLE_BroadcastChanges(const std::string &strSnapshotEvent, const std::string &strSnapshot,
                              const std::vector<std::pair<std::string, std::string>> &vecEvents);
// Any thread: a text the console thread serves as it is (the metrics), kept apart from events.
void CONSOLE_SetDocument(const std::string &strName, const std::string &strText);
// Any thread: the last data of an event ("state", "rows"), empty when none was sent.
std::string CONSOLE_LastEvent(const std::string &strEvent);

// Console thread: the operator's answer to prompt uiId. False when no such prompt is open.
bool CONSOLE_AnswerPrompt(uint64_t ullId, const Json::Value &stAnswer);
