// Headless visibility of the client table: each change of a row is printed on standard output as
// one line, so that scripts and the journal can follow a deployment without a console.
#pragma once

#include <functional>
#include <string>

#include "client_table.h"

// "CLIENT <mac> <address> <progress|-> <status>", progress as a whole percent.
std::string ClientRowLine(const ClientRow &stRow);
// A row-change hook that prints and flushes a row's line when it differs from the last line
// printed for that row; progress counts in whole percent, so a transfer prints at most about a
// hundred lines.
std::function<void(int, const ClientRow &)> ClientRowPrinter();
// "SERVICE <text>": the deployment's own state changes (started, stopped), printed and flushed
// beside the row lines so a script can wait for them.
void PrintServiceLine(const std::string &strText);
