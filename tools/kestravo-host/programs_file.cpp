#include "programs_file.h"

#include <ctype.h>
#ifndef KESTRAVO_HOST_NO_INI
#include <ini.h>
#endif
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <system_error>

#include "common/command_line.h"
#include "common/signal_names.h"
#include "common/stop_grace.h"
#include "host_os.h"
#include "size_text.h"
#include "time_text.h"
#include "path_search.h"

namespace kestravo_host {

namespace {

using kestravo::QuoteArgument;

struct Setting {
  const char* key;     // in the programs file
  const char* option;  // on the command line; "" for none
  bool repeatable;
};

constexpr Setting kSettings[] = {
    {"name", "--name", false},         {"directory", "--chdir", false},     {"env", "--env", true},
    {"unset-env", "--unset-env", true}, {"user", "--user", false},          {"group", "--group", false},
    {"stop-signal", "--stop-signal", false}, {"grace", "--grace", false},   {"output", "", false},
    {"output-size", "--output-size", false}, {"output-keep", "--output-keep", false},
    {"autostart", "--autostart", false},     {"restart", "--restart", false},     {"success-exit", "--success-exit", false},
    {"ready", "--ready", false},              {"ready-timeout", "--ready-timeout", false},
    {"watchdog", "--watchdog", false},        {"memory-max", "--memory-max", false}, {"tasks-max", "--tasks-max", false},
    {"cpu-max", "--cpu-max", false},          {"after", "", true}};

// A time as kestravo-run takes it, up to maxMs (the library's ten minutes for a grace).
bool ParseTime(const std::string& text, uint32_t* ms, double maxMs = kestravo::kMaxStopGraceMs) {
  uint64_t parsed = 0;
  if (!kestravo_tools::ParseTime(text, static_cast<uint64_t>(maxMs), &parsed)) return false;
  *ms = static_cast<uint32_t>(parsed);
  return true;
}

// A stop signal as kestravo-run takes it, passed on as a name without "SIG", a number, or "none".
bool ParseStopSignal(const std::string& text, std::string* signal) {
  int number = 0;
  if (!kestravo::ParseStopSignal(text, &number)) return false;
  const std::string name = text.compare(0, 3, "SIG") == 0 ? text.substr(3) : text;
  const char* abbrev = kestravo::SignalAbbrev(number);
  *signal = number == 0 ? "none" : abbrev != nullptr && name == abbrev ? name : std::to_string(number);
  return true;
}

// A program's name is also a file's (NAME.log) and what control commands call it. inih keeps
// at most 49 characters of a section's name.
constexpr size_t kMaxName = 48;
constexpr double kMaxReadyMs = 24.0 * 3600 * 1000;
// The longest line read. inih's own buffer holds some 200 bytes; a longer setting reaches it as
// a placeholder for its value, kept aside (see ReadLine).
constexpr size_t kMaxLine = 65536;
constexpr char kLongValue = '\x01';

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > kMaxName || name[0] == '.' || name[0] == '-') return false;
  for (char c : name) {
    if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') return false;
  }
  return true;
}

#ifndef KESTRAVO_HOST_NO_INI
const Setting* FindSetting(const std::string& key) {
  for (const Setting& setting : kSettings) {
    if (key == setting.key) return &setting;
  }
  return nullptr;
}

// One INI file being read: inih asks the reader for each line, so the reader knows the line
// number, whether a line continues the setting before it, and where each section starts.
struct IniRead {
  std::string path;
  const std::string* text = nullptr;
  size_t at = 0;
  int line = 0;
  bool continuation = false;  // the line just read continues the setting before it
  std::vector<Command>* commands = nullptr;
  std::set<std::string> names;  // those of the sections so far
  bool inSection = false;
  int sectionLine = 0;
  Command current;
  std::string commandText;  // the command, its indented continuation lines joined to it
  std::set<std::string> keys;  // given in the current section
  std::string lastKey;
  int watchdogLine = 0;
  std::vector<std::string> longValues;  // the values of lines too long for inih, by placeholder
  int errorLine = 0;  // the first error's; 0: none
  std::string error;

  bool Fail(int at, const std::string& why) {
    if (errorLine == 0) {
      errorLine = at;
      error = why;
    }
    return false;
  }

  // Ends the current section: its program needs a command.
  bool EndSection() {
    if (!inSection) return true;
    inSection = false;
    if (commandText.empty() || !CommandFromLine(commandText, &current))
      return Fail(sectionLine, "[" + current.name + "] has no command");
    // kestravo-run's watchdog pings come through the notify socket.
    if (!current.watchdog.empty() && current.ready != "notify") return Fail(watchdogLine, "watchdog needs ready = notify");
    commands->push_back(current);
    return true;
  }

  // A line starting "[": a new program, named by the section.
  bool StartSection(const std::string& text) {
    if (!EndSection()) return false;
    size_t open = text.find('['), close = text.find(']');
    if (close == std::string::npos) return true;  // inih reports it
    std::string name = text.substr(open + 1, close - open - 1);
    name.erase(0, name.find_first_not_of(" \t"));
    name.erase(name.find_last_not_of(" \t") + 1);
    if (!ValidName(name))
      return Fail(line, "'" + name + "' is not a program's name: letters, digits, '.', '_' and '-', at most " + std::to_string(kMaxName));
    if (!names.insert(name).second) return Fail(line, "a second program named " + name);
    inSection = true;
    sectionLine = line;
    current = Command();
    current.name = name;
    current.place = path + ":" + std::to_string(line);
    commandText.clear();
    keys.clear();
    lastKey.clear();
    return true;
  }
};

// inih's reader: one line into buffer, as fgets would.
char* ReadLine(char* buffer, int size, void* stream) {
  IniRead& read = *static_cast<IniRead*>(stream);
  const std::string& text = *read.text;
  if (read.errorLine != 0 || read.at >= text.size()) return nullptr;
  size_t end = text.find('\n', read.at);
  end = end == std::string::npos ? text.size() : end + 1;
  std::string line = text.substr(read.at, end - read.at);
  read.at = end;
  ++read.line;
  if (line.size() > kMaxLine + 1) {
    read.Fail(read.line, "longer than " + std::to_string(kMaxLine) + " characters");
    return nullptr;
  }
  if (line.find(kLongValue) != std::string::npos) {
    read.Fail(read.line, "holds a control character (\\x01)");
    return nullptr;
  }
  if (read.line == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
  size_t start = line.find_first_not_of(" \t\r\n");
  bool content = start != std::string::npos && line[start] != ';' && line[start] != '#';
  read.continuation = content && start > 0 && !read.lastKey.empty();
  if (content && !read.continuation && line[start] == '[' && !read.StartSection(line)) return nullptr;
  if (content && line.size() + 1 > static_cast<size_t>(size)) {
    // Too long for inih: the value is cut out here as inih would (up to an inline comment, blanks
    // trimmed) and inih gets "NAME = <mark>N", or an indented "<mark>N" for a continuation.
    size_t from = start;
    std::string key;
    if (!read.continuation) {
      size_t equals = line.find_first_of("=:", start);
      if (equals == std::string::npos) {
        read.Fail(read.line, "neither NAME = VALUE nor [NAME]");
        return nullptr;
      }
      key = line.substr(start, equals - start);
      key.erase(key.find_last_not_of(" \t") + 1);
      if (key.size() > 32) {
        read.Fail(read.line, "unknown setting '" + key.substr(0, 32) + "...'");
        return nullptr;
      }
      from = equals + 1;
    }
    size_t end = line.size();
    for (size_t i = from; i < line.size(); ++i) {
      if (line[i] == ';' && i > from && (line[i - 1] == ' ' || line[i - 1] == '\t')) {
        end = i;
        break;
      }
    }
    std::string value = line.substr(from, end - from);
    value.erase(0, value.find_first_not_of(" \t\r\n"));
    value.erase(value.find_last_not_of(" \t\r\n") + 1);
    const std::string mark = kLongValue + std::to_string(read.longValues.size());
    read.longValues.push_back(value);
    line = read.continuation ? "  " + mark + "\n" : key + " = " + mark + "\n";
  }
  line.copy(buffer, line.size());
  buffer[line.size()] = '\0';
  return buffer;
}

// inih's handler: one setting of the section.
int OnSetting(void* user, const char* section, const char* name, const char* given) {
  IniRead& read = *static_cast<IniRead*>(user);
  if (read.errorLine != 0) return 0;
  // A long line's value, kept aside by ReadLine.
  const char* value = given;
  if (given[0] == kLongValue) value = read.longValues.at(std::stoul(given + 1)).c_str();
  if (!read.inSection || read.current.name != section)
    return read.Fail(read.line, "a setting outside a [program] section");
  const std::string key = name;
  const bool again = read.continuation && key == read.lastKey;
  read.lastKey = key;
  if (key == "command") {
    if (again) {
      read.commandText += std::string(" ") + value;
    } else if (!read.keys.insert(key).second) {
      return read.Fail(read.line, "command given twice");
    } else {
      read.commandText = value;
    }
    return 1;
  }
  const Setting* setting = FindSetting(key);
  if (setting == nullptr || key == "name") {
    return read.Fail(read.line, "unknown setting '" + key +
                                    "' (known: command, directory, env, unset-env, user, group, stop-signal, grace, "
                                    "output, output-size, output-keep, autostart, restart, success-exit, ready, ready-timeout, "
                                    "watchdog, memory-max, tasks-max, cpu-max, after)");
  }
  if (!read.keys.insert(key).second && !setting->repeatable) return read.Fail(read.line, key + " given twice");
  std::string why;
  if (!ApplySetting(key, key, value, &read.current, &why)) return read.Fail(read.line, why);
  if (key == "after") read.current.afterPlace = read.path + ":" + std::to_string(read.line);
  if (key == "watchdog") read.watchdogLine = read.line;
  return 1;
}

#endif  // KESTRAVO_HOST_NO_INI

}  // namespace

bool ApplySetting(const std::string& key, const std::string& shown, const std::string& value, Command* command,
                  std::string* error) {
  const size_t equals = value.find('=');
  std::string why;
  if (key == "name") {
    if (!ValidName(value)) why = "takes letters, digits, '.', '_' and '-' (at most " + std::to_string(kMaxName) + "), not '" + value + "'";
    command->name = value;
  } else if (key == "directory") {
    std::error_code ec;
    command->directory = value.empty() ? value : kestravo_tools::AbsolutePath(value);
    if (value.empty() || !std::filesystem::is_directory(command->directory, ec))
      why = "takes an existing directory, not '" + value + "'";
  } else if (key == "env") {
    if (equals == std::string::npos || equals == 0) why = "takes NAME=VALUE, not '" + value + "'";
    command->setEnv.push_back(value);
  } else if (key == "unset-env") {
    if (value.empty() || equals != std::string::npos) why = "takes a variable's name, not '" + value + "'";
    command->unsetEnv.push_back(value);
  } else if (key == "user" || key == "group") {
    (key == "user" ? command->user : command->group) = value;
    std::string cannot = WhyCannotRunAs(key == "user" ? value : "", key == "group" ? value : "");
    if (value.empty() || !cannot.empty()) why = value.empty() ? "needs a value" : value + ": " + cannot;
  } else if (key == "stop-signal") {
    if (!ParseStopSignal(value, &command->stopSignal))
      why = "takes TERM, INT, HUP, QUIT, USR1, USR2, KILL, a number or none, not '" + value + "'";
  } else if (key == "grace") {
    if (!ParseTime(value, &command->graceMs)) why = "takes a time such as 30s, 500ms or 2m (at most 10m), not '" + value + "'";
  } else if (key == "output") {
    command->outputGiven = value;
    if (value.empty()) why = "takes a file or none";
  } else if (key == "output-size") {
    uint64_t bytes = 0;
    if (!kestravo_tools::ParseSize(value, &bytes)) why = "takes a size such as 10M, 512K or 1G (0: never), not '" + value + "'";
    command->outputSize = value;
  } else if (key == "output-keep") {
    char* end = nullptr;
    long keep = strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || keep < 0 || keep > 100) why = "takes a number from 0 to 100, not '" + value + "'";
    command->outputKeep = static_cast<int>(keep);
  } else if (key == "restart") {
    command->restart = value;
    if (value != "always" && value != "on-failure" && value != "never") why = "takes always, on-failure or never, not '" + value + "'";
  } else if (key == "success-exit") {
    // Codes from 0 to 255, by commas or blanks; passed on as "0,2".
    command->successExit.clear();
    for (size_t at = value.find_first_not_of(", \t"); at != std::string::npos && why.empty(); at = value.find_first_not_of(", \t", at)) {
      const size_t end = std::min(value.find_first_of(", \t", at), value.size());
      const std::string code = value.substr(at, end - at);
      if (code.size() > 3 || code.find_first_not_of("0123456789") != std::string::npos || std::stoi(code) > 255) why = "bad";
      command->successExit += (command->successExit.empty() ? "" : ",") + code;
      at = end;
    }
    if (!why.empty() || command->successExit.empty()) why = "takes exit codes from 0 to 255 such as 0 or 0,2, not '" + value + "'";
  } else if (key == "ready") {
    // notify, fd N (3 to 255: 0 to 2 are the program's output), after TIME.
    const size_t blank = value.find_first_of(" \t");
    const std::string how = value.substr(0, blank);
    const std::string arg = blank == std::string::npos ? "" : value.substr(value.find_first_not_of(" \t", blank));
    uint32_t ms = 0;
    char* end = nullptr;
    const long fd = how == "fd" && !arg.empty() ? strtol(arg.c_str(), &end, 10) : -1;
    const bool good = (how == "notify" && arg.empty()) || (how == "fd" && end != nullptr && *end == '\0' && fd >= 3 && fd <= 255) ||
                      (how == "after" && ParseTime(arg, &ms, kMaxReadyMs));
    command->ready = how + (arg.empty() ? "" : " " + (how == "fd" ? std::to_string(fd) : arg));
    if (!good) why = "takes notify, fd N (3 to 255) or after TIME, not '" + value + "'";
  } else if (key == "ready-timeout" || key == "watchdog") {
    uint32_t ms = 0;
    if (!ParseTime(value, &ms, kMaxReadyMs)) why = "takes a time such as 30s, 500ms or 2m (at most 24h), not '" + value + "'";
    (key == "watchdog" ? command->watchdog : command->readyTimeout) = value;
    if (key == "ready-timeout") command->readyTimeoutMs = ms;
  } else if (key == "memory-max") {
    uint64_t bytes = 0;
    if (!kestravo_tools::ParseSize(value, &bytes) || bytes == 0) why = "takes a size such as 256M, 512K or 1G, not '" + value + "'";
    command->memoryMax = value;
  } else if (key == "tasks-max" || key == "cpu-max") {
    // cpu-max: percent of one CPU ("50", "50%", "200%" for two).
    const bool cpu = key == "cpu-max";
    std::string number = cpu && !value.empty() && value.back() == '%' ? value.substr(0, value.size() - 1) : value;
    const bool digits = !number.empty() && number.size() <= 7 && number.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || std::stol(number) < 1 || (cpu && std::stol(number) > 100000))
      why = cpu ? "takes a percentage of one CPU such as 50% or 200%, not '" + value + "'" : "takes a number of tasks from 1 up, not '" + value + "'";
    (cpu ? command->cpuMax : command->tasksMax) = number;
  } else if (key == "after") {
    // Names, checked once every program is read (see CheckAfter).
    for (size_t at = value.find_first_not_of(", \t"); at != std::string::npos; at = value.find_first_not_of(", \t", at)) {
      const size_t end = std::min(value.find_first_of(", \t", at), value.size());
      command->after.push_back(value.substr(at, end - at));
      at = end;
    }
    if (command->after.empty()) why = "takes the names of programs";
  } else if (key == "autostart") {
    command->autostart = value == "true" || value == "yes" ? 1 : value == "false" || value == "no" ? 0 : -1;
    if (command->autostart < 0) why = "takes true or false, not '" + value + "'";
  } else {
    why = "is not a setting";
  }
  if (!why.empty()) *error = shown + " " + why;
  return why.empty();
}

std::string SettingOfOption(const std::string& option) {
  for (const Setting& setting : kSettings) {
    if (option == setting.option && *setting.option != '\0') return setting.key;
  }
  return "";
}

void AddDefaults(const Command& defaults, Command* command) {
  for (auto field : {&Command::stopSignal, &Command::directory, &Command::user, &Command::group, &Command::outputGiven,
                     &Command::outputSize, &Command::name}) {
    if ((command->*field).empty()) command->*field = defaults.*field;
  }
  if (command->graceMs == 0) command->graceMs = defaults.graceMs;
  if (command->outputKeep < 0) command->outputKeep = defaults.outputKeep;
  if (command->autostart < 0) command->autostart = defaults.autostart;
  for (auto field : {&Command::restart, &Command::successExit, &Command::ready, &Command::watchdog, &Command::memoryMax,
                     &Command::tasksMax, &Command::cpuMax}) {
    if ((command->*field).empty()) command->*field = defaults.*field;
  }
  if (command->readyTimeout.empty()) {
    command->readyTimeout = defaults.readyTimeout;
    command->readyTimeoutMs = defaults.readyTimeoutMs;
  }
  command->setEnv.insert(command->setEnv.begin(), defaults.setEnv.begin(), defaults.setEnv.end());
  command->unsetEnv.insert(command->unsetEnv.begin(), defaults.unsetEnv.begin(), defaults.unsetEnv.end());
}

std::string SettingNeedingAdapter(const Command& c) {
  return !c.stopSignal.empty() ? "--stop-signal" : !c.directory.empty() ? "--chdir" : !c.setEnv.empty() ? "--env"
       : !c.unsetEnv.empty() ? "--unset-env" : !c.user.empty() ? "--user" : !c.group.empty() ? "--group"
       : !c.outputSize.empty() ? "--output-size" : c.outputKeep >= 0 ? "--output-keep"
       : !c.outputGiven.empty() && c.outputGiven != "none" ? "output" : !c.restart.empty() ? "--restart"
       : !c.successExit.empty() ? "--success-exit" : !c.ready.empty() ? "--ready" : !c.readyTimeout.empty() ? "--ready-timeout"
       : !c.watchdog.empty() ? "--watchdog" : !c.memoryMax.empty() ? "--memory-max" : !c.tasksMax.empty() ? "--tasks-max"
       : !c.cpuMax.empty() ? "--cpu-max" : "";
}

std::string AdapterOptions(const Command& c) {
  std::string options;
  if (!c.output.empty()) {
    options += "--output " + QuoteArgument(c.output) + " ";
    if (!c.outputSize.empty()) options += "--output-size " + c.outputSize + " ";
    if (c.outputKeep >= 0) options += "--output-keep " + std::to_string(c.outputKeep) + " ";
  }
  if (!c.stopSignal.empty()) options += "--stop-signal " + c.stopSignal + " ";
  if (!c.directory.empty()) options += "--chdir " + QuoteArgument(c.directory) + " ";
  for (const std::string& name : c.unsetEnv) options += "--unset-env " + QuoteArgument(name) + " ";
  if (!c.envFile.empty()) options += "--env-file " + QuoteArgument(c.envFile) + " ";
  else for (const std::string& pair : c.setEnv) options += "--env " + QuoteArgument(pair) + " ";
  if (!c.user.empty()) options += "--user " + QuoteArgument(c.user) + " ";
  if (!c.group.empty()) options += "--group " + QuoteArgument(c.group) + " ";
  if (!c.restart.empty()) options += "--restart " + c.restart + " ";
  if (!c.successExit.empty()) options += "--success-exit " + c.successExit + " ";
  if (c.ready == "notify") {
#ifndef _WIN32
    options += "--notify ";  // on Windows the program is heard itself, through KESTRAVO_ChildNotify
#endif
  } else if (c.ready.rfind("fd ", 0) == 0) options += "--ready-fd " + c.ready.substr(3) + " ";
  else if (c.ready.rfind("after ", 0) == 0) options += "--ready-after " + QuoteArgument(c.ready.substr(6)) + " ";
  if (!c.readyTimeout.empty()) options += "--ready-timeout " + QuoteArgument(c.readyTimeout) + " ";
  if (!c.watchdog.empty()) options += "--watchdog " + QuoteArgument(c.watchdog) + " ";
  if (!c.memoryMax.empty()) options += "--memory-max " + c.memoryMax + " ";
  if (!c.tasksMax.empty()) options += "--tasks-max " + c.tasksMax + " ";
  if (!c.cpuMax.empty()) options += "--cpu-max " + c.cpuMax + " ";
  return options;
}

bool CheckAfter(const std::vector<Command>& commands, std::string* error) {
  std::map<std::string, const Command*> byName;
  for (const Command& c : commands) byName[c.name] = &c;
  auto where = [](const Command& c) { return (c.afterPlace.empty() ? c.name : c.afterPlace) + ": "; };
  for (const Command& c : commands) {
    for (const std::string& name : c.after) {
      if (byName.count(name) == 0) {
        *error = where(c) + "after names no program '" + name + "'";
        return false;
      }
    }
  }
  // Depth first from each program; a name met again on the path is a cycle.
  std::map<std::string, int> mark;  // 1: on the path, 2: done
  std::vector<std::string> path;
  std::function<bool(const Command&)> visit = [&](const Command& c) {
    mark[c.name] = 1;
    path.push_back(c.name);
    for (const std::string& name : c.after) {
      if (mark[name] == 1) {
        std::string cycle;
        for (auto it = std::find(path.begin(), path.end(), name); it != path.end(); ++it) cycle += *it + " -> ";
        *error = where(*byName[name]) + "after makes a cycle: " + cycle + name;
        return false;
      }
      if (mark[name] == 0 && !visit(*byName[name])) return false;
    }
    mark[c.name] = 2;
    path.pop_back();
    return true;
  };
  for (const Command& c : commands) {
    if (mark[c.name] == 0 && !visit(c)) return false;
  }
  return true;
}

bool IsIniText(const std::string& text) {
  bool commentedSection = false;
  for (size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0, end; at < text.size(); at = end + 1) {
    end = std::min(text.find('\n', at), text.size());
    const std::string line = text.substr(at, end - at);
    const size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos) continue;
    if (line[start] == '#' || line[start] == ';') {
      const size_t inner = line.find_first_not_of(" \t#;", start);
      commentedSection |= inner != std::string::npos && line[inner] == '[' && line.find(']', inner) != std::string::npos;
      continue;
    }
    if (line[start] == '[') return true;
    if (!commentedSection || !isalpha(static_cast<unsigned char>(line[start]))) continue;
    const size_t afterName = line.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-", start);
    const size_t equals = afterName == std::string::npos ? afterName : line.find_first_not_of(" \t", afterName);
    if (equals != std::string::npos && line[equals] == '=') return true;
  }
  return false;
}

bool ReadProgramsIni(const std::string& path, const std::string& text, std::vector<Command>* commands,
                     std::string* error) {
#ifdef KESTRAVO_HOST_NO_INI
  (void)text;
  (void)commands;
  *error = path + ": an INI programs file, which this kestravo-host was built without (no inih)";
  return false;
#else
  IniRead read;
  read.path = path;
  read.text = &text;
  read.commands = commands;
  int result = ini_parse_stream(&ReadLine, &read, &OnSetting, &read);
  if (read.errorLine == 0) read.EndSection();
  // The first error in the file: inih's own is a line that is neither a setting nor a section.
  if (result > 0 && (read.errorLine == 0 || result < read.errorLine)) {
    read.errorLine = result;
    read.error = "neither NAME = VALUE nor [NAME]";
  } else if (result < 0 && read.errorLine == 0) {
    read.errorLine = read.line;
    read.error = "cannot be read";
  }
  if (read.errorLine == 0) return true;
  *error = path + ":" + std::to_string(read.errorLine) + ": " + read.error;
  return false;
#endif
}

}  // namespace kestravo_host
