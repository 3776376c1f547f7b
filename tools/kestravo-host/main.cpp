// kestravo-host: a small host program over libkestravo, loaded at run time. See UsageText().
#include <stdio.h>
#include <stdlib.h>

#include "command_list.h"
#include "host_os.h"
#include "library.h"
#include "supervisor.h"

int main(int argc, char** argv) {
  using namespace kestravo_host;
  Options options;
  std::string error;
  Parse parse = ParseOptions(argc, argv, &options, &error);
  if (parse == Parse::kHelp) {
    fputs(UsageText().c_str(), stdout);
    return 0;
  }
  if (parse == Parse::kUsage) {
    fprintf(stderr, "kestravo-host: %s\n%s", error.c_str(), UsageText().c_str());
    return 2;
  }
  if (!options.native) {
    std::string adapter = FindAdapter();
    if (adapter.empty()) {
      fprintf(stderr, "kestravo-host: kestravo-run is neither beside kestravo-host nor in PATH; "
                      "install it, or use --native for programs that speak the child protocol\n");
      return 1;
    }
    for (Command& command : options.commands) ThroughAdapter(adapter, &command);
  }
  CatchStopRequests();  // before any thread exists

  // The library reads it at KESTRAVO_Init.
  if (!options.stateDir.empty()) SetEnv("KESTRAVO_STATE_DIR", options.stateDir);

  Library library;
  if (!LoadLibrary(&library, &error)) {
    fprintf(stderr, "kestravo-host: %s\n", error.c_str());
    return 1;
  }
  return Supervisor(library, options).Run();
}
