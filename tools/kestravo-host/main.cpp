// kestravo-host: a small host program over libkestravo, loaded with dlopen. See UsageText().
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include "command_list.h"
#include "library.h"
#include "supervisor.h"

int main(int argc, char** argv) {
  using namespace kestravo_host;
  Options options;
  std::string error;
  Parse parse = ParseOptions(argc, argv, &options, &error);
  if (parse == Parse::kHelp) {
    fputs(UsageText(), stdout);
    return 0;
  }
  if (parse == Parse::kUsage) {
    fprintf(stderr, "kestravo-host: %s\n%s", error.c_str(), UsageText());
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
  // Blocked before any thread exists, so that every thread inherits the mask and only the main
  // thread takes them (children start with an empty mask). A closed output must not end the host.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, s);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // The library reads it at KESTRAVO_Init.
  if (!options.stateDir.empty()) setenv("KESTRAVO_STATE_DIR", options.stateDir.c_str(), 1);

  Library library;
  if (!LoadLibrary(&library, &error)) {
    fprintf(stderr, "kestravo-host: %s\n", error.c_str());
    return 1;
  }
  return Supervisor(library, options).Run();
}
