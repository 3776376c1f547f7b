// What kestravo-host is asked to do: its options and the commands it supervises.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "common/stop_grace.h"

namespace kestravo_host {

// One child as the library is given it: the program and the rest of the command line, which
// ends with a blank so that the library's marker stays an argument of its own.
struct Command {
  std::string name;  // how the user and the control commands call it; unique within a run
  std::string program;
  std::string cmdLine;
  std::string shown;  // as the user wrote it, for messages
  std::string given;  // the program as the user named it
  bool viaAdapter = false;  // run through kestravo-run
  std::string output;       // the file kestravo-run appends its output to; empty: none
  std::string stopSignal;   // what kestravo-run turns the stop event into ("INT"); empty: its default
  uint32_t graceMs = 0;     // how long a stop waits before the kill; 0: the library's default
  // What kestravo-run sets up before the program starts; empty: as the host has it.
  std::string directory;
  std::vector<std::string> setEnv;    // NAME=VALUE, after the removals
  // The owner-only file that hands setEnv to kestravo-run (NAME.env in the state directory), so
  // that no value shows in its command line, which every user can read; empty: none.
  std::string envFile;
  std::vector<std::string> unsetEnv;  // NAME
  std::string user, group;            // names or numbers
  std::string outputGiven;  // a file (a relative one in the output directory) or "none"; empty: NAME.log
  std::string outputSize;   // as kestravo-run takes it ("10M"); empty: its default
  int outputKeep = -1;      // old output files kept; -1: kestravo-run's default
  int autostart = -1;       // 0: listed stopped when the host starts, until start NAME; -1: unset (started)
  // Readiness, liveness, limits and restart policy, as kestravo-run's options take them; empty:
  // its default. ready: "notify", "fd N" or "after TIME"; a program without it counts as ready
  // once it runs.
  std::string restart, successExit, ready, readyTimeout, watchdog, memoryMax, tasksMax, cpuMax;
  uint32_t readyTimeoutMs = 0;  // 0: none given
  // The programs that must be ready before this one starts, and where the file names them.
  std::vector<std::string> after;
  std::string afterPlace;
  // The program itself (not kestravo-run), checked again at each start by name, and why it
  // could not be run when the commands were made ready; empty: it could.
  std::string runs;
  std::string cannotRun;
  std::string place;        // "PATH:LINE" of a program from a programs file, for its errors; else empty
};

struct Options {
  double forSeconds = 0;  // 0: until a stop is requested
  bool native = false;    // the programs speak the child protocol themselves
  std::string stateDir;   // --state-dir: handed to the library, made absolute, as KESTRAVO_STATE_DIR
  std::string outputDir;  // --output-dir; empty: the state directory
  bool noOutput = false;  // --no-output
  std::string statusGroup;  // --status-group: may read status and output; empty: none
  std::string outputNote;  // why the programs' output is not kept; empty when it is
  std::vector<std::string> files;  // --file: the lists a reload reads again
  std::vector<Command> commands;
};

enum class Parse { kRun, kHelp, kUsage, kBadFile };

// Reads argv; on kUsage and kBadFile (a programs file that cannot be used), *error says what is
// wrong.
Parse ParseOptions(int argc, char** argv, Options* options, std::string* error);

std::string UsageText();

// A program given without a slash is looked up in PATH, as a shell would; any program is made
// absolute, so that the state file names it wherever the host is started next. A name that is
// not found stays as it is, and the library reports it.
std::string ResolveProgram(const std::string& program);

// The adapter that runs ordinary programs: kestravo-run beside this program, else in PATH.
// Empty when there is none.
std::string FindAdapter();

// The grace of a stop when none is given: the library's own.
constexpr uint32_t kDefaultGraceMs = kestravo::kDefaultStopGraceMs;

// Names each command that has no name after its program's file (sleep for /bin/sleep; a second
// one becomes sleep-2), skipping names already taken, so that a restarted host names the same.
void NameCommands(std::vector<Command>* commands);

// Gives each command the output file NAME.log in dir.
void NameOutputFiles(const std::string& dir, std::vector<Command>* commands);

// Makes the command run through the adapter: the adapter is the program, its options (output
// file, stop signal) follow, and the real program and its arguments come after "--".
void ThroughAdapter(const std::string& adapter, Command* command);

// A line of a command list: the program (quoted when it holds blanks) and its arguments, which
// go to the library as they stand. False for a blank line or a comment.
bool CommandFromLine(const std::string& line, Command* command);

}  // namespace kestravo_host
