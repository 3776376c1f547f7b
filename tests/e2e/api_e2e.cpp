// The end-to-end cases that run on either system: the library as a host uses it, written only
// against kestravo.h and the Windows calls of os.h. They run one after the other in this process
// and share kestravo.xml beside this program.
//   --host DIR COMMAND...: a host of its own, for the tests that end one unasked, with its state
//   file and working directory in DIR ("-": beside this program). Commands: init | uninit |
//   create EXE CMD | loop EXE CMD KEEP | wait (until ended).
#include <gtest/gtest.h>
#include <kestravo.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/notify_channel.h"
#include "platform/os.h"
#include "test_support.h"
#ifdef _WIN32
#include <aclapi.h>
#include <sddl.h>
#else
#include <sys/stat.h>
#endif

namespace kestravo::test {
namespace {

using namespace std::chrono_literals;

// The host: its commands in order, no answers (the tests watch its children and state file);
// exit 1 at the first that fails.
int RunHost(int argc, char** argv) {
#ifndef _WIN32
  if (std::string(argv[2]) != "-" && (setenv("KESTRAVO_STATE_DIR", argv[2], 1) != 0 || chdir(argv[2]) != 0)) return 2;
#endif
  for (int i = 3; i < argc; ++i) {
    std::string verb = argv[i];
    uint32_t hpid = 0;
    if (verb == "init" || verb == "uninit") {
      if ((verb == "init" ? KESTRAVO_Init() : KESTRAVO_Uninit()) != 0) return 1;
    } else if (verb == "create" && i + 2 < argc) {
      if (KESTRAVO_CreateProcess(argv[i + 1], argv[i + 2], &hpid, 0) != 0) return 1;
      i += 2;
    } else if (verb == "loop" && i + 3 < argc) {
      // Children without end (CMD, their number, a blank), the oldest beyond KEEP destroyed.
      std::deque<uint32_t> live;
      for (unsigned long n = 0;; ++n) {
        uint32_t pid = 0;
        if (KESTRAVO_CreateProcess(argv[i + 1], (argv[i + 2] + std::to_string(n) + " ").c_str(), &hpid, 0) == 0) live.push_back(hpid);
        if (live.size() <= std::stoul(argv[i + 3])) continue;
        // Only a started child is in the table and can be destroyed.
        while (KESTRAVO_GetOSPid(live.front(), &pid) != 0) std::this_thread::sleep_for(1ms);
        KESTRAVO_DestroyProcess(live.front(), 0);
        live.pop_front();
      }
    } else if (verb == "wait") {
      for (;;) std::this_thread::sleep_for(1h);
    } else if (verb == "until" && i + 1 < argc) {
      // A file exists (10 s at most): a child's report says how far it got.
      const auto deadline = std::chrono::steady_clock::now() + 10s;
      while (!std::filesystem::exists(argv[i + 1])) {
        if (std::chrono::steady_clock::now() > deadline) return 1;
        std::this_thread::sleep_for(1ms);
      }
      ++i;
    } else {
      return 1;
    }
  }
  return 0;
}

// ---- the in-process cases ----

std::string ExeDir() {
  char path[4096];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string text(path, n);
  return text.substr(0, text.find_last_of("\\/") + 1);
}

std::string Helper() {
#ifdef _WIN32
  return ExeDir() + "helper_child.exe";
#else
  return ExeDir() + "helper_child";
#endif
}

std::string Adapter() {
#ifdef _WIN32
  return ExeDir() + "kestravo-run.exe";
#else
  return KESTRAVO_ADAPTER;
#endif
}

std::string StateFile() { return ExeDir() + "kestravo.xml"; }

// What the callback heard, in order: per hpid, the type and (for MSG_ATTACHABLE) the pid; and the
// first MSG_EXITED's data.
class Messages {
 public:
  static int32_t Callback(uint32_t hpid, uint32_t type, void* data, void* self) {
    auto* messages = static_cast<Messages*>(self);
    std::lock_guard<std::mutex> lock(messages->mutex_);
    messages->heard_[hpid].push_back({type, type == MSG_ATTACHABLE ? static_cast<AttachableProcInfo*>(data)->pid : 0});
    if (type == MSG_STATUS && !messages->exited_.count(hpid)) messages->statuses_[hpid].push_back(static_cast<const char*>(data));
    if (type == MSG_EXITED) messages->exited_.insert({hpid, *static_cast<ExitedProcInfo*>(data)});
    return 0;
  }
  // The MSG_STATUS lines before the first MSG_EXITED, joined by ','.
  std::string StatusesBeforeExit(uint32_t hpid) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string joined;
    for (const std::string& line : statuses_[hpid]) joined += (joined.empty() ? "" : ",") + line;
    return joined;
  }
  ExitedProcInfo FirstExit(uint32_t hpid) {
    std::lock_guard<std::mutex> lock(mutex_);
    return exited_.count(hpid) ? exited_[hpid] : ExitedProcInfo{};
  }
  std::vector<std::pair<uint32_t, uint32_t>> Of(uint32_t hpid) {
    std::lock_guard<std::mutex> lock(mutex_);
    return heard_[hpid];
  }

 private:
  std::mutex mutex_;
  std::map<uint32_t, std::vector<std::pair<uint32_t, uint32_t>>> heard_;  // guarded by mutex_
  std::map<uint32_t, ExitedProcInfo> exited_;                             // guarded by mutex_
  std::map<uint32_t, std::vector<std::string>> statuses_;                 // guarded by mutex_
};

bool Ended(uint32_t pid, std::chrono::milliseconds limit = 10s) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  bool ended = !process || WaitForSingleObject(process, static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
  if (process) CloseHandle(process);
  return ended;
}

void Terminate(uint32_t pid) {
  if (HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid)) {
    TerminateProcess(process, 9);
    CloseHandle(process);
  }
}

// Lets everyone write the file, or gives it back to its owner alone.
void LetOthersWrite(const std::string& path, bool others) {
#ifdef _WIN32
  if (!others) {  // made anew: the folder's access list (under Wine: the umask's mode)
    std::string text = FileText(path);
    std::remove(path.c_str());
    std::ofstream(path, std::ios::binary) << text;
    return;
  }
  PSECURITY_DESCRIPTOR everyone = nullptr;
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;FA;;;WD)", SDDL_REVISION_1, &everyone, nullptr));
  ASSERT_TRUE(GetSecurityDescriptorDacl(everyone, &present, &dacl, &defaulted));
  EXPECT_EQ(SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, dacl, nullptr), static_cast<DWORD>(ERROR_SUCCESS));
  LocalFree(everyone);
#else
  EXPECT_EQ(chmod(path.c_str(), others ? 0666 : 0600), 0);
#endif
}

uint32_t OsPid(uint32_t hpid) {
  uint32_t pid = 0;
  return KESTRAVO_GetOSPid(hpid, &pid) == 0 ? pid : 0;
}

uint32_t PidOf(const Report& report) { return report.count("pid") ? static_cast<uint32_t>(std::stoul(report.at("pid"))) : 0; }

class Library : public ::testing::Test {
 protected:
  void SetUp() override {
    std::remove(StateFile().c_str());
    ASSERT_EQ(KESTRAVO_SetMsgCallBack(&Messages::Callback, &messages), 0);
    ASSERT_EQ(KESTRAVO_Init(), 0);
  }
  void TearDown() override { EXPECT_EQ(KESTRAVO_Uninit(), 0); }

  // Starts the helper child in mode; its report lands in the test program's directory.
  uint32_t Start(const std::string& mode, const std::string& name, const std::string& arg = "",
                 const std::string& exe = Helper()) {
    std::string report = ExeDir() + name + ".report";
    std::remove(report.c_str());
    std::remove((report + ".stopped").c_str());
    std::remove((report + ".waiting").c_str());
    uint32_t hpid = 0xFFFFFFFFu;
    EXPECT_EQ(KESTRAVO_CreateProcess(exe.c_str(), (mode + " " + report + " " + arg + " ").c_str(), &hpid, 0), 0);
    return hpid;
  }
  // The report of a run other than notPid, with every argument, the identity and the pid.
  Report ReportOf(const std::string& name, uint32_t notPid = 0) {
    Report report;
    WaitFor([&] {
      report = ReadReport(ExeDir() + name + ".report");
      return !report["guid"].empty() && PidOf(report) != notPid;
    }, 20s);
    return report;
  }
  // The run that replaced `before`, started with the same arguments under the same identity.
  Report ExpectRelaunched(const std::string& name, const Report& before) {
    Report after = ReportOf(name, PidOf(before));
    EXPECT_NE(PidOf(after), PidOf(before));
    for (const auto& [key, value] : before)
      if (key != "pid") { EXPECT_EQ(after[key], value) << key; }
    return after;
  }
  std::vector<uint32_t> TypesOf(uint32_t hpid) {
    std::vector<uint32_t> types;
    for (const auto& m : messages.Of(hpid)) types.push_back(m.first);
    return types;
  }

  Messages messages;
};

void SetHostVariable(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value);  // "" removes it
#else
  *value ? setenv(name, value, 1) : unsetenv(name);
#endif
}

TEST_F(Library, StartsWatchesAndStopsThroughTheStopEvent) {
  // A host that runs under kestravo-run has an identity of its own, and a service its state
  // directory; no child inherits them.
  SetHostVariable("KESTRAVO_HPID", "1000");
  SetHostVariable("KESTRAVO_GUID", "{00000000-0000-4000-8000-000000000000}");
  SetHostVariable("STATE_DIRECTORY", "/var/lib/the-host");
  uint32_t hpid = Start("stop", "plain", "4000");  // winds up for 4 s: beyond the default grace, within the one given
  Report report = ReportOf("plain");
  SetHostVariable("KESTRAVO_HPID", "");
  SetHostVariable("KESTRAVO_GUID", "");
  SetHostVariable("STATE_DIRECTORY", "");
  EXPECT_EQ(report.count("env_identity"), 0u) << report["env_identity"];
  EXPECT_EQ(report.count("env_STATE_DIRECTORY"), 0u) << report["env_STATE_DIRECTORY"];
  uint32_t pid = PidOf(report), managed = 0xFFFFFFFFu;
  ASSERT_NE(pid, 0u);
  EXPECT_TRUE(WaitFor([&] { return OsPid(hpid) == pid; }));  // the child may report before the launcher does
  EXPECT_EQ(report["hpid"], std::to_string(hpid));
  EXPECT_TRUE(KESTRAVO_IsManaged(pid, &managed));
  EXPECT_EQ(managed, hpid);
  // The record beside the host executable names the child.
  EXPECT_TRUE(WaitFor([&] { return FileText(StateFile()).find(report["guid"]) != std::string::npos; }));

  EXPECT_EQ(KESTRAVO_DestroyProcess(hpid, 5000), 0);
  EXPECT_TRUE(Ended(pid));
  EXPECT_TRUE(std::ifstream(ExeDir() + "plain.report.stopped").good());  // it ended by itself
  EXPECT_EQ(KESTRAVO_GetOSPid(hpid, &managed), 1);
  EXPECT_FALSE(KESTRAVO_IsManaged(pid, &managed));
  EXPECT_EQ(FileText(StateFile()).find(report["guid"]), std::string::npos);
  EXPECT_TRUE(messages.Of(hpid).empty());
}

// Under kestravo-run the destroy's grace alone decides the kill: a program that waits on its
// stop event itself and takes 6 s to wind up ends by itself within a grace of 8 s, and is ended
// when a grace of 1 s is over.
TEST_F(Library, UnderTheAdapterTheGraceDecidesTheKill) {
  for (uint32_t grace : {8000u, 1000u}) {
    uint32_t hpid = Start("--stop-signal none -- \"" + Helper() + "\" stop", "adapted", "6000", Adapter());
    Report report = ReportOf("adapted");
    ASSERT_NE(PidOf(report), 0u);
    ASSERT_TRUE(WaitFor([] { return std::ifstream(ExeDir() + "adapted.report.waiting").good(); }));
    EXPECT_EQ(KESTRAVO_DestroyProcess(hpid, grace), 0);
    EXPECT_TRUE(Ended(PidOf(report), 3s)) << grace;
    EXPECT_EQ(std::ifstream(ExeDir() + "adapted.report.stopped").good(), grace > 6000) << grace;
  }
}

TEST_F(Library, AnUnaskedExitIsRestartedUnderTheSameIdentity) {
  uint32_t hpid = Start("exit", "exits", "300 3 \"two words\"");
  Report first = ReportOf("exits");
  EXPECT_EQ(first["arg5"], "two words");
  ExpectRelaunched("exits", first);
  ASSERT_TRUE(WaitFor([&] { return messages.Of(hpid).size() >= 2; }));
  EXPECT_EQ(TypesOf(hpid), (std::vector<uint32_t>{MSG_EXITED, MSG_RESTARTED}));
  // How it ended: code 3, after the 300 ms it waited.
  ExitedProcInfo e = messages.FirstExit(hpid);
  EXPECT_EQ(std::vector<uint64_t>({e.size, e.pid, e.known, uint64_t(e.exitCode), uint64_t(e.signal), e.coreDumped, e.cause, e.restarting}),
            std::vector<uint64_t>({sizeof e, PidOf(first), 1, 3, 0, 0, KESTRAVO_CAUSE_EXITED, 1}));
  EXPECT_GE(e.runMs, 300u);
  EXPECT_EQ(KESTRAVO_KillProcess(hpid), 0);
}

TEST_F(Library, KillAndRestartEndTheChildAtOnce) {
  uint32_t killed = Start("ignore", "killed");
  uint32_t restarted = Start("ignore", "restarted", "-v");
  Report one = ReportOf("killed"), two = ReportOf("restarted");

  EXPECT_EQ(KESTRAVO_KillProcess(killed), 0);
  EXPECT_TRUE(Ended(PidOf(one), 0ms));
  EXPECT_EQ(OsPid(killed), 0u);

  // A restart that was asked for is no exit; the child is watched again afterwards.
  EXPECT_EQ(KESTRAVO_RestartProcess(restarted), 0);
  Report again = ExpectRelaunched("restarted", two);
  EXPECT_TRUE(Ended(PidOf(two)));
  EXPECT_TRUE(WaitFor([&] { return OsPid(restarted) == PidOf(again); }));
  ASSERT_TRUE(WaitFor([&] { return !messages.Of(restarted).empty(); }));
  Terminate(PidOf(again));
  ExpectRelaunched("restarted", again);
  ASSERT_TRUE(WaitFor([&] { return messages.Of(restarted).size() >= 3; }));
  EXPECT_EQ(TypesOf(restarted), (std::vector<uint32_t>{MSG_RESTARTED, MSG_EXITED, MSG_RESTARTED}));
  EXPECT_TRUE(messages.Of(killed).empty());
  EXPECT_EQ(KESTRAVO_KillProcess(restarted), 0);
}

// One child's stop holds up neither another child's restart nor another call: while a child that
// ignores its stop event has a long grace, another that is ended unasked comes back and is
// answered for, and the destroy still ends its child.
TEST_F(Library, ARestartAndCallsGoOnDuringAnotherChildsGrace) {
  uint32_t deaf = Start("ignore", "deaf"), other = Start("stop", "other");
  Report deafRun = ReportOf("deaf"), first = ReportOf("other");
  ASSERT_TRUE(WaitFor([&] { return OsPid(deaf) == PidOf(deafRun) && OsPid(other) == PidOf(first); }));
  std::atomic<int> destroyed{-1};
  std::thread destroy([&] { destroyed = KESTRAVO_DestroyProcess(deaf, 5000); });
  EXPECT_TRUE(WaitFor([&] { return OsPid(deaf) == 0; }));  // out of the table: its stop is under way
  Terminate(PidOf(first));
  Report second = ExpectRelaunched("other", first);
  EXPECT_TRUE(WaitFor([&] { return OsPid(other) == PidOf(second); }));
  EXPECT_EQ(destroyed, -1);
  EXPECT_FALSE(Ended(PidOf(deafRun), 0ms));
  destroy.join();
  EXPECT_EQ(destroyed, 0);
  EXPECT_TRUE(Ended(PidOf(deafRun)));
  EXPECT_EQ(KESTRAVO_KillProcess(other), 0);
}

// The program is the file the path names, blanks and all: never a planted file named by a prefix
// of it ("DIR/with" for "DIR/with blank/helper_child", "DIR\with.exe" on Windows).
TEST_F(Library, RunsTheFileItsPathNamesWhateverBlanksItHolds) {
  std::string helper = Helper(), name = helper.substr(helper.find_last_of("\\/") + 1);
  std::string dir = ExeDir() + "with blank", exe = dir + "/" + name;
  std::string planted = ExeDir() + "with" + name.substr(std::min(name.find('.'), name.size()));
  std::filesystem::create_directory(dir);
  for (const std::string& to : {exe, planted})
    std::filesystem::copy_file(helper, to, std::filesystem::copy_options::overwrite_existing);
  uint32_t hpid = Start("ignore", "blank", "", exe);
  Report report = ReportOf("blank");
  EXPECT_EQ(report["arg0"], exe);
  EXPECT_TRUE(WaitFor([&] { return OsPid(hpid) == PidOf(report); }));
  EXPECT_EQ(KESTRAVO_KillProcess(hpid), 0);
  std::filesystem::remove_all(dir);
  std::filesystem::remove(planted);
}

// What a child says through its channel, and what the library makes of it: MSG_READY once per
// start (again after a restart), MSG_STATUS, the watchdog from READY on (pings before it count for
// nothing), the ready time-out, each restart policy, and who is heard: a process the child starts
// only on Windows, where it is in the child's job; a process outside the child's tree never. What
// it says just before it exits reaches the host before its exit. A child left ended keeps its hpid
// until it is destroyed.
#ifdef _WIN32
// Ended by the test (TerminateProcess with 9) or by the library (the job ended with 0).
constexpr uint32_t kKilled = KESTRAVO_CAUSE_EXITED;
constexpr int32_t kTestKillCode = 9, kKillSignal = 0;
constexpr bool kDescendantsHeard = true;
#else
constexpr uint32_t kKilled = KESTRAVO_CAUSE_SIGNAL;
constexpr int32_t kTestKillCode = 0, kKillSignal = 9;
constexpr bool kDescendantsHeard = false;
#endif

struct ChannelCase {
  const char* name;
  const char* steps;     // helper_child notify STEP...
  const char* statuses;  // the MSG_STATUS lines before its exit, joined by ','
  bool outsider;         // first the test says READY=1 and STATUS=forged to its channel, then lets it on (.quiet)
  bool killAfterThem;    // the test ends it once its statuses came
  size_t ready;          // MSG_READY before its exit
  uint32_t cause;
  uint64_t causeValue;
  int32_t exitCode, signal;
  uint32_t restarting;
};

const ChannelCase kChannelCases[] = {
    {"Ready", "say:READY=1|STATUS=serving say:READY=1 say:STATUS=still|WATCHDOG=1", "serving,still", false, true, 1, kKilled, 0, kTestKillCode, kKillSignal, 1},
    {"Descendant", "foreign:READY=1|STATUS=descendant say:STATUS=own", kDescendantsHeard ? "descendant,own" : "own", false, true,
     kDescendantsHeard ? 1u : 0u, kKilled, 0, kTestKillCode, kKillSignal, 1},
    {"Outsider", "pingtill:20 say:STATUS=own", "own", true, true, 0, kKilled, 0, kTestKillCode, kKillSignal, 1},
    {"MissedPing", "say:WATCHDOG_USEC=300000|READY=1", "", false, false, 1, KESTRAVO_CAUSE_WATCHDOG, 300, 0, 0, 1},
    {"PingsBeforeReady", "say:WATCHDOG_USEC=200000|KESTRAVO_STOP_GRACE_MS=5000 say:WATCHDOG=1 wait:600 say:WATCHDOG=1|READY=1",
     "", false, false, 1, KESTRAVO_CAUSE_WATCHDOG, 200, 0, 0, 1},
    {"Trigger", "say:READY=1|KESTRAVO_RESTART=never say:WATCHDOG=trigger", "", false, false, 1, KESTRAVO_CAUSE_WATCHDOG, 0, 0, 0, 0},
    {"NotReady", "say:KESTRAVO_READY_TIMEOUT_USEC=300000|KESTRAVO_STOP_GRACE_MS=200 deaf", "", false, false, 0, KESTRAVO_CAUSE_NOT_READY, 300, 0, kKillSignal, 1},
    {"OnFailureSuccess", "say:KESTRAVO_RESTART=on-failure|KESTRAVO_SUCCESS_EXIT=0,2 exit:2", "", false, false, 0, KESTRAVO_CAUSE_EXITED, 0, 2, 0, 0},
    {"OnFailureFailure", "say:KESTRAVO_RESTART=on-failure|KESTRAVO_SUCCESS_EXIT=0,2 exit:3", "", false, false, 0, KESTRAVO_CAUSE_EXITED, 0, 3, 0, 1},
    {"Never", "say:KESTRAVO_RESTART=never exit:3", "", false, false, 0, KESTRAVO_CAUSE_EXITED, 0, 3, 0, 0},
    {"Always", "say:KESTRAVO_RESTART=always exit:0", "", false, false, 0, KESTRAVO_CAUSE_EXITED, 0, 0, 0, 1},
    // Said just before its exit, and reported before it.
    {"LastWords", "say:KESTRAVO_RESTART=never say:READY=1|STATUS=giving-up exit:4", "giving-up", false, false, 1, KESTRAVO_CAUSE_EXITED, 0, 4, 0, 0},
};

TEST_F(Library, ChildrenAreKeptAsTheySayThroughTheirChannel) {
  std::vector<uint32_t> hpids;
  for (const ChannelCase& c : kChannelCases) hpids.push_back(Start("notify", std::string("channel") + c.name, c.steps));
  for (size_t i = 0; i < hpids.size(); ++i) {
    const ChannelCase& c = kChannelCases[i];
    const uint32_t hpid = hpids[i];
    ASSERT_LT(hpid, 1024u) << c.name;
    if (c.outsider) {
      Report report = ReportOf(std::string("channel") + c.name);
      const std::string forged = "READY=1\nSTATUS=forged";
      EXPECT_EQ(SendNotifyDatagram(report["guid"].c_str(), forged.data(), forged.size()), 0) << c.name;
      std::ofstream(ExeDir() + "channel" + c.name + ".report.quiet") << "go\n";
    }
    if (c.killAfterThem) {
      EXPECT_TRUE(WaitFor([&] { return messages.StatusesBeforeExit(hpid) == c.statuses; }, 20s))
          << c.name << ": " << messages.StatusesBeforeExit(hpid);
      Terminate(OsPid(hpid));
    }
    ASSERT_TRUE(WaitFor([&] { return messages.FirstExit(hpid).size != 0; }, 20s)) << c.name;
    size_t ready = 0;
    for (uint32_t type : TypesOf(hpid)) {
      if (type == MSG_EXITED) break;
      ready += type == MSG_READY;
    }
    EXPECT_EQ(ready, c.ready) << c.name;
    EXPECT_EQ(messages.StatusesBeforeExit(hpid), c.statuses) << c.name;
    ExitedProcInfo e = messages.FirstExit(hpid);
    EXPECT_EQ(std::vector<uint64_t>({e.cause, e.causeValue, uint64_t(e.exitCode), uint64_t(e.signal), e.restarting}),
              std::vector<uint64_t>({c.cause, c.causeValue, uint64_t(c.exitCode), uint64_t(c.signal), c.restarting})) << c.name;
    auto count = [&](uint32_t type) {
      auto types = TypesOf(hpid);
      return static_cast<size_t>(std::count(types.begin(), types.end(), type));
    };
    if (c.restarting) {
      EXPECT_TRUE(WaitFor([&] { return count(MSG_RESTARTED) >= 1 && count(MSG_READY) >= 2 * c.ready; }, 20s)) << c.name;
      EXPECT_EQ(KESTRAVO_KillProcess(hpid), 0) << c.name;
    } else {
      // Left ended, its hpid still taken: a destroy answers at once and nothing restarts.
      uint32_t owner = 0;
      EXPECT_EQ(OsPid(hpid), e.pid) << c.name;
      EXPECT_FALSE(KESTRAVO_IsManaged(e.pid, &owner)) << c.name;
      EXPECT_EQ(KESTRAVO_DestroyProcess(hpid, 0), 0) << c.name;
      EXPECT_EQ(count(MSG_RESTARTED), 0u) << c.name;
    }
  }
}

TEST_F(Library, HandsOutAtMost1024Hpids) {
  // A file that is no program: every start fails and waits for its retry, so nothing runs.
  std::string notAProgram = ExeDir() + "not-a-program.txt";
  std::ofstream(notAProgram) << "text\n";
  std::vector<uint32_t> hpids(1024);
  for (uint32_t& hpid : hpids) ASSERT_EQ(KESTRAVO_CreateProcess(notAProgram.c_str(), "", &hpid, 0), 0);
  uint32_t extra = 0;
  EXPECT_EQ(KESTRAVO_CreateProcess(notAProgram.c_str(), "", &extra, 0), 4);
  EXPECT_EQ(KESTRAVO_DestroyProcess(hpids[7], 0), 0);
  EXPECT_EQ(KESTRAVO_CreateProcess(notAProgram.c_str(), "", &extra, 0), 0);
  EXPECT_EQ(extra, hpids[7]);
}

// The host is ended without a chance to clean up (TerminateProcess, SIGKILL); its children run
// on, and the next host adopts each of them once, with its tree: the first one's grandchild ends
// with it.
TEST(Recovery, ChildrenOfAnEndedHostAreAdopted) {
  std::remove(StateFile().c_str());
  std::vector<std::string> args = {"", "--host", "-", "init"};
  for (int i = 0; i < 3; ++i) {
    std::string report = ExeDir() + "survivor" + std::to_string(i) + ".report";
    std::remove(report.c_str());
    std::remove((report + ".waiting").c_str());
    args.insert(args.end(), {"create", Helper(), "stop " + report + (i == 0 ? " 0 1 " : " ")});
  }
  args.push_back("wait");
  char self[4096];
  args[0].assign(self, GetModuleFileNameA(nullptr, self, sizeof self));
  // Started and ended as a plain process: on Linux the library's own start would put the host in
  // a tree of its own, and ending that tree would end the children as well.
#ifdef _WIN32
  std::string line;
  for (const std::string& arg : args) line += "\"" + arg + "\" ";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info));
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  uint32_t host = info.dwProcessId;
#else
  uint32_t host = static_cast<uint32_t>(SpawnPlain(args, true));
#endif
  std::vector<uint32_t> pids(3);
  uint32_t grandchild = 0;
  bool recorded = WaitFor([&] {
    std::string state = FileText(StateFile());
    for (int i = 0; i < 3; ++i) {
      std::string report = ExeDir() + "survivor" + std::to_string(i) + ".report";
      Report read = ReadReport(report);
      pids[i] = PidOf(read);
      if (i == 0) grandchild = read.count("grandchildren") ? static_cast<uint32_t>(std::stoul(read["grandchildren"])) : 0;
      // It opened its stop event while the host still held it.
      if (pids[i] == 0 || !std::ifstream(report + ".waiting").good() || state.find("pid=\"" + std::to_string(pids[i]) + "\"") == std::string::npos) return false;
    }
    return true;
  }, 60s);
  // While the host lives, the state file is its own: this process adopts nothing and starts not.
  Messages early;
  KESTRAVO_SetMsgCallBack(&Messages::Callback, &early);
  EXPECT_EQ(KESTRAVO_Init(), KESTRAVO_STATE_BUSY);
  EXPECT_TRUE(early.Of(0).empty());
  Terminate(host);
#ifndef _WIN32
  WaitExit(static_cast<pid_t>(host));
#endif
  EXPECT_TRUE(Ended(host));
  // After a failure, no survivor that reported outlives the test.
  if (!recorded) {
    for (uint32_t pid : pids) {
      if (pid != 0) Terminate(pid);
    }
    if (grandchild != 0) Terminate(grandchild);
  }
  ASSERT_TRUE(recorded);
  ASSERT_NE(grandchild, 0u);
  for (uint32_t pid : pids) EXPECT_FALSE(Ended(pid, 0ms)) << pid;
  EXPECT_FALSE(Ended(grandchild, 0ms));

  // Nor while others may write the file: whoever wrote it would have its commands run here.
  LetOthersWrite(StateFile(), true);
  // The system drops a dead host's lock: at once on Linux, a moment later on Windows.
  ASSERT_TRUE(WaitFor([] { return KESTRAVO_Init() == 0; }));
  EXPECT_TRUE(early.Of(0).empty());
  EXPECT_EQ(KESTRAVO_Uninit(), 0);
  LetOthersWrite(StateFile(), false);

  Messages messages;
  KESTRAVO_SetMsgCallBack(&Messages::Callback, &messages);
  ASSERT_EQ(KESTRAVO_Init(), 0);
  for (uint32_t hpid = 0; hpid < 3; ++hpid) {
    EXPECT_EQ(messages.Of(hpid), (std::vector<std::pair<uint32_t, uint32_t>>{{MSG_ATTACHABLE, pids[hpid]}}));
    EXPECT_EQ(KESTRAVO_Attach(hpid, pids[hpid]), 0);
    EXPECT_EQ(OsPid(hpid), pids[hpid]);
  }
  for (uint32_t hpid = 0; hpid < 3; ++hpid) EXPECT_EQ(KESTRAVO_DestroyProcess(hpid, 0), 0);
  pids.push_back(grandchild);
  for (uint32_t pid : pids) {
    EXPECT_TRUE(Ended(pid)) << pid;
    Terminate(pid);  // whatever failed above, no survivor outlives the test
  }
  EXPECT_EQ(KESTRAVO_Uninit(), 0);
}

}  // namespace
}  // namespace kestravo::test

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "--host") return kestravo::test::RunHost(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
