// Drives a host of its own (kestravo_api_e2e --host DIR, see tests/api_e2e.cpp) through its pipes.
// Each HostDir is a temporary directory that holds the host's state file, its log and its working
// directory; when it goes, it ends every process that names it.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <tinyxml.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "hex_arg.h"
#include "test_support.h"

extern char** environ;

namespace kestravo::test {

// The whole file; stdio, since a /proc file of a process that ends mid-read fails the read.
inline std::string FileText(const std::string& path) {
  std::string text;
  char buffer[4096];
  FILE* in = fopen(path.c_str(), "rbe");
  for (size_t n; in && (n = fread(buffer, 1, sizeof buffer, in)) > 0;) text.append(buffer, n);
  if (in) fclose(in);
  return text;
}

inline std::string HexArg(const std::string& text) { return hex_arg::Encode(text); }
inline std::string Unhex(const std::string& arg) {
  std::string out;
  hex_arg::Decode(arg, &out);
  return out;
}

// How many lines of text hold every one of the fragments.
inline size_t LinesWith(const std::string& text, const std::vector<std::string>& fragments) {
  size_t n = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    n += std::all_of(fragments.begin(), fragments.end(), [&](const std::string& f) { return line.find(f) != std::string::npos; });
  return n;
}

// The key=value words of a line.
inline std::map<std::string, std::string> Fields(const std::string& line) {
  std::map<std::string, std::string> fields;
  std::istringstream words(line);
  for (std::string word; words >> word;) {
    size_t eq = word.find('=');
    if (eq != std::string::npos) fields[word.substr(0, eq)] = word.substr(eq + 1);
  }
  return fields;
}

struct StateEntry {
  uint32_t hpid, pid;
  std::string exe, cmdline, guid;
};

// kestravo.xml read back with TinyXML, as the library itself reads it.
struct StateXml {
  bool loaded = false;   // read without error, with the root "kestravo"
  bool complete = true;  // every "process" element carries all five attributes
  std::vector<StateEntry> entries;
};

inline StateXml ReadStateXml(const std::string& path) {
  StateXml state;
  TiXmlDocument document;
  TiXmlElement* root = document.LoadFile(path.c_str(), TIXML_ENCODING_UNKNOWN) ? document.FirstChildElement("kestravo") : nullptr;
  state.loaded = root != nullptr;
  for (TiXmlElement* e = root ? root->FirstChildElement("process") : nullptr; e; e = e->NextSiblingElement("process")) {
    const char* a[] = {e->Attribute("hpid"), e->Attribute("pid"), e->Attribute("exe"), e->Attribute("cmdline"), e->Attribute("guid")};
    if (!a[0] || !a[1] || !a[2] || !a[3] || !a[4]) {
      state.complete = false;
      continue;
    }
    state.entries.push_back({static_cast<uint32_t>(atoi(a[0])), static_cast<uint32_t>(atoi(a[1])), a[2], a[3], a[4]});
  }
  return state;
}

// A host's result line: ret is INT_MIN when none came; out is the function's out value.
struct Reply {
  int ret = INT_MIN;
  std::map<std::string, std::string> field;
  uint32_t operator[](const std::string& key) const {
    auto it = field.find(key);
    return it == field.end() ? 0xFFFFFFFFu : static_cast<uint32_t>(std::stoul(it->second));
  }
};

struct Message {
  uint32_t hpid = 0, type = 0;
  std::map<std::string, std::string> field;
};

class HostDir {
 public:
  explicit HostDir(const std::string& subdir = "") : path_(dir_.Path() + subdir) {
    std::filesystem::create_directories(path_);
    std::ofstream(File("log4cxx.properties"))
        << "log4j.logger.KESTRAVO=INFO, F\nlog4j.additivity.KESTRAVO=false\n"
           "log4j.appender.F=org.apache.log4j.FileAppender\nlog4j.appender.F.File="
        << File("kestravo.log")
        << "\nlog4j.appender.F.Append=true\nlog4j.appender.F.ImmediateFlush=true\n"
           "log4j.appender.F.layout=org.apache.log4j.PatternLayout\n"
           "log4j.appender.F.layout.ConversionPattern=%p %m%n\n";
  }
  ~HostDir() {
    for (pid_t pid : ProcessesNamingMe()) kill(pid, SIGKILL);
    for (pid_t pid : ProcessesNamingMe()) WaitFor([&] { return waitpid(pid, nullptr, WNOHANG) == pid || !ProcessAlive(pid); });
    // Events are named by GUID; those of killed holders stay until unlinked.
    std::string log = Log();
    for (size_t at = log.find("[namedEvent="); at != std::string::npos; at = log.find("[namedEvent=", at + 1))
      unlink(("/dev/shm/kestravo-ev." + log.substr(at + 12, 38)).c_str());
  }
  HostDir(const HostDir&) = delete;
  HostDir& operator=(const HostDir&) = delete;

  std::string Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::string Log() const { return FileText(File("kestravo.log")); }
  std::string StateText() const { return FileText(File("kestravo.xml")); }
  std::vector<StateEntry> State() const { return ReadStateXml(File("kestravo.xml")).entries; }

  // The processes, but this one, whose command line names this directory.
  std::vector<pid_t> ProcessesNamingMe() const {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc ? readdir(proc) : nullptr) {
      pid_t pid = atoi(entry->d_name);
      if (pid > 0 && pid != getpid() && FileText("/proc/" + std::to_string(pid) + "/cmdline").find(Path()) != std::string::npos)
        found.push_back(pid);
    }
    if (proc) closedir(proc);
    return found;
  }

 private:
  TempDir dir_;
  std::string path_;
};

// One run of the host in a HostDir, started at construction, killed at destruction.
class Host {
 public:
  explicit Host(const HostDir& dir) : dir_(dir) {
    signal(SIGPIPE, SIG_IGN);  // a host that died must fail the test, not end it
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.Path().c_str());
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, dir.File("host.stderr").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    std::string exe = KESTRAVO_TEST_HOST, flag = "--host", name = dir.Path();
    char* argv[] = {&exe[0], &flag[0], &name[0], nullptr};
    if (posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    toHost_ = in[1];
    fromHost_ = out[0];
  }
  ~Host() {
    Kill9();
    for (int fd : {toHost_, fromHost_})
      if (fd >= 0) close(fd);
  }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  pid_t Pid() const { return pid_; }
  std::string Stderr() const { return FileText(dir_.File("host.stderr")); }

  // Sends one command and waits for its result line; callback lines read meanwhile are kept.
  Reply Send(const std::string& command, std::chrono::milliseconds limit = std::chrono::seconds(15)) {
    Reply reply;
    std::string line = command + "\n";
    if (pid_ <= 0 || write(toHost_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return reply;
    auto end = std::chrono::steady_clock::now() + limit;
    while (results_.empty() && Pump(end)) continue;
    if (results_.empty()) return reply;
    line = results_.front();
    results_.erase(results_.begin());
    if (line.rfind("ret ", 0) == 0) reply.ret = std::stoi(line.substr(4));
    reply.field = Fields(line);
    return reply;
  }

  // CreateProcess(helper, "MODE REPORT [EXTRA] ").
  Reply CreateHelper(const std::string& mode, const std::string& report, const std::string& extra = "") {
    return Send("create " + HexArg(HelperChild()) + " " + HexArg(mode + " " + report + " " + (extra.empty() ? "" : extra + " ")));
  }

  // Waits until the hpid has a pid other than old and that child has written its report: the
  // pid, or 0 on time-out.
  pid_t WaitRunning(uint32_t hpid, const std::string& report, pid_t old = 0) {
    pid_t pid = 0;
    auto running = [&] {
      Reply r = Send("getpid " + std::to_string(hpid));
      pid = r.ret == 0 ? static_cast<pid_t>(r["out"]) : 0;
      return pid > 0 && pid != old && ReadReport(report)["pid"] == std::to_string(pid);
    };
    return WaitFor(running) ? pid : 0;
  }
  // Creates the helper and waits for it to run.
  pid_t Running(const std::string& mode, const std::string& report, const std::string& extra = "") {
    Reply r = CreateHelper(mode, report, extra);
    return r.ret == 0 ? WaitRunning(r["out"], report) : 0;
  }

  bool NoZombies() { return WaitFor([&] { return ZombieChildrenOf(pid_).empty(); }); }

  // The callback lines so far.
  const std::vector<Message>& Messages() {
    while (Pump(std::chrono::steady_clock::now())) continue;
    return messages_;
  }
  size_t Count(uint32_t hpid, uint32_t type) {
    size_t n = 0;
    for (const Message& m : Messages()) n += m.hpid == hpid && m.type == type;
    return n;
  }
  bool WaitCount(uint32_t hpid, uint32_t type, size_t n) { return WaitFor([&] { return Count(hpid, type) >= n; }); }

  // Closes the host's input and waits for it to end: its exit code, or -1.
  int Finish() {
    close(toHost_);
    toHost_ = -1;
    int code = pid_ > 0 ? WaitExit(pid_) : -1;
    if (code >= 0) pid_ = -1;
    return code;
  }
  void Kill9() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    WaitExit(pid_);
    pid_ = -1;
  }

 private:
  // Reads what the host wrote until the deadline or the next line; false at the deadline or
  // the end of its output.
  bool Pump(std::chrono::steady_clock::time_point end) {
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      pollfd p{fromHost_, POLLIN, 0};
      char buffer[4096];
      ssize_t n = poll(&p, 1, static_cast<int>(std::max<long long>(0, left.count()))) > 0 ? read(fromHost_, buffer, sizeof buffer) : 0;
      if (n <= 0) return false;
      pending_.append(buffer, static_cast<size_t>(n));
      bool gotLine = false;
      for (size_t nl; (nl = pending_.find('\n')) != std::string::npos; gotLine = true) {
        std::string line = pending_.substr(0, nl);
        pending_.erase(0, nl + 1);
        if (line.rfind("msg ", 0) != 0) {
          results_.push_back(line);
          continue;
        }
        Message m;
        std::istringstream(line.substr(4)) >> m.hpid >> m.type;
        m.field = Fields(line);
        messages_.push_back(m);
      }
      if (gotLine) return true;
    }
  }

  const HostDir& dir_;
  pid_t pid_ = -1;
  int toHost_ = -1, fromHost_ = -1;
  std::string pending_;
  std::vector<std::string> results_;
  std::vector<Message> messages_;
};

// A test with one host in a directory of its own.
class HostTest : public ::testing::Test {
 protected:
  // Sets the callback (when asked) and initialises; true when both answered 0.
  bool Start(bool callback = true) { return (!callback || host.Send("setcb").ret == 0) && host.Send("init").ret == 0; }
  // The last Uninit, then the host's own clean exit.
  void Stop() {
    EXPECT_EQ(host.Send("uninit").ret, 0);
    EXPECT_EQ(host.Finish(), 0);
  }

  HostDir dir;
  Host host{dir};
};

}  // namespace kestravo::test
