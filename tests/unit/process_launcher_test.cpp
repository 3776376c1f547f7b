// The launcher on its own: the queue rules, Stop with work still queued, and the retry of a start
// that fails.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "common/child_marker.h"
#include "launcher/child_identity.h"
#include "launcher/process_launcher.h"
#include "log_capture.h"
#include "platform/os.h"
#include "platform/zol_runtime.h"
#include "test_support.h"

namespace kestravo::test {
namespace {

using std::chrono::seconds;
using Order = std::vector<std::pair<int32_t, uint32_t>>;  // (task, hpid) of each call; hpid + 1000 when it failed

// ok is always true for kill and destroy; process shares the child's handles with the launcher's copy.
struct Call {
  int32_t type;
  bool ok;
  ManagedProcess process;
};

struct RecordingSink : IProcessLaucherSink {
  int32_t OnCreateNotify(ManagedProcess* p, bool ok) override { return Add(TASK_CREATE, p, ok); }
  int32_t OnRelaunchNotify(ManagedProcess* p, bool ok) override { return Add(TASK_RELAUNCH, p, ok); }
  int32_t OnKillNotify(ManagedProcess* p) override { return Add(TASK_KILL, p, true); }
  int32_t OnDestroyNotify(ManagedProcess* p) override { return Add(TASK_DESTROY, p, true); }
  int32_t Add(int32_t type, ManagedProcess* p, bool ok) {
    std::unique_lock<std::mutex> lock(mutex);
    calls.push_back({type, ok, *p});
    // Holds the launcher's thread in this report until Release (or a minute, not for ever).
    if (type == TASK_CREATE && p->hpid == holdHpid) released.wait_for(lock, seconds(60), [&] { return holdHpid == kNone; });
    return 0;
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex);
    holdHpid = kNone;
    released.notify_all();
  }
  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }
  Order Seen() {
    Order order;
    for (const Call& call : Calls()) order.emplace_back(call.type, call.process.hpid + (call.ok ? 0 : 1000));
    return order;
  }
  bool WaitCalls(size_t n, seconds limit = seconds(15)) { return WaitFor([&] { return Calls().size() >= n; }, limit); }
  static constexpr uint32_t kNone = 0xFFFFFFFFu;
  std::mutex mutex;  // guards calls and holdHpid
  std::condition_variable released;
  std::vector<Call> calls;
  uint32_t holdHpid = kNone;  // the create whose report holds the thread
};

// A record as the manager makes it: the helper child in a mode, with its identity and events.
ManagedProcess RecordToLaunch(uint32_t hpid, const std::string& mode, const std::string& exePath = HelperChild()) {
  ManagedProcess r;
  r.hpid = hpid;
  r.guid = CreateGuidString();
  r.exePath = exePath;
  r.cmdLine = kestravo::BuildChildCmdLine(r.hpid, r.guid, mode + " ");
  r.namedEvent = SharedEvent(CreateStopEvent(r.guid, StopEventReset::kOnWait, nullptr));
  r.syncEvent = SharedEvent(ZOL_CreateEvent(0));
  return r;
}

struct ProcessLauncherTest : ::testing::Test {
  // Every child the sink heard of is ended and reaped here, whatever the test did.
  void TearDown() override {
    launcher.Stop();
    for (const Call& call : sink.Calls()) {
      HANDLE h = call.process.processHandle.Get();
      if (h == nullptr) continue;
      if (ZOL_WaitForSingleObject(h, 0) != 0) TerminateProcess(h, 0);
      EXPECT_EQ(ZOL_WaitForSingleObject(h, 10000), 0u) << "hpid " << call.process.hpid;
    }
    EXPECT_TRUE(ZombieChildren().empty());
  }
  // Starts a child that ignores its stop event (hpid 1) and one in mode secondMode (hpid 2), and
  // destroys the first with a grace of a minute, which runs beside what follows. Then holds the
  // launcher's thread in the report of a third start (hpid 9), so that what is queued next is
  // still queued when the thread goes on (Release).
  void StartAndHoldTheThread(const std::string& secondMode, ManagedProcess* busy, ManagedProcess* second) {
    ASSERT_TRUE(launcher.Start(&sink));
    ASSERT_TRUE(launcher.Lauch(TASK_CREATE, RecordToLaunch(1, "ignore -")));
    ASSERT_TRUE(launcher.Lauch(TASK_CREATE, RecordToLaunch(2, secondMode + " -")));
    ASSERT_TRUE(sink.WaitCalls(2));
    *busy = sink.Calls()[0].process;
    *second = sink.Calls()[1].process;
    ASSERT_TRUE(launcher.Lauch(TASK_DESTROY, *busy, 0, 60000));
    ASSERT_TRUE(WaitFor([&] { return ZOL_WaitForSingleObject(busy->namedEvent.Get(), 0) == 0; }));
    sink.holdHpid = 9;
    ASSERT_TRUE(launcher.Lauch(TASK_CREATE, RecordToLaunch(9, "stop -")));
    ASSERT_TRUE(sink.WaitCalls(3));
  }
  TempDir dir;
  LogCapture log;
  RecordingSink sink;
  CProcessLauncher launcher;
};

TEST_F(ProcessLauncherTest, QueueDropsDuplicateStartsCancelsStoppedStartsAndKeepsOrder) {
  ManagedProcess busy, restarted;
  ASSERT_NO_FATAL_FAILURE(StartAndHoldTheThread("ignore", &busy, &restarted));
  ManagedProcess first = RecordToLaunch(3, "stop " + dir.File("first"));
  ManagedProcess cancelled = RecordToLaunch(4, "stop " + dir.File("x"));
  EXPECT_TRUE(launcher.Lauch(TASK_CREATE, first));
  EXPECT_TRUE(launcher.Lauch(TASK_RELAUNCH, first));
  EXPECT_TRUE(launcher.Lauch(TASK_CREATE, cancelled));
  EXPECT_TRUE(launcher.Lauch(TASK_KILL, cancelled));
  // The relaunch of a record stopped since, queued after its hpid went to a new record: the new
  // record's create is no duplicate of it, and cancelling that hpid's start takes the create.
  ManagedProcess pending = RecordToLaunch(6, "stop " + dir.File("x")), taken;
  for (uint32_t hpid : {5, 6}) EXPECT_TRUE(launcher.Lauch(TASK_RELAUNCH, RecordToLaunch(hpid, "stop -")));
  EXPECT_TRUE(launcher.Lauch(TASK_CREATE, RecordToLaunch(5, "stop -")));
  EXPECT_TRUE(launcher.Lauch(TASK_CREATE, pending));
  EXPECT_TRUE(launcher.CancelStart(6, &taken));
  EXPECT_EQ(taken.guid, pending.guid);
  EXPECT_TRUE(launcher.Lauch(TASK_KILL, restarted));
  EXPECT_TRUE(launcher.Lauch(TASK_RELAUNCH, restarted));
  sink.Release();
  // The relaunch was queued last: once it is reported, nothing queued before it is left. The
  // kill that cancelled a start is reported all the same, so that its record is let go. All of
  // it during busy's grace, which Stop cuts short: then busy is terminated and reported.
  ASSERT_TRUE(sink.WaitCalls(10));
  EXPECT_TRUE(ProcessAlive(busy.pid));
  EXPECT_EQ(sink.Seen(), (Order{{TASK_CREATE, 1}, {TASK_CREATE, 2}, {TASK_CREATE, 9}, {TASK_CREATE, 3},
                                {TASK_KILL, 4}, {TASK_RELAUNCH, 5}, {TASK_RELAUNCH, 6}, {TASK_CREATE, 5},
                                {TASK_KILL, 2}, {TASK_RELAUNCH, 2}}));
  const std::vector<Call> calls = sink.Calls();
  ASSERT_EQ(calls.size(), 10u);
  EXPECT_TRUE(launcher.Stop());
  EXPECT_EQ(sink.Seen().back(), Order::value_type(TASK_DESTROY, 1));
  EXPECT_FALSE(ProcessAlive(busy.pid));
  Report seen = WaitForReport(dir.File("first"));
  EXPECT_EQ(seen["guid"], first.guid);
  EXPECT_EQ(seen["pid"], std::to_string(calls[3].process.pid));
  EXPECT_FALSE(std::filesystem::exists(dir.File("x")));
  // The relaunch started a new child after the kill ended the old one.
  EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(restarted.pid); }));
  EXPECT_TRUE(ProcessAlive(calls[9].process.pid));
}

TEST_F(ProcessLauncherTest, StopSignalsTheSyncEventOfAQueuedTaskAndDoesNotRunIt) {
  ManagedProcess busy, queued;
  ASSERT_NO_FATAL_FAILURE(StartAndHoldTheThread("stop", &busy, &queued));
  ASSERT_TRUE(launcher.Lauch(TASK_DESTROY, queued));
  // Stop while busy's destroy is in hand (busy ignores its event) and queued's is still queued.
  EXPECT_NE(ZOL_WaitForSingleObject(queued.syncEvent.Get(), 0), 0u);
  std::thread release([&] {
    WaitFor([&] { return ZOL_WaitForSingleObject(queued.syncEvent.Get(), 0) == 0; });
    sink.Release();
  });
  auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(launcher.Stop());
  release.join();
  EXPECT_LT(std::chrono::steady_clock::now() - before, seconds(30));  // not busy's minute of grace
  EXPECT_TRUE(ProcessAlive(queued.pid));
  EXPECT_FALSE(ProcessAlive(busy.pid));
  EXPECT_EQ(sink.Seen().back(), Order::value_type(TASK_DESTROY, 1));
}

// Destroys run side by side, each on its own clock: a child that hears its stop event, or has
// ended already, is reported at once, one that does not when its own grace runs out, and a start
// queued meanwhile runs at once. Each destroy is reported once.
TEST_F(ProcessLauncherTest, DestroysRunSideBySideEachOnItsOwnClock) {
  ASSERT_TRUE(launcher.Start(&sink));
  for (const auto& [hpid, mode] : {std::pair<uint32_t, const char*>{1, "ignore -"}, {2, "ignore -"}, {3, "stop -"}, {4, "exit - 0"}})
    ASSERT_TRUE(launcher.Lauch(TASK_CREATE, RecordToLaunch(hpid, mode)));
  ASSERT_TRUE(sink.WaitCalls(4));
  const std::vector<Call> started = sink.Calls();
  ASSERT_TRUE(WaitFor([&] { return !ProcessAlive(started[3].process.pid); }));
  const uint32_t graces[] = {4000, 1500, 60000, 60000};
  auto begun = std::chrono::steady_clock::now();
  for (size_t i = 0; i < 4; ++i) ASSERT_TRUE(launcher.Lauch(TASK_DESTROY, started[i].process, 0, graces[i]));
  ASSERT_TRUE(launcher.Lauch(TASK_CREATE, RecordToLaunch(5, "ignore -")));
  ASSERT_TRUE(sink.WaitCalls(9));
  EXPECT_GE(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(4000));
  Order seen = sink.Seen();
  ASSERT_EQ(seen.size(), 9u);
  std::sort(seen.begin() + 4, seen.begin() + 7);
  EXPECT_EQ(Order(seen.begin() + 4, seen.end()),
            (Order{{TASK_CREATE, 5}, {TASK_DESTROY, 3}, {TASK_DESTROY, 4}, {TASK_DESTROY, 2}, {TASK_DESTROY, 1}}));
  for (size_t i = 0; i < 4; ++i) EXPECT_FALSE(ProcessAlive(started[i].process.pid)) << i;
  EXPECT_EQ(log.Count({"wait exit timeout"}), 2);
  launcher.Stop();
  EXPECT_EQ(sink.Calls().size(), 9u);
}

// Three failing starts each retry on their own deadline; a task queued meanwhile runs at once.
TEST_F(ProcessLauncherTest, SlowFailedCreatesAreReportedAndEachRetriedAboutThirtySecondsLater) {
  std::string exe = dir.File("child");
  std::filesystem::copy_file(HelperChild(), exe);
  ASSERT_EQ(chmod(exe.c_str(), 0644), 0);
  ASSERT_TRUE(launcher.Start(&sink));
  for (uint32_t hpid : {6, 7, 8}) ASSERT_TRUE(launcher.Lauch(TASK_CREATE, RecordToLaunch(hpid, "stop -", exe)));
  ASSERT_TRUE(sink.WaitCalls(3, seconds(5)));
  auto failedAt = std::chrono::steady_clock::now();
  EXPECT_EQ(log.Count({"[0x01900609]", "lastError=5]Create Process failed!"}), 3);
  ASSERT_TRUE(launcher.Lauch(TASK_CREATE, RecordToLaunch(9, "stop -")));
  ASSERT_TRUE(sink.WaitCalls(4, seconds(2)));
  ASSERT_EQ(chmod(exe.c_str(), 0755), 0);
  ASSERT_TRUE(sink.WaitCalls(7, seconds(70)));
  auto elapsed = std::chrono::steady_clock::now() - failedAt;
  EXPECT_TRUE(elapsed >= seconds(20) && elapsed <= seconds(45));
  EXPECT_EQ(sink.Seen(), (Order{{TASK_CREATE, 1006}, {TASK_CREATE, 1007}, {TASK_CREATE, 1008}, {TASK_CREATE, 9},
                                {TASK_CREATE, 6}, {TASK_CREATE, 7}, {TASK_CREATE, 8}}));
}

}  // namespace
}  // namespace kestravo::test
