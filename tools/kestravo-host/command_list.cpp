#include "command_list.h"

#include "host_os.h"
#include "../command_line.h"
#include "../path_search.h"

#include <stdlib.h>

#include <cmath>
#include <fstream>
#include <map>
#include <set>

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

// "30s", "500ms", "2m" or a number of seconds, up to the library's ten minutes.
bool ParseGrace(const std::string& text, uint32_t* ms) {
  char* end = nullptr;
  double value = strtod(text.c_str(), &end);
  std::string unit = end;
  double scale = unit.empty() || unit == "s" ? 1000 : unit == "ms" ? 1 : unit == "m" ? 60000 : 0;
  if (end == text.c_str() || scale == 0 || !std::isfinite(value) || value * scale < 1 || value * scale > 600000) return false;
  *ms = static_cast<uint32_t>(value * scale + 0.5);
  return true;
}

// A stop signal as kestravo-run takes it: a name without "SIG", a number, or "none".
bool ParseStopSignal(const std::string& text, std::string* signal) {
  static const char* const kNames[] = {"TERM", "INT", "HUP", "QUIT", "USR1", "USR2", "KILL", "none"};
  std::string name = text.compare(0, 3, "SIG") == 0 ? text.substr(3) : text;
  for (const char* known : kNames) {
    if (name == known) {
      *signal = name;
      return true;
    }
  }
  char* end = nullptr;
  long number = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || number < 1 || number > 64) return false;
  *signal = std::to_string(number);
  return true;
}

// Takes "--stop-signal SIGNAL" and "--grace TIME" off the front of args for command. False with
// *error for a bad value; options not of these two are left.
bool TakeStopOptions(std::vector<std::string>* args, Command* command, std::string* error) {
  while (args->size() >= 2 && ((*args)[0] == "--stop-signal" || (*args)[0] == "--grace")) {
    const std::string name = (*args)[0], value = (*args)[1];
    if (name == "--stop-signal" ? !ParseStopSignal(value, &command->stopSignal) : !ParseGrace(value, &command->graceMs)) {
      *error = name == "--grace" ? "--grace takes a time such as 30s, 500ms or 2m (at most 10m), not '" + value + "'"
                                 : "--stop-signal takes TERM, INT, HUP, QUIT, USR1, USR2, KILL, a number or none, not '" + value + "'";
      return false;
    }
    args->erase(args->begin(), args->begin() + 2);
  }
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
    // A line may start with its own stop options.
    Command command;
    std::vector<std::string> words;
    size_t at = 0;
    for (int i = 0; i < 4; ++i) {
      size_t start = line.find_first_not_of(" \t", at);
      if (start == std::string::npos) break;
      at = std::min(line.find_first_of(" \t", start), line.size());
      words.push_back(line.substr(start, at - start));
    }
    size_t taken = words.size();
    if (!TakeStopOptions(&words, &command, error)) return false;
    taken -= words.size();
    size_t pos = 0;
    for (size_t i = 0; i < taken; ++i) {
      pos = line.find_first_not_of(" \t", pos);
      pos = std::min(line.find_first_of(" \t", pos), line.size());
    }
    line.erase(0, pos);
    if (CommandFromLine(line, &command)) commands->push_back(command);
  }
  return true;
}

}  // namespace

std::string UsageText() {
  return std::string(
             "usage: kestravo-host [OPTIONS] -- [STOP] PROGRAM [ARGS...] [::: [STOP] PROGRAM [ARGS...]]...\n"
             "       kestravo-host [OPTIONS] --file LIST\n"
             "Supervises the programs through libkestravo: restarts those that exit, and stops them\n"
             "on ") +
         StopRequestsText() +
         " or when SECONDS have passed. Each program runs under kestravo-run,\n"
         "which keeps the library's identity off its arguments, turns the stop event into\n" +
         AdapterStopText() +
         " and appends the program's output to a file; with --native the programs get\n"
         "the identity and wait on the stop event themselves, and their output is not kept.\n"
         "OPTIONS:\n"
         "  --for SECONDS       stop everything after SECONDS\n"
         "  --native            run the programs directly (they speak the child protocol)\n"
         "  --state-dir DIR     where the state file kestravo.xml is kept (an existing directory);\n"
         "                      else $KESTRAVO_STATE_DIR, else systemd's $STATE_DIRECTORY, else\n"
         "                      " + DefaultStateDirText() + ", made owner-only.\n"
         "                      The library's log goes to kestravo.log there, or to the journal\n"
         "                      when standard error is the journal.\n"
         "  --output-dir DIR    where each program's output file goes (default: the state\n"
         "                      directory), named after the program: PROGRAM.log, PROGRAM.2.log\n"
         "                      for a second one; rotated at 10 MiB, 5 old ones kept (.1 to .5)\n"
         "  --no-output         keep no output\n"
         "  --stop-signal SIG   what a stop sends the program: TERM (default), INT, HUP, QUIT,\n"
         "                      USR1, USR2, KILL, a number, or none (only the stop event)\n"
         "  --grace TIME        how long a stop waits before it kills: 30s, 500ms, 2m (default 3s,\n"
         "                      at most 10m); the programs are stopped one after another\n"
         "STOP: --stop-signal and --grace for that program alone, also at the start of a LIST line.\n"
         "LIST holds one command a line; blank lines and lines starting with # are skipped.\n"
         "A program that cannot be found or run is refused before anything starts (exit code 2).\n";
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

void NameCommands(std::vector<Command>* commands) {
  std::set<std::string> taken;
  for (const Command& command : *commands) {
    if (!command.name.empty()) taken.insert(command.name);
  }
  for (Command& command : *commands) {
    if (!command.name.empty()) continue;
    std::string base = kestravo_tools::FileName(command.program), name = base;
    for (int n = 2; taken.count(name); ++n) name = base + "-" + std::to_string(n);
    taken.insert(name);
    command.name = name;
  }
}

void NameOutputFiles(const std::string& dir, std::vector<Command>* commands) {
  for (Command& command : *commands) command.output = InDirectory(dir, command.name + ".log");
}

void ThroughAdapter(const std::string& adapter, Command* command) {
  std::string options;
  if (!command->output.empty()) options += "--output " + QuoteArgument(command->output) + " ";
  if (!command->stopSignal.empty()) options += "--stop-signal " + command->stopSignal + " ";
  command->cmdLine = options + "-- " + QuoteArgument(command->program) + " " + command->cmdLine;
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
  command->given = command->program;
  command->program = ResolveProgram(command->program);
  command->shown = text;
  return true;
}

Parse ParseOptions(int argc, char** argv, Options* options, std::string* error) {
  int i = 1;
  std::vector<std::string>& files = options->files;
  Command defaults;  // the stop options given before "--", for every command
  bool dashes = false;
  for (; i < argc && !dashes; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") return Parse::kHelp;
    if (arg == "--") {
      dashes = true;
    } else if (arg == "--native") {
      options->native = true;
    } else if (arg == "--no-output") {
      options->noOutput = true;
    } else if (arg == "--for" || arg == "--file" || arg == "--state-dir" || arg == "--output-dir" ||
               arg == "--stop-signal" || arg == "--grace") {
      if (i + 1 >= argc) {
        *error = arg + " needs a value";
        return Parse::kUsage;
      }
      const char* value = argv[++i];
      std::vector<std::string> stop = {arg, value};
      if (arg == "--file") {
        files.push_back(value);
      } else if (arg == "--state-dir" || arg == "--output-dir") {
        (arg == "--state-dir" ? options->stateDir : options->outputDir) = value;
        if (*value == '\0') {
          *error = arg + " needs a directory";
          return Parse::kUsage;
        }
      } else if (arg == "--for") {
        if (!ParseSeconds(value, &options->forSeconds)) {
          *error = std::string("--for takes a positive number of seconds, not '") + value + "'";
          return Parse::kUsage;
        }
      } else if (!TakeStopOptions(&stop, &defaults, error)) {
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
  // After "--": commands separated by ":::", each of which may start with its own stop options.
  while (dashes) {
    std::vector<std::string> words;
    for (; i < argc && std::string(argv[i]) != kSeparator; ++i) words.push_back(argv[i]);
    Command command;
    if (!TakeStopOptions(&words, &command, error)) return Parse::kUsage;
    if (words.empty() || words[0].empty()) {
      *error = "a program is missing before or after ':::'";
      return Parse::kUsage;
    }
    command.given = command.shown = words[0];
    command.program = ResolveProgram(words[0]);
    for (size_t w = 1; w < words.size(); ++w) {
      command.cmdLine += QuoteArgument(words[w]) + " ";
      command.shown += " " + QuoteArgument(words[w]);
    }
    options->commands.push_back(command);
    dashes = i++ < argc;  // stopped at a separator: another command follows
  }
  if (options->commands.empty()) {
    *error = files.empty() ? "no program to supervise" : "the command list holds no command";
    return Parse::kUsage;
  }
  for (Command& command : options->commands) {
    if (command.stopSignal.empty()) command.stopSignal = defaults.stopSignal;
    if (command.graceMs == 0) command.graceMs = defaults.graceMs;
    if (options->native && !command.stopSignal.empty()) {
      *error = "--stop-signal needs kestravo-run: with --native a program waits on its stop event itself";
      return Parse::kUsage;
    }
  }
  return Parse::kRun;
}

}  // namespace kestravo_host
