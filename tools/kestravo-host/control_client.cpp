#include "control_client.h"

#include <stdio.h>
#include <string.h>

#include <set>
#include <vector>

#include "control_socket.h"
#include "host_os.h"
#include "startup.h"
#include "status.h"

namespace kestravo_host {

namespace {

const std::set<std::string> kNamed = {"start", "stop", "restart"};

bool IsCommand(const std::string& word) { return word == "status" || word == "reload" || kNamed.count(word) != 0; }

}  // namespace

bool IsClientCommandLine(int argc, char** argv) {
  int first = argc > 2 && strcmp(argv[1], "--state-dir") == 0 ? 3 : 1;
  return first < argc && IsCommand(argv[first]);
}

std::string ClientUsageText() {
  return "Asking the host that runs on the state directory (found as the host finds it):\n"
         "  kestravo-host [--state-dir DIR] status [--json]   each program's name, hpid, pid,\n"
         "                      state, uptime, restarts and last exit\n"
         "  kestravo-host [--state-dir DIR] stop|start|restart NAME   stops a program with its\n"
         "                      grace, starts it again, or both (its hpid may change)\n"
         "  kestravo-host [--state-dir DIR] reload   re-reads the --file lists (as SIGHUP does):\n"
         "                      new programs start, removed ones stop, changed ones restart\n"
         "  kestravo-host --version\n"
         "Exit codes: 1 refused (an unknown NAME, a list that does not read), 3 no host running.\n";
}

int RunClient(int argc, char** argv) {
  std::string given, command, name;
  bool json = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--state-dir" && i + 1 < argc && argv[i + 1][0] != '\0') {
      given = argv[++i];
    } else if (arg == "--json" && command == "status") {
      json = true;
    } else if (command.empty() && IsCommand(arg)) {
      command = arg;
    } else if (kNamed.count(command) != 0 && name.empty() && !arg.empty()) {
      name = arg;
    } else {
      fprintf(stderr, "kestravo-host: unexpected '%s'\n%s", arg.c_str(), ClientUsageText().c_str());
      return 2;
    }
  }
  if (kNamed.count(command) != 0 && name.empty()) {
    fprintf(stderr, "kestravo-host: %s needs the NAME of a program (kestravo-host status lists them)\n", command.c_str());
    return 2;
  }
  bool byDefault = false;
  std::string dir = ChooseStateDir(given, &byDefault);
  if (dir.empty()) {
    fprintf(stderr, "kestravo-host: no state directory: this user has no home directory; choose --state-dir\n");
    return 2;
  }
  const std::string path = InDirectory(dir, kControlSocketName);
  std::string text, error;
  switch (AskHost(path, name.empty() ? command : command + " " + name, &text, &error)) {
    case Asked::kNoHost:
      fprintf(stderr, "kestravo-host: no host is running on the state directory %s (nothing answers at %s)\n",
              dir.c_str(), path.c_str());
      return 3;
    case Asked::kFailed:
      fprintf(stderr, "kestravo-host: %s\n", error.c_str());
      return 2;
    case Asked::kAnswered:
      break;
  }
  Answer answer;
  if (!ReadAnswer(text, &answer, &error)) {
    fprintf(stderr, "kestravo-host: %s\n", error.c_str());
    return 2;
  }
  if (answer.hasPrograms) fputs((json ? ProgramsJson(answer.programs) : ProgramsTable(answer.programs)).c_str(), stdout);
  if (!answer.message.empty()) {
    fprintf(answer.code == 0 ? stdout : stderr, "%s%s\n", answer.code == 0 ? "" : "kestravo-host: ", answer.message.c_str());
  }
  return answer.code;
}

}  // namespace kestravo_host
