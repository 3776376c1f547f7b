// kestravo-host as a client of a running host: status, log, signal, start, stop, restart and reload.
#pragma once

#include <string>

namespace kestravo_host {

// Whether the command line asks a running host rather than starts one: its first word, after
// an optional --state-dir DIR, is one of the client's commands.
bool IsClientCommandLine(int argc, char** argv);

// Asks the host found through the state directory (for a user with no host of its own, the
// system's) and prints its answer. The exit code: 0 done, 1 refused (an unknown program, a reload
// or signal refused), 2 a bad command line or no way to ask, 3 a status that shows a program not
// running, 4 a status of an unknown program, 5 no host running.
int RunClient(int argc, char** argv);

std::string ClientUsageText();

}  // namespace kestravo_host
