// kestravo-run: lets a supervisor run a program that knows nothing of it. See Usage below.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "common/child_marker.h"
#include "common/signal_names.h"
#include "kestravo_child.h"
#include "program_limits.h"
#include "notify_bridge.h"
#include "run_program.h"
#include "path_search.h"
#include "size_text.h"

namespace {

constexpr int kUsageExit = 125;  // as env(1): its own failure, not the program's

const char kUsage[] =
    "usage: kestravo-run --version\n"
    "       kestravo-run [--stop-signal SIGNAL] [--output FILE [--output-size SIZE] [--output-keep N]]\n"
    "                    [--chdir DIR] [--env NAME=VALUE]... [--env-file FILE]... [--unset-env NAME]...\n"
    "                    [--user USER] [--group GROUP] [--notify [--watchdog TIME]] [--ready-fd N]\n"
    "                    [--ready-after TIME] [--ready-timeout TIME] [--restart always|on-failure|never]\n"
    "                    [--success-exit CODES] [--grace TIME] [--memory-max SIZE] [--tasks-max N]\n"
    "                    [--cpu-max PERCENT] [--] PROGRAM [ARGS...]\n"
    "Runs PROGRAM for a Kestravo supervisor. The identity that the supervisor appends to the\n"
    "command line is taken off the arguments and given to PROGRAM as KESTRAVO_HPID and\n"
    "KESTRAVO_GUID. PROGRAM runs in DIR, with the variables removed (--unset-env) and set\n"
    "(--env, or FILE's NAME=VALUE entries, each ended by a NUL byte: an owner-only file of this\n"
    "user, which keeps values out of the command line every user can read), as USER (HOME, USER and LOGNAME set, with USER's groups;\n"
    "without --chdir in USER's home, else in /) and GROUP, which needs\n"
    "root and is not supported on Windows. ";

void PrintUsage(FILE* to) {
  fputs(kUsage, to);
  fputs(kestravo_run::StopUsage(), to);
  fputs(kestravo_run::OutputUsage(), to);
  fputs(kestravo_run::LimitsUsage(), to);
  fputs(kestravo_run::NotifyUsage(), to);
}

// Takes the supervisor's identity off the end of the last argument (or drops the argument when
// it held nothing else). False when there is none.
bool TakeIdentity(std::vector<std::string>* args, KESTRAVO_ChildIdentity* identity) {
  if (args->empty()) return false;
  std::string& last = args->back();
  size_t at = kestravo::FindChildMarker(last);
  if (at == std::string::npos || !kestravo::ParseChildIdentity(last.c_str() + at, &identity->hpid, identity->guid))
    return false;
  last.erase(at);
  if (last.empty()) args->pop_back();
  return true;
}

// Ends this adapter for a setting it cannot carry out: the line goes to standard error and, as
// the program's own output would, to the output file, where the supervisor's user looks.
[[noreturn]] void Refuse(const kestravo_run::OutputOptions& output, const std::string& text) {
  fprintf(stderr, "kestravo-run: %s\n", text.c_str());
  kestravo_run::OutputFile file;
  std::string ignored;
  if (!output.path.empty() && file.Open(output, &ignored)) file.Note(text);
  exit(kUsageExit);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kestravo_run;
  std::vector<std::string> args = Arguments(argc, argv);
  KESTRAVO_ChildIdentity identity;
  bool identified = TakeIdentity(&args, &identity);

  RunRequest request;
  request.stopSignal = DefaultStopSignal();
  std::string directory, user, group;
  std::vector<std::pair<std::string, std::string>> environment;  // in order; a name alone is removed
  Limits limits;
  size_t i = 0;
  for (; i < args.size() && args[i].compare(0, 1, "-") == 0; ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "-h" || arg == "--help") {
      PrintUsage(stdout);
      return 0;
    }
    if (arg == "--version") {
      printf("kestravo-run %s\n", KESTRAVO_VERSION);
      return 0;
    }
    std::string name = arg.substr(0, arg.find('=')), value;
    if (arg == "--notify") {
      request.notify.notify = true;
      continue;
    }
    if (arg.find('=') != std::string::npos) {
      value = arg.substr(arg.find('=') + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      name.clear();
    }
    bool ok = true;
    std::string why;
    if (ParseNotifyOption(name, value, &request.notify, &why)) {
      if (!why.empty()) {
        fprintf(stderr, "kestravo-run: bad value '%s' for %s: %s\n", value.c_str(), name.c_str(), why.c_str());
        return kUsageExit;
      }
    } else if (name == "--stop-signal") {
      ok = kestravo::ParseStopSignal(value, &request.stopSignal);
    } else if (name == "--output") {
      request.output.path = value;
      ok = !value.empty();
    } else if (name == "--output-size") {
      ok = kestravo_tools::ParseSize(value, &request.output.maxBytes);
    } else if (name == "--chdir") {
      directory = value;
      ok = !value.empty();
    } else if (name == "--env" || name == "--unset-env" || name == "--env-file") {
      size_t equals = value.find('=');
      ok = name == "--env"       ? equals != std::string::npos && equals > 0
           : name == "--env-file" ? !value.empty()
                                  : !value.empty() && equals == std::string::npos;
      environment.emplace_back(name, value);
    } else if (name == "--user" || name == "--group") {
      (name == "--user" ? user : group) = value;
      ok = !value.empty();
    } else if (IsLimitOption(name)) {
      ok = ParseLimit(name, value, &limits);
    } else if (name == "--output-keep") {
      char* end = nullptr;
      long keep = strtol(value.c_str(), &end, 10);
      ok = !value.empty() && *end == '\0' && keep >= 0 && keep <= 100;
      request.output.keep = static_cast<int>(keep);
    } else {
      fprintf(stderr, "kestravo-run: unknown option or missing value '%s'\n", arg.c_str());
      PrintUsage(stderr);
      return kUsageExit;
    }
    if (!ok) {
      fprintf(stderr, "kestravo-run: bad value '%s' for %s\n", value.c_str(), name.c_str());
      return kUsageExit;
    }
  }
  if (std::string why = CheckNotifyOptions(request.notify); !why.empty()) {
    fprintf(stderr, "kestravo-run: %s\n", why.c_str());
    return kUsageExit;
  }
  request.argv.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
  if (request.argv.empty() || request.argv[0].empty()) {
    fputs("kestravo-run: no program\n", stderr);
    PrintUsage(stderr);
    return kUsageExit;
  }
  // Failing any of these is this adapter's failure, not the program's.
  std::string why;
  if ((!user.empty() || !group.empty()) && !PrepareUser(user, group, &why)) Refuse(request.output, why);
  for (const auto& [option, value] : environment) {
    std::vector<std::string> pairs = {value};
    if (option == "--env-file") {
      std::string text;
      if (!kestravo_run::file::ReadPrivate(value, &text, &why)) Refuse(request.output, "cannot use the settings file " + value + ": " + why);
      pairs.clear();
      for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\0', at);
        if (end == std::string::npos) end = text.size();
        pairs.push_back(text.substr(at, end - at));
        if (pairs.back().find('=') == std::string::npos || pairs.back()[0] == '=')
          Refuse(request.output, "cannot use the settings file " + value + ": an entry is not NAME=VALUE");
      }
    }
    for (const std::string& pair : pairs) {
      size_t equals = pair.find('=');
      if (option == "--unset-env") UnsetEnvironment(pair.c_str());
      else SetEnvironment(pair.substr(0, equals).c_str(), pair.substr(equals + 1));
    }
  }
  if (!directory.empty()) {
    // The output file named from where this adapter was started; the change is the program's.
    if (!request.output.path.empty()) request.output.path = kestravo_tools::AbsolutePath(request.output.path);
    request.directory = directory;
  }
  if (!ApplyLimits(limits, &why)) Refuse(request.output, why);
  if (identified) {
    SetEnvironment("KESTRAVO_HPID", std::to_string(identity.hpid));
    SetEnvironment("KESTRAVO_GUID", identity.guid);
    request.guid = identity.guid;
  }
  RunProgram(request);
}
