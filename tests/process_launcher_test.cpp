// The launcher on its own: starting and stopping children on its thread, the queue rules, Stop
// with work still queued, and the retry of a start that fails.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "launcher/child_identity.h"
#include "launcher/process_launcher.h"
#include "log_capture.h"
#include "platform/os.h"
#include "platform/zol_runtime.h"
#include "test_support.h"

namespace kestravo::test {
namespace {

using std::chrono::seconds;

struct Call {
  int32_t type;            // the task type the call reports
  bool ok;                 // always true for kill and destroy
  ManagedProcess process;  // shares the child's handles with the launcher's copy
};

class RecordingSink : public IProcessLaucherSink {
 public:
  int32_t OnCreateNotify(ManagedProcess* p, bool ok) override { return Add(TASK_CREATE, p, ok); }
  int32_t OnRelaunchNotify(ManagedProcess* p, bool ok) override { return Add(TASK_RELAUNCH, p, ok); }
  int32_t OnKillNotify(ManagedProcess* p) override { return Add(TASK_KILL, p, true); }
  int32_t OnDestroyNotify(ManagedProcess* p) override { return Add(TASK_DESTROY, p, true); }

  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  Call At(size_t i) { return Calls().at(i); }
  bool WaitCalls(size_t n, seconds limit = seconds(15)) {
    return WaitFor([&] { return Calls().size() >= n; }, limit);
  }

 private:
  int32_t Add(int32_t type, ManagedProcess* p, bool ok) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back({type, ok, *p});
    return 0;
  }
  std::mutex mutex_;
  std::vector<Call> calls_;
};

// A record as the manager makes it: the helper child in a mode, with its identity and events.
ManagedProcess Record(uint32_t hpid, const std::string& mode, const std::string& report,
                      const std::string& exePath = HelperChild()) {
  ManagedProcess r;
  r.hpid = hpid;
  r.guid = CreateGuidString();
  r.exePath = exePath;
  r.cmdLine = BuildChildCmdLine(r, mode + " " + report + " ");
  r.namedEvent = SharedEvent(CreateEventA(nullptr, FALSE, FALSE, r.guid.c_str()));
  r.syncEvent = SharedEvent(ZOL_CreateEvent(0));
  return r;
}

std::string LevelOf(const LogCapture& log, const std::string& fragment) {
  for (const LogLine& line : log.Lines()) {
    if (line.text.find(fragment) != std::string::npos) return line.level;
  }
  return "";
}

class ProcessLauncherTest : public ::testing::Test {
 protected:
  // Every child the sink heard of is ended and reaped here, whatever the test did.
  void TearDown() override {
    launcher.Stop();
    for (const Call& call : sink.Calls()) {
      HANDLE h = call.process.processHandle.Get();
      if (h == nullptr || !call.ok) continue;
      if (ZOL_WaitForSingleObject(h, 0) != 0) TerminateProcess(h, 0);
      EXPECT_EQ(ZOL_WaitForSingleObject(h, 10000), 0u) << "hpid " << call.process.hpid;
    }
    EXPECT_TRUE(ZombieChildren().empty());
  }

  // Starts the launcher with a child that ignores its stop event (hpid 1) and one in mode
  // secondMode (hpid 2); a destroy of the first then holds the thread for 3000 ms.
  void StartBusyAndSecond(const std::string& secondMode, ManagedProcess* busy, ManagedProcess* second) {
    ASSERT_TRUE(launcher.Start(&sink));
    ASSERT_TRUE(launcher.Lauch(TASK_CREATE, Record(1, "ignore", "-")));
    ASSERT_TRUE(launcher.Lauch(TASK_CREATE, Record(2, secondMode, "-")));
    ASSERT_TRUE(sink.WaitCalls(2));
    ASSERT_TRUE(sink.At(0).ok && sink.At(1).ok);
    *busy = sink.At(0).process;
    *second = sink.At(1).process;
  }

  TempDir dir;
  LogCapture log;
  RecordingSink sink;
  CProcessLauncher launcher;
};

TEST(ProcessLauncher, RefusesTasksUnlessRunningAndNeedsASink) {
  LogCapture log;
  RecordingSink sink;
  CProcessLauncher launcher;
  ManagedProcess record = Record(1, "ignore", "-");
  EXPECT_FALSE(launcher.Lauch(TASK_CREATE, record));
  EXPECT_EQ(LevelOf(log, "[0x01900024] - CProcessLauncher has not running!"), "ERROR");

  EXPECT_FALSE(launcher.Start(nullptr));
  EXPECT_EQ(LevelOf(log, "[0x01900017] - IProcessLaucherSink is NULL!"), "WARN");
  EXPECT_FALSE(launcher.Lauch(TASK_KILL, record));

  ASSERT_TRUE(launcher.Start(&sink));
  EXPECT_TRUE(launcher.Stop());
  EXPECT_FALSE(launcher.Lauch(TASK_DESTROY, record));
  EXPECT_EQ(log.Count({"CProcessLauncher::Lauch", "CProcessLauncher has not running!"}), 3);
  EXPECT_TRUE(sink.Calls().empty());
}

TEST_F(ProcessLauncherTest, CreateRunsTheCommandLineAndKillOfAnEndedChildIsReported) {
  ASSERT_TRUE(launcher.Start(&sink));
  std::string report = dir.File("a.report");
  ManagedProcess record = Record(5, "stop", report);
  ASSERT_TRUE(launcher.Lauch(TASK_CREATE, record));
  ASSERT_TRUE(sink.WaitCalls(1));
  Call created = sink.At(0);
  EXPECT_EQ(created.type, TASK_CREATE);
  ASSERT_TRUE(created.ok);
  ASSERT_NE(created.process.processHandle.Get(), nullptr);
  // The caller's record is not written; the launcher works on its own copy.
  EXPECT_EQ(record.processHandle.Get(), nullptr);

  Report seen = WaitForReport(report);
  EXPECT_EQ(seen["pid"], std::to_string(created.process.pid));
  EXPECT_EQ(seen["arg0"], HelperChild());
  EXPECT_EQ(seen["arg1"], "stop");
  EXPECT_EQ(seen["arg2"], report);
  EXPECT_EQ(seen["hpid"], "5");
  EXPECT_EQ(seen["guid"], record.guid);
  EXPECT_TRUE(log.Has({"[exePath=" + HelperChild() + ",pid=" + seen["pid"] + "]Create Process success!"}));

  // The child honours its stop event; once it has ended, a kill has nothing to terminate.
  ASSERT_TRUE(SetEvent(record.namedEvent.Get()));
  ASSERT_EQ(ZOL_WaitForSingleObject(created.process.processHandle.Get(), 10000), 0u);
  ASSERT_TRUE(launcher.Lauch(TASK_KILL, created.process));
  ASSERT_TRUE(sink.WaitCalls(2));
  EXPECT_EQ(sink.At(1).type, TASK_KILL);
  EXPECT_EQ(sink.At(1).process.hpid, 5u);
  EXPECT_EQ(log.Count({"[hpid=5]Process has been exited before killing!"}), 1);
}

TEST_F(ProcessLauncherTest, QueueDropsDuplicateStartsCancelsStoppedStartsAndKeepsOrder) {
  ManagedProcess busy, restarted;
  ASSERT_NO_FATAL_FAILURE(StartBusyAndSecond("ignore", &busy, &restarted));

  // busy ignores its stop event, so its destroy holds the thread for 3000 ms and everything
  // queued behind it is still queued when the next task is added.
  ManagedProcess first = Record(3, "stop", dir.File("first"));
  ManagedProcess duplicate = Record(3, "stop", dir.File("duplicate"));
  ManagedProcess cancelled = Record(4, "stop", dir.File("cancelled"));
  EXPECT_TRUE(launcher.Lauch(TASK_DESTROY, busy));
  EXPECT_TRUE(launcher.Lauch(TASK_CREATE, first));
  EXPECT_TRUE(launcher.Lauch(TASK_RELAUNCH, duplicate));
  EXPECT_TRUE(launcher.Lauch(TASK_CREATE, cancelled));
  EXPECT_TRUE(launcher.Lauch(TASK_KILL, cancelled));
  EXPECT_TRUE(launcher.Lauch(TASK_KILL, restarted));
  EXPECT_TRUE(launcher.Lauch(TASK_RELAUNCH, restarted));
  EXPECT_EQ(log.Count({"[cmd=" + duplicate.cmdLine + "]this task has not been accomplished create "}), 1);
  EXPECT_EQ(log.Count({"[cmd=" + cancelled.cmdLine + "]this task has not been accomplished till die "}), 1);

  // The relaunch was queued last: once it is reported, nothing queued before it is left. The
  // kill that cancelled a start is reported all the same, so that its record is let go.
  ASSERT_TRUE(sink.WaitCalls(7));
  std::vector<Call> calls = sink.Calls();
  ASSERT_EQ(calls.size(), 7u);
  const std::vector<std::pair<int32_t, uint32_t>> expected = {{TASK_CREATE, 1}, {TASK_CREATE, 2}, {TASK_DESTROY, 1},
                                                              {TASK_CREATE, 3}, {TASK_KILL, 4},   {TASK_KILL, 2},
                                                              {TASK_RELAUNCH, 2}};
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].type, expected[i].first) << i;
    EXPECT_EQ(calls[i].process.hpid, expected[i].second) << i;
    EXPECT_TRUE(calls[i].ok) << i;
  }
  EXPECT_EQ(calls[3].process.cmdLine, first.cmdLine);
  EXPECT_EQ(WaitForReport(dir.File("first"))["guid"], first.guid);

  // The relaunch started a new child after the kill ended the old one.
  EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(restarted.pid); }));
  EXPECT_NE(calls[6].process.pid, restarted.pid);
  EXPECT_TRUE(ProcessAlive(calls[6].process.pid));

  EXPECT_EQ(log.Count({"[hpid=1]The process has been notified, but wait exit timeout!"}), 1);
  EXPECT_EQ(log.Count({"[hpid=1] process destroy success."}), 1);

  // A child that honours its stop event ends within the wait: no time-out, and it is reaped.
  ASSERT_TRUE(launcher.Lauch(TASK_DESTROY, calls[3].process));
  ASSERT_TRUE(sink.WaitCalls(8));
  EXPECT_EQ(sink.At(7).type, TASK_DESTROY);
  EXPECT_EQ(sink.At(7).process.hpid, 3u);
  EXPECT_EQ(log.Count({"[hpid=3]The process has been notified, but wait exit timeout!"}), 0);
  EXPECT_EQ(log.Count({"[hpid=3] process destroy success."}), 1);
  EXPECT_FALSE(ProcessAlive(calls[3].process.pid));
  for (pid_t zombie : ZombieChildren()) EXPECT_NE(zombie, static_cast<pid_t>(calls[3].process.pid));
}

TEST_F(ProcessLauncherTest, StopSignalsTheSyncEventOfAQueuedTaskAndDoesNotRunIt) {
  ManagedProcess busy, queued;
  ASSERT_NO_FATAL_FAILURE(StartBusyAndSecond("stop", &busy, &queued));
  ASSERT_NE(ZOL_WaitForSingleObject(queued.syncEvent.Get(), 0), 0u);

  ASSERT_TRUE(launcher.Lauch(TASK_DESTROY, busy));
  ASSERT_TRUE(launcher.Lauch(TASK_DESTROY, queued));
  // Stop while busy's destroy is in hand: its stop event has been signalled (busy ignores it).
  ASSERT_TRUE(WaitFor([&] { return ZOL_WaitForSingleObject(busy.namedEvent.Get(), 0) == 0; }));
  EXPECT_TRUE(launcher.Stop());
  EXPECT_EQ(log.Count({"[hpid=1] process destroy success."}), 1);

  EXPECT_EQ(ZOL_WaitForSingleObject(queued.syncEvent.Get(), 0), 0u);
  EXPECT_TRUE(ProcessAlive(queued.pid));
  EXPECT_FALSE(log.Has({"[hpid=2] process destroy success."}));
  for (const Call& call : sink.Calls()) {
    EXPECT_FALSE(call.type == TASK_DESTROY && call.process.hpid == 2u);
  }
}

// Three failing starts each retry on their own deadline; a task queued meanwhile runs at once.
TEST_F(ProcessLauncherTest, SlowFailedCreatesAreReportedAndEachRetriedAboutThirtySecondsLater) {
  std::string exe = dir.File("child");
  std::filesystem::copy_file(HelperChild(), exe);
  ASSERT_EQ(chmod(exe.c_str(), 0644), 0);
  ASSERT_TRUE(launcher.Start(&sink));
  for (uint32_t hpid : {6, 7, 8}) {
    ASSERT_TRUE(launcher.Lauch(TASK_CREATE, Record(hpid, "stop", dir.File(std::to_string(hpid)), exe)));
  }
  ASSERT_TRUE(sink.WaitCalls(3, seconds(5)));
  auto failedAt = std::chrono::steady_clock::now();
  for (size_t i = 0; i < 3; ++i) EXPECT_FALSE(sink.At(i).ok) << i;
  std::string failure = "[0x01900609] - [exePath=" + exe + ",lastError=5]Create Process failed!";
  EXPECT_EQ(log.Count({failure}), 3);
  EXPECT_EQ(LevelOf(log, failure), "ERROR");

  ASSERT_TRUE(launcher.Lauch(TASK_CREATE, Record(9, "stop", "-")));
  ASSERT_TRUE(sink.WaitCalls(4, seconds(2)));
  EXPECT_TRUE(sink.At(3).ok);
  EXPECT_EQ(sink.At(3).process.hpid, 9u);

  ASSERT_EQ(chmod(exe.c_str(), 0755), 0);
  ASSERT_TRUE(sink.WaitCalls(7, seconds(70)));
  auto elapsed = std::chrono::steady_clock::now() - failedAt;
  EXPECT_GE(elapsed, seconds(20));
  EXPECT_LE(elapsed, seconds(45));
  for (size_t i = 4; i < 7; ++i) {
    Call started = sink.At(i);
    EXPECT_EQ(started.type, TASK_CREATE);
    EXPECT_TRUE(started.ok);
    EXPECT_EQ(started.process.hpid, 2 + i);  // in queue order
    EXPECT_EQ(WaitForReport(dir.File(std::to_string(2 + i)))["pid"], std::to_string(started.process.pid));
  }
  EXPECT_EQ(log.Count({"Create Process failed!"}), 3);
  EXPECT_EQ(sink.Calls().size(), 7u);
}

}  // namespace
}  // namespace kestravo::test
