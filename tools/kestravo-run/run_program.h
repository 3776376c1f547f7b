// The operating-system half of kestravo-run: starting the program, passing it the stop request
// and signals, and ending as it ends. One implementation per system: run_posix.cpp, run_win32.cpp.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

#include "notify_bridge.h"
#include "output_file.h"

namespace kestravo_run {

struct RunRequest {
  std::vector<std::string> argv;  // the program and its arguments, the identity removed
  std::string guid;               // the stop event's name; empty when there is no identity
  int stopSignal = 0;             // what the program gets on the stop event; 0: nothing
  OutputOptions output;           // where the program's output goes; empty path: where ours goes
  // Where the program starts; empty: here. Changed to by the program's process, after it took the
  // user and group, so that the directory is reached with the user's rights only.
  std::string directory;
  // Readiness, watchdog and restart settings, passed on to the supervisor before the program
  // starts; then what the program reports.
  NotifyOptions notify;
};

// This process's arguments, without its own name.
std::vector<std::string> Arguments(int argc, char** argv);

// What the usage text says of the stop event and of the end.
const char* StopUsage();

// What the usage text says of --output on this system.
const char* OutputUsage();

// The default stop signal.
int DefaultStopSignal();

// Sets or removes a variable of the environment that the program will inherit.
void SetEnvironment(const char* name, const std::string& value);
void UnsetEnvironment(const char* name);

// Makes the program run as USER and/or GROUP (names or numbers; either may be empty): the names
// are resolved now, and HOME, USER and LOGNAME set for a user; the switch itself happens in the
// program's process before it starts, which then leads a session of its own, away from any
// terminal of ours. False with *error where that cannot be done.
bool PrepareUser(const std::string& user, const std::string& group, std::string* error);

// Runs the program to its end and never returns: this process ends with the program's exit
// status, or by the signal that ended it. Exit 126 or 127 when it cannot be started.
[[noreturn]] void RunProgram(const RunRequest& request);

}  // namespace kestravo_run
