// The agent's log "kiv_ferrit.log": opened, appended and closed per line, so a crash loses at
// most the line being written and both agent threads may log without a lock.
#pragma once
#include <string>

namespace ferrit {

void AgentLog(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Where the log goes; "kiv_ferrit.log" in the current directory unless a test moves it.
void SetAgentLogPath(const std::string &path);
const std::string &AgentLogPath();

}  // namespace ferrit
