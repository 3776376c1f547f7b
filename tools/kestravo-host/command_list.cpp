#include "command_list.h"

#include "host_os.h"
#include "../command_line.h"
#include "../path_search.h"

#include <stdlib.h>

#include <cmath>
#include <fstream>

namespace kestravo_host {

namespace {

constexpr char kSeparator[] = ":::";

using kestravo_tools::QuoteArgument;

bool ParseSeconds(const char* text, double* seconds) {
  char* end = nullptr;
  double value = strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(value) || value <= 0 || value > 1e9) return false;
  *seconds = value;
  return true;
}

bool ReadCommandFile(const std::string& path, std::vector<Command>* commands, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read the command list " + path;
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    Command command;
    if (CommandFromLine(line, &command)) commands->push_back(command);
  }
  return true;
}

}  // namespace

std::string UsageText() {
  return std::string(
             "usage: kestravo-host [--for SECONDS] [--native] [--state-dir DIR] -- PROGRAM [ARGS...] [::: PROGRAM [ARGS...]]...\n"
             "       kestravo-host [--for SECONDS] [--native] [--state-dir DIR] --file LIST\n"
             "Supervises the programs through libkestravo: restarts those that exit, and stops them\n"
             "on ") +
         StopRequestsText() +
         " or when SECONDS have passed. Each program runs under kestravo-run,\n"
         "which keeps the library's identity off its arguments and turns the stop event into\n" +
         AdapterStopText() +
         "; with --native the programs get the identity and wait on the stop event\n"
         "themselves. LIST holds one command a line; blank lines and lines starting with # are\n"
         "skipped.\n"
         "The library keeps its state file, kestravo.xml, in DIR (an existing directory), else in\n"
         "$KESTRAVO_STATE_DIR, else in systemd's $STATE_DIRECTORY, else beside this program; its\n"
         "log goes to kestravo.log there, or to the journal when standard error is the journal.\n";
}

std::string ResolveProgram(const std::string& program) {
  std::string found = kestravo_tools::FindProgram(program);
  return kestravo_tools::HasDirectory(found) ? kestravo_tools::AbsolutePath(found) : program;
}

std::string FindAdapter() {
  std::string beside = BesideExecutable(AdapterFileName());
  if (kestravo_tools::IsExecutableFile(beside)) return beside;
  std::string found = ResolveProgram(AdapterFileName());
  return kestravo_tools::HasDirectory(found) ? found : std::string();
}

void ThroughAdapter(const std::string& adapter, Command* command) {
  command->cmdLine = "-- " + QuoteArgument(command->program) + " " + command->cmdLine;
  command->program = adapter;
  command->viaAdapter = true;
}

bool CommandFromLine(const std::string& line, Command* command) {
  size_t start = line.find_first_not_of(" \t\r");
  if (start == std::string::npos || line[start] == '#') return false;
  size_t end = line.find_last_not_of(" \t\r") + 1;
  std::string text = line.substr(start, end - start);
  size_t programEnd;
  if (text[0] == '"') {
    size_t quote = text.find('"', 1);
    programEnd = quote == std::string::npos ? text.size() : quote + 1;
    command->program = text.substr(1, (quote == std::string::npos ? text.size() : quote) - 1);
  } else {
    programEnd = std::min(text.find_first_of(" \t"), text.size());
    command->program = text.substr(0, programEnd);
  }
  size_t args = text.find_first_not_of(" \t", programEnd);
  command->cmdLine = args == std::string::npos ? "" : text.substr(args) + " ";
  command->program = ResolveProgram(command->program);
  command->shown = text;
  return true;
}

Parse ParseOptions(int argc, char** argv, Options* options, std::string* error) {
  int i = 1;
  std::vector<std::string> files;
  bool dashes = false;
  for (; i < argc && !dashes; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") return Parse::kHelp;
    if (arg == "--") {
      dashes = true;
    } else if (arg == "--native") {
      options->native = true;
    } else if (arg == "--for" || arg == "--file" || arg == "--state-dir") {
      if (i + 1 >= argc) {
        *error = arg + " needs a value";
        return Parse::kUsage;
      }
      const char* value = argv[++i];
      if (arg == "--file") {
        files.push_back(value);
      } else if (arg == "--state-dir") {
        options->stateDir = value;
        if (options->stateDir.empty()) {
          *error = "--state-dir needs a directory";
          return Parse::kUsage;
        }
      } else if (!ParseSeconds(value, &options->forSeconds)) {
        *error = std::string("--for takes a positive number of seconds, not '") + value + "'";
        return Parse::kUsage;
      }
    } else {
      *error = "unknown option '" + arg + "'";
      return Parse::kUsage;
    }
  }
  for (const std::string& file : files) {
    if (!ReadCommandFile(file, &options->commands, error)) return Parse::kUsage;
  }
  // After "--": commands separated by ":::".
  while (dashes) {
    Command command;
    bool haveProgram = false;
    for (; i < argc && std::string(argv[i]) != kSeparator; ++i) {
      if (!haveProgram) {
        haveProgram = true;
        command.program = ResolveProgram(argv[i]);
        command.shown = argv[i];
      } else {
        command.cmdLine += QuoteArgument(argv[i]) + " ";
        command.shown += " " + QuoteArgument(argv[i]);
      }
    }
    if (!haveProgram || command.program.empty()) {
      *error = "a program is missing before or after ':::'";
      return Parse::kUsage;
    }
    options->commands.push_back(command);
    dashes = i++ < argc;  // stopped at a separator: another command follows
  }
  if (options->commands.empty()) {
    *error = files.empty() ? "no program to supervise" : "the command list holds no command";
    return Parse::kUsage;
  }
  return Parse::kRun;
}

}  // namespace kestravo_host
