// A real host using the library: the log lines hosts and operators grep, the answers to calls
// out of turn or with bad arguments, Init and Uninit, stops, trees, restarts, the arguments a
// child receives, the host's callback calling the library from the library's threads, and what
// kestravo-run passes on of its program's readiness and status.
#include <gtest/gtest.h>
#include <kestravo.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <regex>
#include <atomic>
#include <thread>

#include "host_harness.h"
#include "platform/posix/process_groups.h"

namespace kestravo::test {
namespace {

using ProcessControl = HostTest;

// The log lines as "LEVEL [function(N)] ...": the source line written as "N", and the time and
// thread of the default layout (before any configuration) left out.
std::vector<std::string> Normalised(const std::string& log) {
  std::vector<std::string> lines;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    line = std::regex_replace(line, std::regex(R"(^[-\d]+ [:,\d]+ (\w+) \[0x[0-9a-f]+\] KESTRAVO - )"), "$1 ");
    lines.push_back(std::regex_replace(line, std::regex(R"(\((\d+)\)\])"), "(N)]"));
  }
  return lines;
}

// The lines that are the contract, each exactly once: what a host's operator greps for.
TEST_F(ProcessControl, LogsTheLinesOperatorsGrepFor) {
  std::string state = dir.File("kestravo.xml"), helper = HelperChild();
  std::ofstream(state) << "<?xml version=\"1.0\" ?>\n<kestravo></kestravo>\n";
  ASSERT_EQ(chmod(state.c_str(), 0666), 0);
  // Before any configuration the library logs to kestravo.log beside its state file, not to
  // standard error.
  ::testing::internal::CaptureStderr();
  uint32_t out = 0;
  EXPECT_EQ(Answers({KESTRAVO_GetOSPid(0, &out), KESTRAVO_Uninit()}), "5,5");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  ASSERT_TRUE(Start());

  std::string report = dir.File("a.report"), gone = dir.File("gone"), unrunnable = dir.File("unrunnable");
  pid_t pid = Running("stop", report);
  ASSERT_GT(pid, 0);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  ASSERT_GT(WaitRunning(0, report, pid), 0);
  std::string cmd = "stop " + report + " kestravCmdLine:;pid=0;guid=" + ReadReport(report)["guid"];
  ASSERT_GT(Running("ignore", dir.File("deaf.report")), 0);
  ASSERT_EQ(KESTRAVO_DestroyProcess(0, 0), 0);
  ASSERT_EQ(KESTRAVO_DestroyProcess(1, 0), 0);
  std::filesystem::copy_file(helper, gone);
  ASSERT_EQ(Create(gone, "stop " + report + " "), 0u);
  pid = WaitRunning(0, report, pid);
  ASSERT_GT(pid, 0);
  ASSERT_EQ(unlink(gone.c_str()), 0);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  ASSERT_TRUE(WaitCount(0, MSG_RESTART_FAILED, 1));
  std::filesystem::copy_file(helper, unrunnable);
  ASSERT_EQ(chmod(unrunnable.c_str(), 0600), 0);
  ASSERT_EQ(Create(unrunnable, "x"), 1u);
  int ret = 0;
  Create(dir.File("missing"), "stop - ", &ret);
  EXPECT_EQ(ret, 1);
  ASSERT_TRUE(WaitFor([&] { return LinesWith(dir.Log(), {unrunnable, "Create Process failed!"}) > 0; }));
  // Asking for the pid of a start still being retried is no error; of an hpid never given out, it is.
  EXPECT_EQ(Answers({KESTRAVO_GetOSPid(1, &out), KESTRAVO_GetOSPid(5, &out)}), "1,1");
  EXPECT_EQ(KESTRAVO_DestroyProcess(1, 0), 0);
  Stop();

  const std::string code = "[0x01900022] - ";
  const std::string kContract[] = {
      "ERROR [KESTRAVO_GetOSPid(N)] " + code + "kestravo has not been inited, you should init first.",
      "ERROR [KESTRAVO_Uninit(N)] " + code + "vomar not init yet",
      "WARN [CKestravoConfig::LoadXml(N)] [0x01900014] - [filePath=" + state +
          ",reason=writable by group or others (mode 0666)]state file not trusted, not loaded",
      "INFO [CRunningGuard::insideWorkRoutine(N)] - [exePath=" + helper + ",pid=0]Find Process exit!",
      "ERROR [CProcessMgr::OnGuardNotify(N)] [0x01900613] - [exePath=" + helper + ",cmdLine=" + cmd +
          ",hpid=0]process is exit, prepare to restart!",
      "INFO [CProcessLauncher::insideLaucherRoutine(N)] - [hpid=0] process destroy success.",
      "INFO [CProcessLauncher::insideLaucherRoutine(N)] - [hpid=1]The process has been notified, but wait exit timeout!",
      "ERROR [CProcessLauncher::insideLaucherRoutine(N)] [0x01900609] - [exePath=" + gone + ",lastError=2]Create Process failed!",
      "ERROR [CProcessLauncher::insideLaucherRoutine(N)] [0x01900609] - [exePath=" + unrunnable + ",lastError=5]Create Process failed!",
      "WARN [CProcessMgr::CreateProcessA(N)] [0x01900017] - [path=" + dir.File("missing") + ",cmdline=stop - ]Param is invalid!",
      "ERROR [CProcessMgr::GetOSPid(N)] [0x01900017] - [pid=5]pid cannot be found in processMap!",
  };
  std::vector<std::string> log = Normalised(dir.Log());
  for (const std::string& line : kContract) EXPECT_EQ(std::count(log.begin(), log.end(), line), 1) << line;
  EXPECT_EQ(LinesWith(dir.Log(), {"CProcessMgr::GetOSPid"}), 1u);
}

// The answers to calls out of turn and with bad arguments; none takes an hpid, writes an out
// value, or disturbs the child already running.
TEST_F(ProcessControl, AnswersCallsOutOfTurnAndWithBadArgumentsWithoutHarm) {
  std::string helper = HelperChild(), no = dir.File("no");
  const char* cmd = "stop - ";
  uint32_t out = kNoHpid;
  EXPECT_EQ(Answers({KESTRAVO_CreateProcess(helper.c_str(), cmd, &out, 0), KESTRAVO_Attach(0, 1), KESTRAVO_DestroyProcess(0, 0),
                     KESTRAVO_KillProcess(0), KESTRAVO_RestartProcess(0), KESTRAVO_GetOSPid(0, &out),
                     KESTRAVO_IsManaged(1, &out), KESTRAVO_IsManaged(1, nullptr), SetCallback()}),
            "5,5,5,5,5,5,0,0,0");
  ASSERT_EQ(KESTRAVO_Init(), 0);
  ASSERT_GT(Running("stop", dir.File("a.report")), 0);
  EXPECT_EQ(Answers({KESTRAVO_CreateProcess(nullptr, cmd, &out, 0), KESTRAVO_CreateProcess(helper.c_str(), nullptr, &out, 0),
                     KESTRAVO_CreateProcess("", cmd, &out, 0), KESTRAVO_CreateProcess(no.c_str(), cmd, &out, 0),
                     KESTRAVO_CreateProcess(helper.c_str(), cmd, nullptr, 0), KESTRAVO_GetOSPid(0, nullptr)}),
            "1,1,1,1,1,1");
  for (uint32_t h : {1u, 1023u, 1024u, 0xFFFFFFFFu}) {
    EXPECT_EQ(Answers({KESTRAVO_DestroyProcess(h, 0), KESTRAVO_DestroyProcess(h, 7), KESTRAVO_KillProcess(h),
                       KESTRAVO_RestartProcess(h), KESTRAVO_GetOSPid(h, &out), KESTRAVO_Attach(h, 1)}),
              "1,1,1,1,1,1") << h;
  }
  // The host itself is never managed.
  for (uint32_t pid : {static_cast<uint32_t>(getpid()), 0u, 0xFFFFFFFFu, 0x80000000u}) EXPECT_FALSE(KESTRAVO_IsManaged(pid, &out)) << pid;
  EXPECT_FALSE(KESTRAVO_IsManaged(1, nullptr));
  EXPECT_EQ(out, kNoHpid);
  EXPECT_EQ(KESTRAVO_Attach(0, Pid(0)), 1);  // managed, but no child of an earlier run
  EXPECT_EQ(CreateHelper("stop", dir.File("b.report")), 1u);
  EXPECT_EQ(KESTRAVO_DestroyProcess(0, 0), 0);
  EXPECT_TRUE(Messages().empty());
  EXPECT_EQ(LinesWith(dir.Log(), {"wait exit timeout"}), 0u);  // it heard its stop event
  Stop();
}

TEST_F(ProcessControl, InitIsCountedAndOnlyTheLastUninitStopsEveryChildAtOnce) {
  ASSERT_TRUE(Start());
  ASSERT_EQ(KESTRAVO_Init(), 0);
  // Six that ignore their stop event share one grace: far less than six graces one after another.
  std::vector<pid_t> pids = {Running("stop", dir.File("polite.report"))};
  for (int i = 1; i <= 6; ++i) pids.push_back(Running("ignore", dir.File(std::to_string(i) + ".report")));
  for (pid_t pid : pids) ASSERT_GT(pid, 0);
  ASSERT_TRUE(WaitFor([&] { return dir.State().size() == 7; }));
  EXPECT_EQ(KESTRAVO_Uninit(), 0);
  ASSERT_EQ(kill(pids[0], SIGKILL), 0);  // still supervised, callback included
  EXPECT_TRUE(WaitCount(0, MSG_RESTARTED, 1));
  pids[0] = WaitRunning(0, dir.File("polite.report"), pids[0]);
  ASSERT_GT(pids[0], 0);

  auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(KESTRAVO_Uninit(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(4));
  for (pid_t pid : pids) EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(pid); }));
  EXPECT_TRUE(NoZombies());
  EXPECT_EQ(LinesWith(dir.Log(), {"wait exit timeout"}), 6u);
  EXPECT_EQ(dir.State().size(), 7u);  // Uninit keeps the records
  uint32_t out = 0;
  EXPECT_EQ(Answers({KESTRAVO_Uninit(), KESTRAVO_GetOSPid(0, &out)}), "5,5");

  // A fresh start: the recorded children are gone, every hpid is free, the callback is unset.
  size_t heard = Messages().size();
  ASSERT_EQ(KESTRAVO_Init(), 0);
  std::string again = dir.File("again.report");
  pid_t pid = Running("stop", again);
  ASSERT_GT(pid, 0);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  EXPECT_GT(WaitRunning(0, again, pid), 0);
  EXPECT_EQ(Messages().size(), heard);
  ASSERT_TRUE(WaitFor([&] { return dir.State().size() == 1; }));
  EXPECT_EQ(dir.State()[0].hpid, 0u);
  Stop();
}

// Destroy asks through the stop event and terminates a child that does not listen; kill ends it
// at once; a start that keeps failing is cancelled. Each stop is final and unreported, and frees
// its hpid and its entry.
TEST_F(ProcessControl, StopsAreFinalUnreportedAndFreeTheirHpid) {
  ASSERT_TRUE(Start());
  std::vector<pid_t> pids = {Running("stop", dir.File("0.report")), Running("ignore", dir.File("1.report")),
                             Running("ignore", dir.File("2.report"))};
  std::string unrunnable = dir.File("unrunnable");
  std::filesystem::copy_file(HelperChild(), unrunnable);
  ASSERT_EQ(chmod(unrunnable.c_str(), 0600), 0);
  ASSERT_EQ(Create(unrunnable, "x"), 3u);
  ASSERT_TRUE(WaitFor([&] { return dir.State().size() == 3; }));

  EXPECT_EQ(KESTRAVO_DestroyProcess(0, 0), 0);
  EXPECT_FALSE(ProcessAlive(pids[0]));
  EXPECT_EQ(KESTRAVO_DestroyProcess(1, 0), 0);
  EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(pids[1]); }));
  EXPECT_EQ(KESTRAVO_KillProcess(2), 0);
  EXPECT_FALSE(ProcessAlive(pids[2]));
  auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(KESTRAVO_KillProcess(3), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
  uint32_t out = 0;
  EXPECT_EQ(Answers({KESTRAVO_GetOSPid(0, &out), KESTRAVO_DestroyProcess(0, 0), KESTRAVO_KillProcess(2), KESTRAVO_RestartProcess(1),
                     KESTRAVO_KillProcess(3)}),
            "1,1,1,1,1");
  EXPECT_TRUE(WaitFor([&] { return dir.State().empty(); })) << dir.StateText();
  EXPECT_TRUE(NoZombies());
  EXPECT_TRUE(Messages().empty());
  // A stop right after its create finds the start queued, on the launcher or done, and stops the
  // child in each case: never 1 with the child left running.
  for (int i = 0; i < 40; ++i) {
    const uint32_t hpid = CreateHelper("stop", dir.File("quick.report"));
    EXPECT_EQ(i % 4 == 3 ? KESTRAVO_KillProcess(hpid) : KESTRAVO_DestroyProcess(hpid, 0), 0) << i;
  }
  EXPECT_TRUE(WaitFor([&] { return dir.ProcessesNamingMe().empty(); }));
  for (uint32_t hpid = 0; hpid < 4; ++hpid) EXPECT_EQ(CreateHelper("stop", "-"), hpid);
  Stop();
}

// No call waits on another call's child: while a destroy waits out a long grace on one thread,
// a second stop of its hpid answers 1, another child is answered for, restarted and destroyed
// beside it; the long destroy still ends its child when its grace runs out. Each hpid is freed
// once: new children get the two hpids and then a third.
TEST_F(ProcessControl, NoCallWaitsOnAnotherCallsChild) {
  ASSERT_TRUE(Start());
  pid_t deaf = Running("ignore", dir.File("0.report")), other = Running("stop", dir.File("1.report")),
        second = Running("ignore", dir.File("2.report"));
  ASSERT_TRUE(deaf > 0 && other > 0 && second > 0);
  std::atomic<int> result{-1};
  std::thread destroy([&] { result = KESTRAVO_DestroyProcess(0, 6000); });
  ASSERT_TRUE(WaitFor([&] { return LinesWith(dir.Log(), {"[pid=0]Prepare to destroy process!"}) == 1; }));
  EXPECT_EQ(Answers({KESTRAVO_DestroyProcess(0, 0), KESTRAVO_KillProcess(0), KESTRAVO_RestartProcess(0), Pid(1) == other}),
            "1,1,1,1");
  ASSERT_EQ(kill(other, SIGKILL), 0);
  EXPECT_GT(WaitRunning(1, dir.File("1.report"), other), 0);
  EXPECT_EQ(KESTRAVO_DestroyProcess(2, 1000), 0);
  EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(second); }));
  EXPECT_EQ(result, -1);  // all of it during the first destroy's grace
  EXPECT_TRUE(ProcessAlive(deaf));
  destroy.join();
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(deaf); }));
  for (uint32_t hpid : {0u, 2u, 3u}) EXPECT_EQ(CreateHelper("stop", "-"), hpid);
  Stop();
}

// Stops asked from several threads run side by side: eight children that ignore their stop
// event, destroyed from eight threads with a grace of 2 s, are gone in about one grace, not eight.
TEST_F(ProcessControl, DestroysFromSeveralThreadsTakeAboutOneGrace) {
  ASSERT_TRUE(Start());
  std::vector<pid_t> pids;
  for (int i = 0; i < 8; ++i) pids.push_back(Running("ignore", dir.File(std::to_string(i) + ".report")));
  for (pid_t pid : pids) ASSERT_GT(pid, 0);
  std::atomic<int> stopped{0};
  std::vector<std::thread> threads;
  auto before = std::chrono::steady_clock::now();
  for (uint32_t hpid = 0; hpid < 8; ++hpid) threads.emplace_back([&, hpid] { stopped += KESTRAVO_DestroyProcess(hpid, 2000) == 0; });
  for (std::thread& thread : threads) thread.join();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(8));  // one after another: 16 s
  EXPECT_EQ(stopped, 8);
  for (pid_t pid : pids) EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(pid); }));
  EXPECT_EQ(LinesWith(dir.Log(), {"wait exit timeout"}), 8u);
  EXPECT_TRUE(WaitFor([&] { return dir.State().empty(); }));
  Stop();
}

// A destroy that meets another end of its child: the child's own exits (it dies young, again and
// again), its relaunch waiting, a kill of the same hpid, the last Uninit; all while another
// child's long grace runs, which holds none of it up. The destroy answers without waiting for the
// other call, the other call without waiting for the destroy; the child ends once, logged once,
// and its hpid is freed once.
struct StopRace {
  const char* name;
  const char* mode;        // the child's, hpid 0
  uint32_t graceMs;        // of its destroy, made on a thread of its own
  int (*meanwhile)();      // once the destroy has begun; its answer
  const char* answers;     // the destroy's and the other call's
  bool afterExit = false;  // made once the child's first exit is reported (its relaunch waits)
};

const StopRace kStopRaces[] = {
    {"OwnExit", "exit 120", 3000, nullptr, "0"},
    {"QueuedRelaunch", "exit 0", 3000, nullptr, "0", true},
    {"Kill", "ignore", 6000, [] { return KESTRAVO_KillProcess(0); }, "0,1"},
    {"LastUninit", "ignore", 20000, [] { return KESTRAVO_Uninit(); }, "0,0"},
};

void PrintTo(const StopRace& c, std::ostream* out) { *out << c.name; }

class StopRaces : public HostTest, public ::testing::WithParamInterface<StopRace> {};

TEST_P(StopRaces, TheChildEndsOnceAndItsHpidIsFreedOnce) {
  const StopRace& c = GetParam();
  const bool uninit = std::string(c.name) == "LastUninit";
  ASSERT_TRUE(Start());
  std::string mode = c.mode;
  pid_t pid = Running(mode.substr(0, mode.find(' ')), dir.File("a.report"), mode.find(' ') == std::string::npos ? "" : mode.substr(mode.find(' ') + 1));
  ASSERT_GT(pid, 0);
  ASSERT_GT(Running("ignore", dir.File("b.report")), 0);
  std::atomic<int> destroyed{-1}, slow{-1};
  std::thread slowDestroy([&] { slow = KESTRAVO_DestroyProcess(1, 30000); });
  ASSERT_TRUE(WaitFor([&] { return LinesWith(dir.Log(), {"[pid=1]Prepare to destroy process!"}) == 1; }));
  if (c.afterExit) {
    ASSERT_TRUE(WaitCount(0, MSG_EXITED, 1));
  }
  std::thread destroy([&] { destroyed = KESTRAVO_DestroyProcess(0, c.graceMs); });
  std::string answers;
  if (c.meanwhile != nullptr) {
    ASSERT_TRUE(WaitFor([&] { return LinesWith(dir.Log(), {"[pid=0]Prepare to destroy process!"}) == 1; }));
    auto before = std::chrono::steady_clock::now();
    int other = c.meanwhile();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(c.graceMs / 2));
    destroy.join();
    answers = Answers({destroyed, other});
  } else {
    destroy.join();
    answers = Answers({destroyed});
  }
  EXPECT_EQ(answers, c.answers);
  EXPECT_EQ(slow, uninit ? slow.load() : -1);
  const size_t heard = Messages().size();
  EXPECT_TRUE(WaitFor([&] {
    for (pid_t left : dir.ProcessesNamingMe())
      if (FileText("/proc/" + std::to_string(left) + "/cmdline").find("a.report") != std::string::npos) return false;
    return true;
  }));
  // A last Uninit that comes before the launcher took the destroy from its queue ends the child
  // itself, without the launcher's line; never twice.
  const size_t successes = LinesWith(dir.Log(), {"[hpid=0] process destroy success."});
  if (uninit) {
    EXPECT_LE(successes, 1u);
  } else {
    EXPECT_EQ(successes, 1u);
  }
  if (uninit) {
    slowDestroy.join();
    EXPECT_EQ(slow, 0);
    ASSERT_EQ(KESTRAVO_Init(), 0);
  }
  // hpid 1 is free only after the last Uninit ended its destroy.
  for (uint32_t hpid : {0u, uninit ? 1u : 2u}) EXPECT_EQ(CreateHelper("stop", "-"), hpid);
  EXPECT_EQ(Messages().size(), heard);  // nothing of hpid 0 after its destroy returned
  Stop();
  if (!uninit) slowDestroy.join();
  EXPECT_EQ(slow, 0);
}

INSTANTIATE_TEST_SUITE_P(Destroy, StopRaces, ::testing::ValuesIn(kStopRaces), [](const auto& info) { return std::string(info.param.name); });

// A stop that the launcher cannot confirm in time (a callback holds it up) answers 3 and goes on
// by itself: its hpid is unknown meanwhile, then free, and its entry leaves the file.
TEST_F(ProcessControl, AStopThatTimesOutFinishesByItself) {
  actions[MSG_RESTARTED] = [](uint32_t) {
    std::this_thread::sleep_for(std::chrono::seconds(7));  // the launcher's thread, held
    return std::string("slept");
  };
  ASSERT_TRUE(Start());
  std::vector<pid_t> pids = {Running("stop", dir.File("0.report")), Running("stop", dir.File("1.report"))};
  ASSERT_EQ(kill(pids[0], SIGKILL), 0);
  ASSERT_TRUE(WaitFor([&] { return Messages().size() == 2; }));  // exited; restarted, calling

  EXPECT_EQ(KESTRAVO_DestroyProcess(1, 0), 3);
  EXPECT_EQ(Pid(1), 0);
  EXPECT_TRUE(WaitFor([&] { return dir.State().size() == 1 && !ProcessAlive(pids[1]); })) << dir.StateText();
  EXPECT_EQ(CreateHelper("stop", "-"), 1u);
  Stop();
}

// A child is its whole tree: its workers end with it, however it ends, and its relaunch runs
// beside none of them. Daemons that left its group end with it where it has a cgroup, which is gone
// soon after; a lone child's, emptied and never killed, is its relaunch's and goes with that one,
// unless it was frozen: the relaunch would freeze before its exec, and every start after it.
struct TreeCase {
  const char* name;
  const char* mode;     // the helper's mode ("grandchild" or "stop") and its arguments
  int (*end)();         // the call that ends it; none for a child that dies unasked
  bool relaunched;
  bool frozen = false;  // its cgroup frozen before it dies
};

const TreeCase kTreeCases[] = {
    {"Kill", "grandchild 2", [] { return KESTRAVO_KillProcess(0); }, false},
    {"DestroyWhoseGraceRunsOut", "grandchild 2", [] { return KESTRAVO_DestroyProcess(0, 0); }, false},
    {"Restart", "grandchild 2", [] { return KESTRAVO_RestartProcess(0); }, true},
    {"LastUninit", "grandchild 2", [] { return KESTRAVO_Uninit(); }, false},
    {"LastUninitHeard", "stop 0 8", [] { return KESTRAVO_Uninit(); }, false},
    {"UnaskedExit", "grandchild 2", nullptr, true},
    {"UnaskedExitAlone", "stop 0", nullptr, true},
    {"KillWithDaemons", "grandchild 2 setsid", [] { return KESTRAVO_KillProcess(0); }, false},
    {"UnaskedExitAloneFrozen", "stop 0", nullptr, true, true},
};

void PrintTo(const TreeCase& c, std::ostream* out) { *out << c.name; }

class Trees : public HostTest, public ::testing::WithParamInterface<TreeCase> {};

TEST_P(Trees, NoWorkerOutlivesItsChild) {
  const TreeCase& c = GetParam();
  ASSERT_TRUE(Start());
  std::string report = dir.File("a.report"), mode = c.mode;
  pid_t pid = Running(mode.substr(0, mode.find(' ')), report, mode.substr(mode.find(' ') + 1));
  ASSERT_GT(pid, 0);
  std::string cgroup = posix::ChildCgroupOf(pid);
  if (cgroup.empty() && mode.find("setsid") != std::string::npos)
    GTEST_SKIP() << "no cgroup for the child here: daemons are beyond its process group";
  if (c.frozen) {
    if (cgroup.empty() || !std::ifstream(cgroup + "/cgroup.freeze").good()) GTEST_SKIP() << "no cgroup freezer for the child here";
    std::ofstream(cgroup + "/cgroup.freeze") << "1";
    ASSERT_TRUE(WaitFor([&] { return FileText(cgroup + "/cgroup.events").find("frozen 1") != std::string::npos; }));
  }

  const std::string named = ReadReport(report)["grandchildren"];
  const size_t alone = named.empty(), tree = alone ? 1 : 2 + std::count(named.begin(), named.end(), ',');
  std::istringstream workers(named);
  ASSERT_EQ(c.end ? c.end() : kill(pid, SIGKILL), 0);
  for (std::string worker; std::getline(workers, worker, ',');)
    EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(std::stoi(worker)); })) << worker;
  auto gone = [&] { return cgroup.empty() || WaitFor([&] { return access(cgroup.c_str(), F_OK) != 0; }, std::chrono::milliseconds(1500)); };
  pid_t again = 0;
  if (c.relaunched) {
    again = WaitRunning(0, report, pid);
    if (again <= 0 && c.frozen) std::ofstream(cgroup + "/cgroup.freeze") << "0";  // lets a stuck start go on
    ASSERT_GT(again, 0);
    // The new child and its workers (each named once its exec is done).
    EXPECT_TRUE(WaitFor([&] { return dir.ProcessesNamingMe().size() == tree; }));
    EXPECT_EQ(posix::ChildCgroupOf(again).empty(), cgroup.empty());
  }
  // A relaunch takes over a cgroup that emptied without being killed: always a lone child's, and
  // one whose workers the group's kill ended before the look. Then it holds the new tree alone.
  if (again > 0 && c.end == nullptr && !c.frozen && !cgroup.empty() && (alone || posix::ChildCgroupOf(again) == cgroup)) {
    EXPECT_EQ(posix::ChildCgroupOf(again), cgroup);
    const std::string procs = FileText(cgroup + "/cgroup.procs");
    EXPECT_EQ(static_cast<size_t>(std::count(procs.begin(), procs.end(), '\n')), tree) << procs;
    EXPECT_NE(("\n" + procs).find("\n" + std::to_string(again) + "\n"), std::string::npos) << procs;
  } else {
    EXPECT_TRUE(gone());
  }
  if (std::string(c.name).rfind("LastUninit", 0) != 0) Stop();
  EXPECT_TRUE(gone());
}

INSTANTIATE_TEST_SUITE_P(End, Trees, ::testing::ValuesIn(kTreeCases), [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProcessControl, ChildrenEndingTogetherAreEachRestartedOnce) {
  ASSERT_TRUE(Start());
  const uint32_t n = 8;
  std::vector<pid_t> pids;
  for (uint32_t hpid = 0; hpid < n; ++hpid) pids.push_back(Running("ignore", dir.File(std::to_string(hpid) + ".report")));
  for (pid_t pid : pids) ASSERT_EQ(kill(pid, SIGKILL), 0);
  for (uint32_t hpid = 0; hpid < n; ++hpid)
    ASSERT_GT(WaitRunning(hpid, dir.File(std::to_string(hpid) + ".report"), pids[hpid]), 0) << hpid;
  ASSERT_TRUE(WaitFor([&] { return LiveChildrenOf(getpid()).size() == n; }));
  for (uint32_t hpid = 0; hpid < n; ++hpid) {
    EXPECT_EQ(Count(hpid, MSG_EXITED), 1u) << hpid;
    EXPECT_EQ(Count(hpid, MSG_RESTARTED), 1u) << hpid;
  }
  for (const Message& m : Messages()) EXPECT_TRUE(m.user);
  Stop();
}

// The text after "[hpid=H,pid=P]" of the log line that tells how that child ended ("" if none).
std::string ExitLine(const std::string& log, uint32_t hpid, pid_t pid) {
  std::string key = "[hpid=" + std::to_string(hpid) + ",pid=" + std::to_string(pid) + "]";
  size_t at = log.find(key);
  return at == std::string::npos ? "" : log.substr(at + key.size(), log.find('\n', at) - at - key.size());
}

// How a child ended reaches the host and the log as the kernel reported it to a plain parent
// (whether a core was dumped depends on the system's core settings).
TEST_F(ProcessControl, ExitsAreReportedAsTheKernelSawThem) {
  std::string cores = dir.File("cores");
  ASSERT_TRUE(std::filesystem::create_directory(cores));
  const std::string kCases[][2] = {{"exit", "0 3"}, {"crash", "0"}, {"dump", "0 " + cores}};
  ASSERT_TRUE(Start());
  for (uint32_t hpid = 0; hpid < 3; ++hpid) {
    const std::string& mode = kCases[hpid][0];
    std::vector<std::string> argv = {HelperChild(), mode, "-"};
    std::istringstream extra(kCases[hpid][1]);
    for (std::string word; extra >> word;) argv.push_back(word);
    int status = 0;
    pid_t plain = SpawnPlain(argv);
    ASSERT_TRUE(WaitFor([&] { return waitpid(plain, &status, WNOHANG) == plain; }));
    ASSERT_EQ(CreateHelper(mode, "-", kCases[hpid][1]), hpid);
    ASSERT_TRUE(WaitCount(hpid, MSG_EXITED, 1));
    ExitedProcInfo e{};
    for (const Message& m : Messages()) e = m.hpid == hpid && m.type == MSG_EXITED && e.size == 0 ? m.exited : e;
    bool dumped = WCOREDUMP(status);
    EXPECT_EQ(std::vector<uint64_t>({e.size, e.known, uint64_t(e.exitCode), uint64_t(e.signal), e.coreDumped, e.cause, e.restarting}),
              std::vector<uint64_t>({sizeof e, 1, mode == "exit" ? 3u : 0u, mode == "exit" ? 0u : uint64_t(SIGABRT), dumped,
                                     uint64_t(mode == "exit" ? KESTRAVO_CAUSE_EXITED : KESTRAVO_CAUSE_SIGNAL), 1})) << mode;
    std::string cause = mode == "exit" ? "exited with code 3" : std::string("killed by SIGABRT") + (dumped ? " \\(core dumped\\)" : "");
    EXPECT_TRUE(std::regex_match(ExitLine(dir.Log(), hpid, e.pid), std::regex(cause + " after 0\\.\\d\\d s, restart in 100 ms"))) << ExitLine(dir.Log(), hpid, e.pid);
  }
  // Where the kernel writes cores by name into the working directory, the dump case made one.
  std::string pattern = FileText("/proc/sys/kernel/core_pattern");
  if (pattern.find_first_of("|/%") == std::string::npos) {
    EXPECT_TRUE(std::filesystem::exists(cores + "/" + pattern.substr(0, pattern.find('\n')))) << pattern;
  }
  for (uint32_t hpid = 0; hpid < 3; ++hpid) EXPECT_EQ(KESTRAVO_KillProcess(hpid), 0);
  Stop();
}

// A child that dies young comes back later and later, and its exit report says how much later;
// one that ran a second comes back at once and starts the count again; a stop during the wait
// cancels the restart.
TEST_F(ProcessControl, RestartsOfAChildThatDiesYoungAreSpacedOut) {
  ASSERT_TRUE(Start());
  std::string report = dir.File("a.report");
  pid_t pid = Running("ignore", report);
  ASSERT_GT(pid, 0);
  // Per kill: how long the child has run at least, and the wait announced before its restart.
  const std::pair<int, int> kKills[] = {{0, 100}, {0, 200}, {0, 400}, {1100, 0}, {0, 100}, {0, 200}, {0, 400}, {0, 800}};
  for (const auto& [runMs, spacingMs] : kKills) {
    std::this_thread::sleep_for(std::chrono::milliseconds(runMs));
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    auto killedAt = std::chrono::steady_clock::now();
    std::regex expected("killed by SIGKILL after \\d+\\.\\d\\d s" + (spacingMs ? ", restart in " + std::to_string(spacingMs) + " ms" : std::string()));
    EXPECT_TRUE(WaitFor([&] { return std::regex_match(ExitLine(dir.Log(), 0, pid), expected); })) << ExitLine(dir.Log(), 0, pid);
    // The host is told the same wait with the exit.
    auto told = [&] {
      for (const Message& m : Messages())
        if (m.type == MSG_EXITED && m.exited.pid == static_cast<uint32_t>(pid)) return static_cast<int>(m.exited.relaunchInMs);
      return -1;
    };
    EXPECT_TRUE(WaitFor([&] { return told() == spacingMs; })) << told();
    if (spacingMs == 800) {
      EXPECT_EQ(KESTRAVO_KillProcess(0), 0);
      EXPECT_LT(std::chrono::steady_clock::now() - killedAt, std::chrono::milliseconds(spacingMs));
      break;
    }
    pid = WaitRunning(0, report, pid);
    ASSERT_GT(pid, 0);
    EXPECT_GE(std::chrono::steady_clock::now() - killedAt, std::chrono::milliseconds(spacingMs));
  }
  // The waiting relaunch was taken out of the queue: nothing more starts.
  EXPECT_EQ(LinesWith(dir.Log(), {"this task has not been accomplished till die"}), 1u);
  EXPECT_TRUE(WaitCount(0, MSG_EXITED, 8));
  EXPECT_EQ(Answers({int(Count(0, MSG_EXITED)), int(Count(0, MSG_RESTARTED)), Pid(0)}), "8,7,0");
  Stop();
}

// The command line is split into arguments and handed to the program itself, no shell between,
// up to what exec takes: 1 MiB in words of 1 KiB.
TEST_F(ProcessControl, ChildrenGetTheirArgumentsAsGiven) {
  std::string x = dir.File("x"), word(1023, 'w'), words;
  while (words.size() < (1u << 20)) words += word + " ";
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"; touch " + x + " $(touch " + x + ") `touch " + x + "` | cat && exit 1",
       {";", "touch", x, "$(touch", x + ")", "`touch", x + "`", "|", "cat", "&&", "exit", "1"}},
      {words, std::vector<std::string>((1u << 20) / 1024, word)},
  };
  ASSERT_TRUE(Start(false));
  for (const auto& [extra, expected] : cases) {
    pid_t pid = Running("ignore", dir.File("a.report"), extra);
    Report child = ReadReport(dir.File("a.report"));
    ASSERT_EQ(child["argc"], std::to_string(expected.size() + 4));
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(child["arg" + std::to_string(i + 3)], expected[i]);
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe").string(), HelperChild());
    EXPECT_EQ(KESTRAVO_KillProcess(0), 0);
  }
  EXPECT_FALSE(std::filesystem::exists(x));
  Stop();
}

// The host's callback calls the library on the thread of the message: the guard's (exits) or the
// launcher's (relaunches). Nothing it does may block that thread for good.
struct CallbackCase {
  const char* name;
  uint32_t type;                  // the message whose callback calls in
  std::string (*action)(uint32_t);  // its calls, given its hpid, and their answers
  bool uninitMeanwhile;           // the test's thread runs the last Uninit while it calls
  const char* results;            // what the calls answer
  bool endsStopped;               // the library is uninitialised afterwards
  const char* other = nullptr;    // a second child (hpid 1) in this mode; the test's thread is
                                  // answered while the calls run and that child still lives
};

int GetOSPid(uint32_t h) {
  uint32_t out = 0;
  return KESTRAVO_GetOSPid(h, &out);
}

// Waits for the last Uninit to begin (GetOSPid answers 5), then makes every call.
std::string EveryCall(uint32_t h) {
  uint32_t out = 0;
  WaitFor([&] { return GetOSPid(h) == 5; });
  return Answers({GetOSPid(h), KESTRAVO_Init(), KESTRAVO_Uninit(), KESTRAVO_CreateProcess("x", "x", &out, 0),
                  KESTRAVO_DestroyProcess(h, 0), KESTRAVO_KillProcess(h), KESTRAVO_RestartProcess(h), KESTRAVO_Attach(h, 1),
                  KESTRAVO_IsManaged(1, &out)});
}

const CallbackCase kCallbackCases[] = {
    // The last Uninit waits for the thread; the thread's calls answer 5 instead of waiting for it.
    {"GuardThreadDuringLastUninit", MSG_EXITED, EveryCall, true, "5,5,5,5,5,5,5,5,0", true},
    {"LauncherThreadDuringLastUninit", MSG_RESTARTED, EveryCall, true, "5,5,5,5,5,5,5,5,0", true},
    // The launcher would do the stop only after the call gave up waiting for it.
    {"DestroyOnTheLauncherThread", MSG_RESTARTED, [](uint32_t h) { return Answers({KESTRAVO_DestroyProcess(h, 0), GetOSPid(h)}); }, false, "0,1", false},
    {"KillOnTheLauncherThread", MSG_RESTARTED, [](uint32_t h) { return Answers({KESTRAVO_KillProcess(h), GetOSPid(h)}); }, false, "0,1", false},
    // The guard cannot wait for itself; once told to end it starts nothing anew.
    {"LastUninitOnTheGuardThread", MSG_EXITED, [](uint32_t h) { return Answers({KESTRAVO_Uninit(), GetOSPid(h), KESTRAVO_Init()}); }, false, "0,5,5", true},
    // A destroy of another child that ignores its event holds up no call of other threads.
    {"DestroyOfAnotherOnTheGuardThread", MSG_EXITED, [](uint32_t) { return Answers({KESTRAVO_DestroyProcess(1, 3000), GetOSPid(1)}); }, false, "0,1", false, "ignore"},
    {"DestroyOfAnotherOnTheLauncherThread", MSG_RESTARTED, [](uint32_t) { return Answers({KESTRAVO_DestroyProcess(1, 3000), GetOSPid(1)}); }, false, "0,1", false, "ignore"},
};

void PrintTo(const CallbackCase& c, std::ostream* out) { *out << c.name; }

class Callbacks : public HostTest, public ::testing::WithParamInterface<CallbackCase> {};

TEST_P(Callbacks, CallsFromTheLibrarysThreadsReturn) {
  const CallbackCase& c = GetParam();
  actions[c.type] = c.action;
  ASSERT_TRUE(Start());
  pid_t pid = Running("stop", dir.File("a.report")), other = c.other ? Running(c.other, dir.File("b.report")) : 0;
  ASSERT_GT(pid, 0);
  ASSERT_EQ(other >= 0 && (c.other == nullptr || other > 0), true);
  ASSERT_EQ(kill(pid, SIGKILL), 0);

  auto message = [&] {
    for (const Message& m : Messages())
      if (m.type == c.type && m.calling) return m;
    return Message();
  };
  if (c.uninitMeanwhile) {
    ASSERT_TRUE(WaitFor([&] { return message().calling; }));
    EXPECT_EQ(KESTRAVO_Uninit(), 0);
  }
  if (c.other) {
    ASSERT_TRUE(WaitFor([&] { return message().calling && LinesWith(dir.Log(), {"[pid=1]Prepare to destroy process!"}) == 1; }));
    EXPECT_EQ(Pid(0) > 0, true);
    EXPECT_TRUE(ProcessAlive(other));  // answered during the other child's grace
  }
  ASSERT_TRUE(WaitFor([&] { return !message().call.empty(); }));
  EXPECT_EQ(message().call, c.results);

  // The library is whole afterwards: it starts again if it was stopped, and the hpid is free.
  if (c.endsStopped) { EXPECT_EQ(KESTRAVO_Init(), 0); }
  EXPECT_EQ(CreateHelper("stop", "-"), c.other ? 1u : 0u);
  EXPECT_TRUE(NoZombies());
  Stop();
}

INSTANTIATE_TEST_SUITE_P(Thread, Callbacks, ::testing::ValuesIn(kCallbackCases),
                         [](const auto& info) { return std::string(info.param.name); });

// What kestravo-run passes on to the host of its program: readiness told on its notify socket (by
// the program, run as another user or not, or by an orphaned descendant), on a ready descriptor,
// or by a time run; the status; a missed watchdog ping, after which the program is left ended.
struct ReadinessCase {
  const char* name;
  std::string adapter;          // kestravo-run's options
  std::string program;          // the helper child's mode and arguments after its report
  std::vector<uint32_t> types;  // every message the host hears, sorted
  std::string status;           // the MSG_STATUS line
  std::vector<uint64_t> exit;   // cause, causeValue and restarting of the MSG_EXITED
  bool asUser = false;          // run as nobody: root only
};

const ReadinessCase kReadinessCases[] = {
    {"Notify", "--notify", "sdnotify - STATUS=starting|READY=1 WATCHDOG=1", {MSG_READY, MSG_STATUS}, "starting", {}},
    {"NotifyAsAnotherUser", "--notify --user nobody", "sdnotify - READY=1|STATUS=up", {MSG_READY, MSG_STATUS}, "up", {}, true},
    {"NotifyFromAnOrphan", "--notify", "sdnotify - ^READY=1", {MSG_READY}, "", {}},
    {"ReadyFd", "--ready-fd 7", "readyfd - 7", {MSG_READY}, "", {}},
    {"ReadyAfter", "--ready-after 200ms", "ignore -", {MSG_READY}, "", {}},
    {"WatchdogMissed", "--notify --watchdog 400ms --restart never --grace 500ms", "sdnotify - READY=1",
     {MSG_EXITED, MSG_READY}, "", {KESTRAVO_CAUSE_WATCHDOG, 400, 0}},
    {"WatchdogTriggered", "--notify --watchdog 1h --restart never", "sdnotify - READY=1 WATCHDOG=trigger",
     {MSG_EXITED, MSG_READY}, "", {KESTRAVO_CAUSE_WATCHDOG, 3600000, 0}},
};

void PrintTo(const ReadinessCase& c, std::ostream* out) { *out << c.name; }

class Readiness : public HostTest, public ::testing::WithParamInterface<ReadinessCase> {};

TEST_P(Readiness, ReachesTheHostThroughTheAdapter) {
  const ReadinessCase& c = GetParam();
  if (c.asUser && geteuid() != 0) GTEST_SKIP() << "runs its program as another user";
  ASSERT_TRUE(Start());
  const uint32_t hpid = Create(KESTRAVO_ADAPTER, c.adapter + " -- " + HelperChild() + " " + c.program + " ");
  ASSERT_LT(hpid, 1024u);
  std::vector<uint32_t> types;
  std::string status;
  std::vector<uint64_t> exit;
  auto heard = [&] {
    types.clear();
    for (const Message& m : Messages()) {
      if (m.hpid != hpid) continue;
      types.push_back(m.type);
      if (m.type == MSG_STATUS) status = m.status;
      if (m.type == MSG_EXITED) exit = {m.exited.cause, m.exited.causeValue, m.exited.restarting};
    }
    std::sort(types.begin(), types.end());
    return types.size() >= c.types.size();
  };
  EXPECT_TRUE(WaitFor(heard, std::chrono::seconds(20)));
  EXPECT_EQ(types, c.types);
  EXPECT_EQ(status, c.status);
  EXPECT_EQ(exit, c.exit);
  EXPECT_EQ(KESTRAVO_DestroyProcess(hpid, 0), 0);
  Stop();
}

INSTANTIATE_TEST_SUITE_P(Adapter, Readiness, ::testing::ValuesIn(kReadinessCases),
                         [](const auto& info) { return std::string(info.param.name); });

// kestravo-run's notify socket takes the program's messages only: one from another process (this
// one) is refused and said so. The program gets the watchdog's interval and its own pid.
TEST_F(ProcessControl, TheAdaptersNotifySocketRefusesOtherProcesses) {
  ASSERT_TRUE(Start());
  const std::string report = dir.File("notify.report"), log = dir.File("notify.log");
  const uint32_t hpid = Create(KESTRAVO_ADAPTER, "--notify --watchdog 1h --output " + log + " -- " + HelperChild() +
                                                     " sdnotify " + report + " STATUS=inside ");
  ASSERT_TRUE(WaitCount(hpid, MSG_STATUS, 1));
  Report program = ReadReport(report);
  EXPECT_EQ(program["env_WATCHDOG_USEC"] + " " + program["env_WATCHDOG_PID"], "3600000000 " + program["pid"]);
  const std::string address = program["env_NOTIFY_SOCKET"];
  ASSERT_TRUE(address.size() > 1 && address.size() < sizeof(sockaddr_un::sun_path) && address[0] == '@') << address;
  sockaddr_un to = {};
  to.sun_family = AF_UNIX;
  memcpy(to.sun_path + 1, address.data() + 1, address.size() - 1);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const std::string text = "READY=1\nSTATUS=outside";
  EXPECT_EQ(sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to),
                   static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size())),
            static_cast<ssize_t>(text.size()));
  close(fd);
  EXPECT_TRUE(WaitFor([&] {
    return FileText(log).find("refused a notify message from process " + std::to_string(getpid())) != std::string::npos;
  })) << FileText(log);
  EXPECT_EQ(Count(hpid, MSG_READY), 0u);
  EXPECT_EQ(Count(hpid, MSG_STATUS), 1u);
  EXPECT_EQ(KESTRAVO_DestroyProcess(hpid, 0), 0);
  Stop();
}

}  // namespace
}  // namespace kestravo::test
