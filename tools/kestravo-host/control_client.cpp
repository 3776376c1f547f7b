#include "control_client.h"

#include <stdio.h>
#include <string.h>

#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "control_socket.h"
#include "host_os.h"
#include "startup.h"
#include "status.h"

namespace kestravo_host {

namespace {

const std::set<std::string> kNamed = {"start", "stop", "restart"};
constexpr int kNoHost = 5;
constexpr int kFollowPauseMs = 250;  // between a follower's requests while nothing new came

bool IsCommand(const std::string& word) {
  return word == "status" || word == "reload" || word == "signal" || word == "log" || kNamed.count(word) != 0;
}

// The host's answer, or the exit code and message of not getting one (kNoHost: nothing answers).
int Ask(const std::string& path, const std::string& request, Answer* answer) {
  std::string text, error;
  switch (AskHost(path, request, &text, &error)) {
    case Asked::kNoHost:
      return kNoHost;
    case Asked::kFailed:
      fprintf(stderr, "kestravo-host: %s\n", error.c_str());
      return 2;
    case Asked::kAnswered:
      break;
  }
  if (!ReadAnswer(text, answer, &error)) {
    fprintf(stderr, "kestravo-host: %s\n", error.c_str());
    return 2;
  }
  return -1;
}

// Prints the last lines of a program's output, then with follow what it adds, across rotations,
// asking again while nothing new comes; until the host ends or refuses.
int Log(const std::string& path, const std::string& name, const std::string& lines, bool follow) {
  std::string request = "log " + name + " " + lines;
  for (bool first = true;; first = false) {
    Answer answer;
    int code = Ask(path, request, &answer);
    if (code >= 0 || answer.code != 0 || !answer.hasLog) {
      if (code < 0 && !answer.message.empty()) fprintf(stderr, "kestravo-host: %s\n", answer.message.c_str());
      if (code == kNoHost && !first) fprintf(stderr, "kestravo-host: the host is gone (nothing answers at %s)\n", path.c_str());
      return code >= 0 ? code : answer.code != 0 ? answer.code : 2;
    }
    fwrite(answer.log.text.data(), 1, answer.log.text.size(), stdout);
    fflush(stdout);
    if (!follow) return 0;
    if (answer.log.text.empty() && request.rfind(" " + answer.log.file + " ") != std::string::npos)
      std::this_thread::sleep_for(std::chrono::milliseconds(kFollowPauseMs));
    request = "log " + name + " 0 " + answer.log.file + " " + std::to_string(answer.log.offset);
  }
}

}  // namespace

bool IsClientCommandLine(int argc, char** argv) {
  int first = argc > 2 && strcmp(argv[1], "--state-dir") == 0 ? 3 : 1;
  return first < argc && IsCommand(argv[first]);
}

std::string ClientUsageText() {
  return "Asking the host that runs on the state directory (found as the host finds it; a user\n"
         "with no host of its own asks the system's, in " + SystemStateDir() + "):\n"
         "  kestravo-host [--state-dir DIR] status [--json] [NAME...]   each program's name,\n"
         "                      hpid, pid, its program's pid, state, uptime, restarts and last exit\n"
         "  kestravo-host [--state-dir DIR] stop|start|restart NAME   stops a program with its\n"
         "                      grace, starts it again, or both (its hpid may change)\n"
         "  kestravo-host [--state-dir DIR] signal NAME SIGNAL   sends SIGNAL (HUP, SIGUSR1, 10)\n"
         "                      to the program itself, not to kestravo-run\n"
         "  kestravo-host [--state-dir DIR] log NAME [-n N] [-f]   the last N lines (10) of its\n"
         "                      output; -f follows it, across rotations\n"
         "  kestravo-host [--state-dir DIR] reload   re-reads the --file lists (as SIGHUP does):\n"
         "                      new programs start, removed ones stop, changed ones restart\n"
         "  kestravo-host --version\n"
         "Exit codes: 1 refused (an unknown NAME, a list that does not read), 2 a bad command\n"
         "line or no access, 3 (status) a program shown is not running, 4 (status) an unknown\n"
         "NAME, 5 no host running.\n";
}

int RunClient(int argc, char** argv) {
  std::string given, command, lines = "10";
  std::vector<std::string> names;
  bool json = false, follow = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    const bool named = kNamed.count(command) != 0 || command == "log";
    if (arg == "--state-dir" && i + 1 < argc && argv[i + 1][0] != '\0') {
      given = argv[++i];
    } else if (arg == "--json" && command == "status") {
      json = true;
    } else if (command == "log" && arg == "-f") {
      follow = true;
    } else if (command == "log" && arg == "-n") {
      const char* value = i + 1 < argc ? argv[++i] : "";
      if (value[0] == '\0' || strspn(value, "0123456789") != strlen(value) || strlen(value) > 9) {
        fprintf(stderr, "kestravo-host: -n takes a number of lines, not '%s'\n", value);
        return 2;
      }
      lines = value;
    } else if (command.empty() && IsCommand(arg)) {
      command = arg;
    } else if (!arg.empty() && arg[0] != '-' &&
               (command == "status" || (named && names.empty()) || (command == "signal" && names.size() < 2))) {
      names.push_back(arg);
    } else {
      fprintf(stderr, "kestravo-host: unexpected '%s'\n%s", arg.c_str(), ClientUsageText().c_str());
      return 2;
    }
  }
  if ((kNamed.count(command) != 0 || command == "log") && names.empty()) {
    fprintf(stderr, "kestravo-host: %s needs the NAME of a program (kestravo-host status lists them)\n", command.c_str());
    return 2;
  }
  if (command == "signal" && names.size() != 2) {
    fprintf(stderr, "kestravo-host: signal needs the NAME of a program and a SIGNAL (HUP, SIGUSR1, 10)\n");
    return 2;
  }
  bool byDefault = false;
  std::string dir = ChooseStateDir(given, &byDefault);
  if (dir.empty()) {
    fprintf(stderr, "kestravo-host: no state directory: this user has no home directory; choose --state-dir\n");
    return 2;
  }
  // A user with no host of its own asks the system's.
  const std::string system = SystemStateDir();
  if (byDefault && !system.empty() && dir != system && !ControlExists(InDirectory(dir, kControlSocketName))) dir = system;
  const std::string path = InDirectory(dir, kControlSocketName);
  std::string request = command;
  for (const std::string& name : names) request += " " + name;
  Answer answer;
  const int code = command == "log" ? Log(path, names[0], lines, follow) : Ask(path, request, &answer);
  if (code == kNoHost) {
    fprintf(stderr, "kestravo-host: no host is running on the state directory %s (nothing answers at %s)\n", dir.c_str(), path.c_str());
    return kNoHost;
  }
  if (code >= 0) return code;
  if (answer.hasPrograms) fputs((json ? ProgramsJson(answer.programs) : ProgramsTable(answer.programs)).c_str(), stdout);
  if (!answer.message.empty()) {
    fprintf(answer.code == 0 || (answer.code == 3 && answer.hasPrograms) ? stdout : stderr, "%s%s\n",
            answer.code == 0 ? "" : "kestravo-host: ", answer.message.c_str());
  }
  return answer.code;
}

}  // namespace kestravo_host
