// kestravo-host: a small host program over libkestravo, loaded at run time. See UsageText().
#include <stdio.h>
#include <stdlib.h>

#include "command_list.h"
#include "../path_search.h"
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
  if (parse == Parse::kBadFile) {
    fprintf(stderr, "kestravo-host: %s\n", error.c_str());
    return 2;
  }
  if (parse == Parse::kUsage) {
    fprintf(stderr, "kestravo-host: %s\n%s", error.c_str(), UsageText().c_str());
    return 2;
  }
  // Refused now rather than restarted for ever.
  for (const Command& command : options.commands) {
    std::string why = kestravo_tools::WhyNotRunnable(command.program);
    if (!why.empty()) {
      fprintf(stderr, "kestravo-host: cannot run %s: %s\n", command.given.c_str(), why.c_str());
      return 2;
    }
  }
  // Made absolute now: the library reads it at KESTRAVO_Init, from a private working directory.
  // A given directory must exist (a typo would otherwise lose the recovery); the default is made.
  std::string stateDir = options.stateDir.empty() ? StateDir() : kestravo_tools::AbsolutePath(options.stateDir);
  const bool byDefault = stateDir.empty();
  if (byDefault) stateDir = DefaultStateDir();
  if (stateDir.empty()) {
    fprintf(stderr, "kestravo-host: no state directory: this user has no home directory; choose --state-dir\n");
    return 2;
  }
  if (!UseStateDir(stateDir, byDefault, &error)) {
    fprintf(stderr, "kestravo-host: cannot use the state directory %s: %s\n", stateDir.c_str(), error.c_str());
    return 2;
  }
  SetEnv("KESTRAVO_STATE_DIR", stateDir);  // the library's own default would be beside this program
  NameCommands(&options.commands);
  if (!options.native && !options.noOutput) {
    NameOutputFiles(options.outputDir.empty() ? stateDir : kestravo_tools::AbsolutePath(options.outputDir), &options.commands);
    for (const Command& command : options.commands) {
      if (!command.output.empty() && !PrepareOwnFile(command.output, &error)) {
        fprintf(stderr, "kestravo-host: cannot use the output file %s: %s\n", command.output.c_str(), error.c_str());
        return 2;
      }
    }
  } else {
    options.outputNote = options.native ? "not kept (--native: the library gives children no output)" : "not kept (--no-output)";
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

  Library library;
  if (!LoadLibrary(&library, &error)) {
    fprintf(stderr, "kestravo-host: %s\n", error.c_str());
    return 1;
  }
  return Supervisor(library, options).Run();
}
