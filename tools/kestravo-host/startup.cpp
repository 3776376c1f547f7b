#include "startup.h"

#include <filesystem>
#include <map>

#include "control_socket.h"
#include "host_os.h"
#include "host_state.h"
#include "library.h"
#include "path_search.h"

namespace kestravo_host {

std::string ChooseStateDir(const std::string& given, bool* byDefault) {
  // Made absolute now: the library reads it at KESTRAVO_Init, from a private working directory.
  std::string dir = given.empty() ? StateDir() : kestravo_tools::AbsolutePath(given);
  *byDefault = dir.empty();
  return dir.empty() ? DefaultStateDir() : dir;
}

int PrepareCommands(Options* options, const std::string& stateDir, std::string* error) {
  // A program from a programs file is named by its place there.
  auto at = [](const Command& command) { return command.place.empty() ? std::string() : command.place + ": "; };
  // Not started rather than restarted for ever: shown as failed, and tried again at a reload or a
  // start by name. The one program of a command line is refused outright, the host's whole task.
  for (Command& command : options->commands) {
    command.runs = command.program;
    command.cannotRun = kestravo_tools::WhyNotRunnable(command.program);
    if (!command.cannotRun.empty() && options->files.empty() && options->commands.size() == 1) {
      *error = "cannot run " + command.given + ": " + command.cannotRun;
      return 2;
    }
  }
  NameCommands(&options->commands);
  if (!options->native && !options->noOutput) {
    NameOutputFiles(options->outputDir.empty() ? stateDir : kestravo_tools::AbsolutePath(options->outputDir), &options->commands);
    // A program's output must not land in the files of the library or the host (a program named
    // kestravo would write into the library's log), nor in another program's output file.
    std::map<std::string, std::string> taken;
    auto normal = [](const std::string& path) { return std::filesystem::path(path).lexically_normal().string(); };
    for (const char* own : {"kestravo.xml", "kestravo.xml.lock", "kestravo.log", kControlSocketName, kHostStateName})
      taken[normal(InDirectory(stateDir, own))] = "the host's own file";
    for (const Command& command : options->commands) taken[normal(InDirectory(stateDir, command.name + ".env"))] = command.name + "'s settings file";
    for (const Command& command : options->commands) {
      if (command.output.empty()) continue;
      auto [it, added] = taken.emplace(normal(command.output), command.name + "'s output file");
      if (!added) {
        *error = at(command) + "cannot use the output file " + command.output + " for " + command.name + ": it is " + it->second;
        return 2;
      }
    }
    for (const Command& command : options->commands) {
      if (!command.output.empty() && !PrepareOwnFile(command.output, error, command.user)) {
        *error = at(command) + "cannot use the output file " + command.output + ": " + *error;
        return 2;
      }
    }
  } else {
    options->outputNote = options->native ? "not kept (--native: the library gives children no output)" : "not kept (--no-output)";
  }
  if (!options->native) {
    std::string adapter = FindAdapter();
    if (adapter.empty()) {
      *error = "kestravo-run is neither beside kestravo-host nor in PATH; "
               "install it, or use --native for programs that speak the child protocol";
      return 1;
    }
    for (Command& command : options->commands) {
      // The values reach the adapter through a file only the host's user can read: its command
      // line is every user's to read in /proc.
      if (!command.setEnv.empty()) {
        std::string text;
        for (const std::string& pair : command.setEnv) text += pair + '\0';
        command.envFile = InDirectory(stateDir, command.name + ".env");
        if (!WritePrivateFile(command.envFile, text, error)) {
          *error = "cannot write " + command.envFile + ": " + *error;
          return 2;
        }
      }
      ThroughAdapter(adapter, &command);
    }
  }
  return 0;
}

}  // namespace kestravo_host
