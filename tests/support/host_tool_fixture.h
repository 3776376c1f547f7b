// What the tests of kestravo-host share: a copy of the tool with the library and kestravo-run
// beside it, run from a directory of its own, and the client requests made of it.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "host_harness.h"

namespace kestravo::test {

// How often a regular expression matches in a text, and a text as one that matches just it.
inline size_t CountMatches(const std::string& text, const std::string& pattern) {
  std::regex re(pattern);
  return std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator());
}
inline std::string Quote(const std::string& text) { return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)"); }

// A copy of kestravo-host with the library and kestravo-run beside it, in a HostDir (which ends,
// at the end of the test, whatever still runs from it) that is also its state directory, with no
// log configuration of the user's.
class HostToolTest : public ::testing::Test {
 protected:
  HostToolTest() {
    setenv("KESTRAVO_STATE_DIR", dir.Path().c_str(), 1);
    std::filesystem::copy_file(KESTRAVO_HOST_TOOL, Tool());
    std::filesystem::copy_file(KESTRAVO_ADAPTER, Adapter());
    std::filesystem::copy_file(KESTRAVO_LIBRARY, dir.File(std::filesystem::path(KESTRAVO_LIBRARY).filename()));
    std::filesystem::remove(dir.File("log4cxx.properties"));
  }

  std::string Tool() const { return dir.File("kestravo-host"); }
  std::string Adapter() const { return dir.File("kestravo-run"); }
  std::string Out(int run) const { return dir.File("run" + std::to_string(run) + ".out"); }
  std::string Err(int run) const { return dir.File("run" + std::to_string(run) + ".err"); }

  // Starts run number `run` of the tool (or of another program) with the arguments, in the
  // HostDir, output to files.
  pid_t Start(int run, std::vector<std::string> args, const std::string& program = "") {
    args.insert(args.begin(), program.empty() ? Tool() : program);
    return SpawnPlainTo(args, dir.Path(), Out(run), Err(run));
  }

  // Waits until the run's output matches the pattern; *group gets the first group of the match.
  bool WaitOutput(int run, const std::string& pattern, std::string* group = nullptr) {
    std::smatch found;
    std::string out;
    bool matched = WaitFor([&] { return std::regex_search(out = FileText(Out(run)), found, std::regex(pattern)); });
    if (matched && group != nullptr) *group = found[1].str();
    return matched;
  }

  // The one process that kestravo-run runs.
  static pid_t ProgramOf(const std::string& adapter) {
    std::string children;
    WaitFor([&] { return !(children = FileText("/proc/" + adapter + "/task/" + adapter + "/children")).empty(); });
    return children.empty() ? 0 : std::stoi(children);
  }

  // kestravo-host as a client of the host on this state directory: its exit code, its output in
  // Out(run_).
  int Ask(std::vector<std::string> args) {
    args.insert(args.begin(), {"--state-dir", dir.Path()});
    return WaitExit(Start(++run_, args));
  }
  // The programs of status --json by name, once done holds of them; empty if it never does.
  using Programs = std::map<std::string, nlohmann::json>;
  Programs StatusWhen(const std::function<bool(Programs&)>& done) {
    Programs programs;
    bool held = WaitFor([&] {
      programs.clear();
      const int code = Ask({"status", "--json"});
      nlohmann::json status = code == 0 || code == 3 ? nlohmann::json::parse(FileText(Out(run_)), nullptr, false) : nullptr;
      for (const auto& p : status.is_object() ? status["programs"] : nlohmann::json::array()) programs[p["name"]] = p;
      return done(programs);
    });
    return held ? programs : Programs();
  }
  // Its pid while it runs, else 0.
  static int64_t RunningPid(Programs& programs, const std::string& name) {
    return programs.count(name) && programs[name]["state"] == "running" ? programs[name]["pid"].get<int64_t>() : 0;
  }

  HostDir dir;
  int run_ = 100;  // the clients' runs
};

}  // namespace kestravo::test
