// kestravo-host as a client of a running host: status, start, stop, restart and reload.
#pragma once

#include <string>

namespace kestravo_host {

// Whether the command line asks a running host rather than starts one: its first word, after
// an optional --state-dir DIR, is one of the client's commands.
bool IsClientCommandLine(int argc, char** argv);

// Asks the host found through the state directory and prints its answer. The exit code: 0 done,
// 1 refused (an unknown program, a reload refused), 2 a bad command line or no way to ask,
// 3 no host running.
int RunClient(int argc, char** argv);

std::string ClientUsageText();

}  // namespace kestravo_host
