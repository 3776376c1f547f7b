#include "command_list.h"

#include "common/command_line.h"
#include "host_os.h"
#include "programs_file.h"
#include "path_search.h"

#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

namespace kestravo_host {

namespace {

constexpr char kSeparator[] = ":::";

using kestravo::QuoteArgument;

bool ParseSeconds(const char* text, double* seconds) {
  char* end = nullptr;
  double value = strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(value) || value <= 0 || value > 1e9) return false;
  *seconds = value;
  return true;
}

// Takes the options of one program ("--grace 30s", "--chdir DIR", ...; only --stop-signal and
// --grace when stopOnly) off the front of args onto command. False with *error for a bad value.
bool TakeProgramOptions(std::vector<std::string>* args, Command* command, std::string* error, bool stopOnly = false) {
  while (args->size() >= 2) {
    const std::string option = (*args)[0], key = SettingOfOption(option);
    if (key.empty() || (stopOnly && key != "stop-signal" && key != "grace")) break;
    if (!ApplySetting(key, option, (*args)[1], command, error)) return false;
    args->erase(args->begin(), args->begin() + 2);
  }
  return true;
}

bool ReadCommandFile(const std::string& path, std::vector<Command>* commands, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read the programs file " + path;
    return false;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (IsIniText(text)) return ReadProgramsIni(path, text, commands, error);
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    // A line may start with its own stop options.
    Command command;
    command.place = path + ":" + std::to_string(number);
    std::vector<std::string> words;
    size_t at = 0;
    for (int i = 0; i < 4; ++i) {
      size_t start = line.find_first_not_of(" \t", at);
      if (start == std::string::npos) break;
      at = std::min(line.find_first_of(" \t", start), line.size());
      words.push_back(line.substr(start, at - start));
    }
    size_t taken = words.size();
    if (!TakeProgramOptions(&words, &command, error, true)) {
      *error = command.place + ": " + *error;
      return false;
    }
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
             "usage: kestravo-host [OPTIONS] -- [PROGRAM-OPTIONS] PROGRAM [ARGS...] [::: [PROGRAM-OPTIONS] PROGRAM [ARGS...]]...\n"
             "       kestravo-host [OPTIONS] --file PROGRAMS\n"
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
         "                      directory), named after the program: NAME.log; rotated at\n"
         "                      10 MiB, 5 old ones kept (.1 to .5)\n"
         "  --no-output         keep no output\n"
         "  --status-group GROUP  members of GROUP may ask for status and output (status, log);\n"
         "                      control stays with the host's own user and root (default:\n"
         "                      $KESTRAVO_STATUS_GROUP)\n"
         "PROGRAM-OPTIONS, also before '--' for every program (a program's own win):\n"
         "  --name NAME         what the host calls it (default: its file's name, sleep-2 for a\n"
         "                      second sleep); letters, digits, '.', '_', '-'\n"
         "  --chdir DIR         the directory it runs in (default: the host's; with --user,\n"
         "                      that user's home directory, else /)\n"
         "  --env NAME=VALUE    a variable to set (repeatable)\n"
         "  --unset-env NAME    a variable to remove (repeatable); no program inherits the\n"
         "                      host's own KESTRAVO_* variables\n"
         "  --user USER         run as USER with USER's groups (the host running as root)\n"
         "  --group GROUP       run with GROUP as its group (the host running as root)\n"
         "  --stop-signal SIG   what a stop sends it: TERM (default), INT, HUP, QUIT, USR1,\n"
         "                      USR2, KILL, a number, or none (only the stop event)\n"
         "  --grace TIME        how long a stop waits before it kills: 30s, 500ms, 2m (default 3s,\n"
         "                      at most 10m); programs stop together, each once\n"
         "                      the programs after it have stopped\n"
         "  --autostart false   list it as stopped when the host starts, until start NAME\n"
         "  --output-size SIZE  rotate its output file at SIZE (10M, 512K, 1G; 0: never)\n"
         "  --output-keep N     keep N old output files\n"
         "PROGRAMS, an INI file, holds a section a program, named by the section:\n"
         "  [web]\n"
         "  command = /usr/sbin/nginx -g \"daemon off;\"   (indented lines continue it)\n"
         "  directory = /srv/www\n"
         "  env = LANG=C.UTF-8                 (repeatable; so is unset-env = NAME)\n"
         "  user = www-data                    (and group =)\n"
         "  stop-signal = QUIT\n"
         "  grace = 10s\n"
         "  output = web.out                   (in the output directory unless absolute; or none)\n"
         "  output-size = 10M\n"
         "  output-keep = 5\n"
         "  ready = notify                     (or fd N, or after TIME; also --ready)\n"
         "  ready-timeout = 30s, watchdog = 10s (watchdog needs ready = notify)\n"
         "  restart = on-failure               (always, on-failure, never), success-exit = 0 2\n"
         "  memory-max = 256M, tasks-max = 64, cpu-max = 50%\n"
         "  after = db                         (started once the programs named are ready)\n"
         "These take the same options before '--' or a program (--restart, --ready-timeout, ...).\n"
         "Comments start with ; or #. An error in it is named as PROGRAMS:LINE (exit code 2).\n"
         "A file without a [section] line (nor a commented-out one above NAME = VALUE lines) is\n"
         "a list of command lines instead, one a line, each of which may start with --stop-signal\n"
         "and --grace. Its errors are named as PROGRAMS:LINE too.\n"
         "A program that cannot be found or run is refused before anything starts (exit code 2).\n"
#ifdef _WIN32
         "AS A WINDOWS SERVICE (these two options exist on Windows only; run as an administrator):\n"
         "  kestravo-host --install-service [--state-dir DIR] --file PROGRAMS\n"
         "                      installs the service kestravo, started at boot as LocalSystem,\n"
         "                      which runs this host on PROGRAMS; its state directory is DIR, else\n"
         "                      %ProgramData%\\kestravo, open to SYSTEM and Administrators only.\n"
         "                      The service's stop and the system's shutdown stop the programs.\n"
         "  kestravo-host --uninstall-service\n"
         "                      removes it; a running one goes once it is stopped (sc stop kestravo)\n"
#endif
      ;
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
  for (Command& command : *commands) {
    const std::string& given = command.outputGiven;
    command.output = given == "none"                            ? ""
                     : given.empty()                            ? InDirectory(dir, command.name + ".log")
                     : std::filesystem::path(given).is_absolute() ? given
                                                                  : InDirectory(dir, given);
  }
}

void ThroughAdapter(const std::string& adapter, Command* command) {
  command->cmdLine = AdapterOptions(*command) + "-- " + QuoteArgument(command->program) + " " + command->cmdLine;
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
  Command defaults;  // the program options given before "--", for every program
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
    } else if (arg == "--for" || arg == "--file" || arg == "--state-dir" || arg == "--output-dir" || arg == "--status-group" ||
               !SettingOfOption(arg).empty()) {
      if (i + 1 >= argc) {
        *error = arg + " needs a value";
        return Parse::kUsage;
      }
      const char* value = argv[++i];
      std::vector<std::string> setting = {arg, value};
      if (arg == "--file") {
        files.push_back(value);
      } else if (arg == "--status-group") {
        options->statusGroup = value;
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
      } else if (!TakeProgramOptions(&setting, &defaults, error)) {
        return Parse::kUsage;
      }
    } else {
      *error = "unknown option '" + arg + "'";
      return Parse::kUsage;
    }
  }
  for (const std::string& file : files) {
    if (!ReadCommandFile(file, &options->commands, error)) return Parse::kBadFile;
  }
  // After "--": commands separated by ":::", each of which may start with its own options.
  while (dashes) {
    std::vector<std::string> words;
    for (; i < argc && std::string(argv[i]) != kSeparator; ++i) words.push_back(argv[i]);
    Command command;
    if (!TakeProgramOptions(&words, &command, error)) return Parse::kUsage;
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
    *error = files.empty() ? "no program to supervise" : "the programs file holds no program";
    return Parse::kUsage;
  }
  if (!defaults.name.empty() && options->commands.size() > 1) {
    *error = "--name before '--' names one program, and there are " + std::to_string(options->commands.size());
    return Parse::kUsage;
  }
  std::set<std::string> names;
  for (Command& command : options->commands) {
    AddDefaults(defaults, &command);
    if (!command.name.empty() && !names.insert(command.name).second) {
      *error = "two programs named " + command.name;
      return Parse::kUsage;
    }
    if (!command.watchdog.empty() && command.ready != "notify") {
      *error = (command.place.empty() ? "" : command.place + ": ") + "watchdog needs ready = notify (--ready notify)";
      return Parse::kUsage;
    }
    std::string needs = options->native ? SettingNeedingAdapter(command) : "";
    if (!needs.empty()) {
      *error = needs + " needs kestravo-run: with --native a program starts directly" +
               (needs == "--stop-signal" ? " and waits on its stop event itself" : "");
      return Parse::kUsage;
    }
#ifdef _WIN32
    // A Windows program has no numbered descriptors to be handed one: it says READY=1 itself.
    if (command.ready.rfind("fd ", 0) == 0) {
      *error = (command.place.empty() ? "" : command.place + ": ") +
               "ready = fd N is Linux-only: on Windows the program says READY=1 itself (ready = notify) "
               "with KESTRAVO_ChildNotify, or use ready = after TIME";
      return Parse::kUsage;
    }
#endif
  }
  if (!CheckAfter(options->commands, error)) return Parse::kBadFile;
  return Parse::kRun;
}

}  // namespace kestravo_host
