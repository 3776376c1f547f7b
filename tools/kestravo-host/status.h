// What a running kestravo-host tells a client: each program's state, and the answer to a control
// request, in JSON on the control socket; and the table the client prints of it.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace kestravo_host {

// The states a program is shown in.
constexpr char kRunning[] = "running";  // runs; it has no ready setting
// created and not yet ready: its first pid not seen yet, or, for a program with a ready setting,
// its current process has not said ready yet
constexpr char kStarting[] = "starting";
constexpr char kReady[] = "ready";      // its current process said it is ready
constexpr char kWaiting[] = "waiting";  // not started until the programs its after names are ready
constexpr char kWaitingToRestart[] = "waiting to restart";  // ended; the library restarts it soon
// ended, and either its restart policy leaves it ended (no next try), or starting it again failed
// (the library retries every 30 s or so)
constexpr char kExited[] = "exited";
constexpr char kStopping[] = "stopping";  // its stop event is set; ends by itself or is killed after its grace
constexpr char kStopped[] = "stopped";                // stopped on request; start NAME starts it
// Its program cannot be run, or the library refused its start; tried again at reload and start NAME.
constexpr char kFailed[] = "failed";

struct ProgramStatus {
  std::string name;
  int64_t hpid = -1, pid = -1;  // -1: none (stopped, or no pid seen yet)
  int64_t programPid = -1;      // the program's own: kestravo-run's child, or pid without it; -1: unknown
  std::string state;
  double uptimeSeconds = -1;  // of its current process; -1: not running
  uint64_t restarts = 0;
  std::string lastExit;  // how its last process ended, or how it was stopped; empty: not yet
  double nextTrySeconds = -1;  // until the library starts it again (waiting to restart, exited); -1: none
  // Why its last process ended: "exited", "signal", "watchdog", "not ready", "out of memory"; empty: not known
  std::string lastCause;
  std::string statusText;  // the last STATUS line it sent; empty: none
};

// A piece of a program's output file, for "log": text up to offset in the file of that identity,
// which the next request of a follower names.
struct LogPiece {
  std::string text;
  std::string file;  // the file's identity (see ReadOwnFile)
  uint64_t offset = 0;
};

// The host's answer to one request: a result code (the client's exit code), a message for a
// person, for "status" the programs and for "log" a piece of output.
struct Answer {
  Answer() = default;
  Answer(int code, std::string message) : code(code), message(std::move(message)) {}
  int code = 0;
  std::string message;
  bool hasPrograms = false;
  std::vector<ProgramStatus> programs;
  bool hasLog = false;
  LogPiece log;
};

std::string AnswerJson(const Answer& answer);
// False, with *error, for a text that is not such an answer.
bool ReadAnswer(const std::string& json, Answer* answer, std::string* error);
// {"programs": [...]}, as `status --json` prints it.
std::string ProgramsJson(const std::vector<ProgramStatus>& programs);
// One line a program under a header: NAME HPID PID PROGRAM STATE UPTIME RESTARTS LAST EXIT, and
// under it, indented, the last STATUS line when it sent one.
std::string ProgramsTable(const std::vector<ProgramStatus>& programs);
// "45s", "3m 05s", "2h 10m", "4d 03h".
std::string UptimeText(double seconds);

}  // namespace kestravo_host
