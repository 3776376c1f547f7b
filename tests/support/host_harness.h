// The end-to-end harness on Linux: the test is the host (HostTest), in a HostDir, a temporary
// directory that holds the host's state file, its log and its working directory and that, when it
// goes, ends every process that names it. Tests that end a host unasked start one (StartHost).
#pragma once

#include <gtest/gtest.h>
#include <kestravo.h>
#include <signal.h>
#include <sys/wait.h>
#include <tinyxml.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace kestravo::test {

// How many lines of text hold every one of the fragments.
inline size_t LinesWith(const std::string& text, const std::vector<std::string>& fragments) {
  size_t n = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    n += std::all_of(fragments.begin(), fragments.end(), [&](const std::string& f) { return line.find(f) != std::string::npos; });
  return n;
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

class HostDir : public TempDir {
 public:
  HostDir() {
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
    // Events and channels are named by GUID; those of killed holders stay until unlinked.
    std::string log = Log();
    for (size_t at = log.find("[namedEvent="); at != std::string::npos; at = log.find("[namedEvent=", at + 1)) {
      unlink(("/dev/shm/kestravo-ev." + log.substr(at + 12, 38)).c_str());
      unlink(("/dev/shm/kestravo-nt." + log.substr(at + 12, 38)).c_str());
    }
  }
  std::string Log() const { return FileText(File("kestravo.log")); }
  std::string StateText() const { return FileText(File("kestravo.xml")); }
  std::vector<StateEntry> State() const { return ReadStateXml(File("kestravo.xml")).entries; }

  // The processes, but this one, whose command line names this directory.
  std::vector<pid_t> ProcessesNamingMe() const {
    std::vector<pid_t> found;
    for (const std::string& name : DirEntries("/proc")) {
      pid_t pid = atoi(name.c_str());
      if (pid > 0 && pid != getpid() && FileText("/proc/" + std::to_string(pid) + "/cmdline").find(Path()) != std::string::npos)
        found.push_back(pid);
    }
    return found;
  }
};

// A message the library sent to the test's callback.
struct Message {
  uint32_t hpid = 0, type = 0;
  bool user = false;       // it came with the test's user pointer
  uint32_t pid = 0;        // MSG_ATTACHABLE: the survivor
  ExitedProcInfo exited{};  // MSG_EXITED: how it ended
  std::string cmd, exe;
  std::string status;      // MSG_STATUS: its line
  bool calling = false;    // the test's action for it has started...
  std::string call;        // ...and answered this, once done
};

// A test that is the host: the library runs in this process (every test has a process of its
// own), with its state file, log and working directory in `dir`.
class HostTest : public ::testing::Test {
 protected:
  HostTest() {
    current_ = this;
    setenv("KESTRAVO_STATE_DIR", dir.Path().c_str(), 1);
    EXPECT_EQ(chdir(dir.Path().c_str()), 0);  // where the log finds log4cxx.properties
  }
  // A test that failed midway leaves nothing running and no callback into a fixture that is gone.
  void TearDown() override {
    for (int i = 0; i < 64 && KESTRAVO_Uninit() == 0; ++i) continue;
  }

  // What the callback of a message type runs on the library's thread (the hpid given); its answer
  // lands in the message's `call`. Set before Start.
  std::map<uint32_t, std::function<std::string(uint32_t)>> actions;

  // Sets the callback (when asked) and initialises; true when both answered 0.
  bool Start(bool callback = true) { return (!callback || SetCallback() == 0) && KESTRAVO_Init() == 0; }
  int SetCallback() { return KESTRAVO_SetMsgCallBack(&HostTest::OnMessage, this); }
  // The last Uninit, with no child left unreaped.
  void Stop() {
    EXPECT_EQ(KESTRAVO_Uninit(), 0);
    EXPECT_TRUE(NoZombies());
  }

  // CreateProcess(exe, cmd): the hpid, or the result code where ret is given.
  static uint32_t Create(const std::string& exe, const std::string& cmd, int* ret = nullptr) {
    uint32_t hpid = kNoHpid;
    int code = KESTRAVO_CreateProcess(exe.c_str(), cmd.c_str(), &hpid, 42);
    if (ret) *ret = code;
    return hpid;
  }
  // The helper child in MODE with REPORT: "MODE REPORT [EXTRA] ".
  static uint32_t CreateHelper(const std::string& mode, const std::string& report, const std::string& extra = "") {
    return Create(HelperChild(), mode + " " + report + " " + (extra.empty() ? "" : extra + " "));
  }
  static pid_t Pid(uint32_t hpid) {
    uint32_t pid = 0;
    return KESTRAVO_GetOSPid(hpid, &pid) == 0 ? static_cast<pid_t>(pid) : 0;
  }
  // Waits until the hpid has a pid other than old and that child has written its report: the
  // pid, or 0 on time-out.
  static pid_t WaitRunning(uint32_t hpid, const std::string& report, pid_t old = 0) {
    pid_t pid = 0;
    return WaitFor([&] { return (pid = Pid(hpid)) > 0 && pid != old && ReadReport(report)["pid"] == std::to_string(pid); }) ? pid : 0;
  }
  // Creates the helper and waits for it to run.
  static pid_t Running(const std::string& mode, const std::string& report, const std::string& extra = "") {
    uint32_t hpid = CreateHelper(mode, report, extra);
    return hpid < 1024 ? WaitRunning(hpid, report) : 0;
  }
  static bool NoZombies() { return WaitFor([] { return ZombieChildren().empty(); }); }

  std::vector<Message> Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  size_t Count(uint32_t hpid, uint32_t type) {
    size_t n = 0;
    for (const Message& m : Messages()) n += m.hpid == hpid && m.type == type;
    return n;
  }
  bool WaitCount(uint32_t hpid, uint32_t type, size_t n) { return WaitFor([&] { return Count(hpid, type) >= n; }); }

  static constexpr uint32_t kNoHpid = 0xFFFFFFFFu;
  HostDir dir;

 private:
  static int32_t OnMessage(uint32_t hpid, uint32_t type, void* data, void* user) {
    HostTest* self = current_;
    Message m;
    m.hpid = hpid;
    m.type = type;
    m.user = user == self;
    if (type == MSG_ATTACHABLE && data) {
      auto* info = static_cast<AttachableProcInfo*>(data);
      m.pid = info->pid;
      m.cmd = info->cmdLine;
      m.exe = info->exePath;
    }
    if (type == MSG_EXITED && data) m.exited = *static_cast<ExitedProcInfo*>(data);
    if (type == MSG_STATUS && data) m.status = static_cast<const char*>(data);
    auto action = self->actions.find(type);
    m.calling = action != self->actions.end();
    size_t at;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      at = self->messages_.size();
      self->messages_.push_back(m);
    }
    if (!m.calling) return 0;
    std::string answer = action->second(hpid);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->messages_[at].call = answer;
    return 0;
  }

  static inline HostTest* current_ = nullptr;
  std::mutex mutex_;
  std::vector<Message> messages_;  // guarded by mutex_
};

// The answers of calls, joined with ','.
inline std::string Answers(std::initializer_list<int> results) {
  std::string text;
  for (int r : results) text += (text.empty() ? "" : ",") + std::to_string(r);
  return text;
}

// A host of its own, for the tests that end one unasked: kestravo_api_e2e --host DIR ARGS (see
// api_e2e.cpp), quiet. The caller kills and reaps it.
inline pid_t StartHost(const HostDir& dir, std::vector<std::string> args) {
  args.insert(args.begin(), {KESTRAVO_TEST_HOST, "--host", dir.Path()});
  return SpawnPlain(args, true);
}

}  // namespace kestravo::test
