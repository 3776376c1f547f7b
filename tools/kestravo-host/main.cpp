// kestravo-host: a small host program over libkestravo, loaded at run time, and a client of a
// running one. See UsageText() and ClientUsageText().
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "command_list.h"
#include "control_client.h"
#include "host_os.h"
#include "library.h"
#include "startup.h"
#include "supervisor.h"
#ifdef _WIN32
#include "service_win32.h"
#endif

namespace {

int RunHost(int argc, char** argv) {
  using namespace kestravo_host;
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    printf("kestravo-host %s\n", KESTRAVO_VERSION);
    return 0;
  }
  if (IsClientCommandLine(argc, argv)) return RunClient(argc, argv);
  Options options;
  std::string error;
  Parse parse = ParseOptions(argc, argv, &options, &error);
  if (parse == Parse::kHelp) {
    fputs((UsageText() + ClientUsageText()).c_str(), stdout);
    return 0;
  }
  if (parse == Parse::kBadFile) {
    fprintf(stderr, "kestravo-host: %s\n", error.c_str());
    return 2;
  }
  if (parse == Parse::kUsage) {
    fprintf(stderr, "kestravo-host: %s\n%s%s", error.c_str(), UsageText().c_str(), ClientUsageText().c_str());
    return 2;
  }
  // The service's unit names the group in its environment, as --status-group would.
  const char* group = getenv("KESTRAVO_STATUS_GROUP");
  if (options.statusGroup.empty() && group != nullptr) options.statusGroup = group;
  // A given directory must exist (a typo would otherwise lose the recovery); the default is made.
  bool byDefault = false;
  std::string stateDir = ChooseStateDir(options.stateDir, &byDefault);
  if (stateDir.empty()) {
    fprintf(stderr, "kestravo-host: no state directory: this user has no home directory; choose --state-dir\n");
    return 2;
  }
  if (!UseStateDir(stateDir, byDefault, &error)) {
    fprintf(stderr, "kestravo-host: cannot use the state directory %s: %s\n", stateDir.c_str(), error.c_str());
    return 2;
  }
  SetEnv("KESTRAVO_STATE_DIR", stateDir);  // the library's own default would be beside this program
  if (int code = PrepareCommands(&options, stateDir, &error)) {
    fprintf(stderr, "kestravo-host: %s\n", error.c_str());
    return code;
  }
  CatchStopRequests();  // before any thread exists

  Library library;
  if (!LoadLibrary(&library, &error)) {
    fprintf(stderr, "kestravo-host: %s\n", error.c_str());
    return 1;
  }
  return Supervisor(library, options, std::vector<std::string>(argv, argv + argc)).Run();
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  int code = 0;
  if (kestravo_host::RunServiceCommand(argc, argv, RunHost, &code)) return code;
#endif
  return RunHost(argc, argv);
}
