// The running guard on its own, watching records put straight into the manager's table.
#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "api/globals.h"
#include "guard/running_guard.h"
#include "launcher/spawn_process.h"
#include "log_capture.h"
#include "manager/process_mgr.h"
#include "platform/zol_runtime.h"
#include "test_support.h"

namespace kestravo::test {
namespace {

class RecordingGuardSink : public IRunningGuardSink {
 public:
  // hpids whose report moves the record to state 2, as a restart does; the others stay in
  // state 0 as they were.
  std::set<uint32_t> settle;

  int32_t OnGuardNotify(uint32_t kind, uint32_t hpid) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back({kind, hpid});
    }
    if (settle.count(hpid) != 0) GetProcessMgr()->RestartProcess(hpid);
    return 0;
  }
  std::vector<std::pair<uint32_t, uint32_t>> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  size_t CountOf(uint32_t hpid) {
    size_t n = 0;
    for (const auto& call : Calls()) n += call.second == hpid;
    return n;
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<uint32_t, uint32_t>> calls_;
};

// Puts a record into the manager's table; with a mode, for a helper child started here.
ManagedProcess Watch(uint32_t hpid, const std::string& mode, uint32_t state = PROCESS_RUNNING) {
  ManagedProcess r;
  r.hpid = hpid;
  r.exePath = HelperChild();
  r.state = state;
  if (!mode.empty()) {
    r.cmdLine = mode + " - 0";
    HANDLE handle = nullptr;
    EXPECT_TRUE(SpawnProcess(r.exePath, r.cmdLine, &r.pid, &handle));
    r.processHandle = SharedEvent(handle);
  }
  GetProcessMgr()->OnCreateNotify(&r, true);
  return r;
}

std::string ExitLine(uint32_t hpid) {
  return "[exePath=" + HelperChild() + ",pid=" + std::to_string(hpid) + "]Find Process exit!";
}

TEST(RunningGuard, StartChecksItsSinkAndWatchesAgainAfterARestart) {
  LogCapture log;
  RecordingGuardSink first, second;
  first.settle = second.settle = {1, 2};
  CRunningGuard guard;
  EXPECT_FALSE(guard.Start(nullptr));
  EXPECT_TRUE(log.Has({"CRunningGuard::Start", "[0x01900017] - IRunningGuardSink is NULL"}));
  EXPECT_TRUE(log.Has({"start RunningGurad failed."}));
  EXPECT_FALSE(log.Has({"start RunningGurad success."}));

  ASSERT_TRUE(guard.Start(&first));
  EXPECT_TRUE(guard.Start(&second));
  EXPECT_EQ(log.Count({"CRunningGuard has already running."}), 1);
  ManagedProcess one = Watch(1, "ignore");
  guard.Wake();  // the manager wakes the library's own guard, not this one
  ASSERT_TRUE(TerminateProcess(one.processHandle.Get(), 0));
  // The second Start did not take its sink.
  ASSERT_TRUE(WaitFor([&] { return first.CountOf(1) == 1; }));
  EXPECT_TRUE(guard.Stop());
  EXPECT_TRUE(second.Calls().empty());

  ManagedProcess two = Watch(2, "ignore");
  ASSERT_TRUE(guard.Start(&second));
  guard.Wake();
  ASSERT_TRUE(TerminateProcess(two.processHandle.Get(), 0));
  EXPECT_TRUE(WaitFor([&] { return second.CountOf(2) == 1; }));
  EXPECT_TRUE(guard.Stop());
  EXPECT_EQ(first.Calls(), (std::vector<std::pair<uint32_t, uint32_t>>{{1, 1}}));
  EXPECT_EQ(second.Calls(), (std::vector<std::pair<uint32_t, uint32_t>>{{1, 2}}));
}

TEST(RunningGuard, ReportsEachEndedChildOnceInHpidOrderAndSkipsTheRest) {
  LogCapture log;
  RecordingGuardSink sink;
  sink.settle = {3, 7};
  // Inserted out of order; all have ended before the guard's first pass, which reports them all.
  ManagedProcess seven = Watch(7, "exit");
  ManagedProcess three = Watch(3, "exit");
  ManagedProcess restarting = Watch(5, "exit", PROCESS_RESTART_REQUESTED);
  ManagedProcess noHandle = Watch(1, "");
  // Never settled: left in state 0, it must not be reported again.
  ManagedProcess unsettled = Watch(9, "exit");
  for (const ManagedProcess* p : {&seven, &three, &restarting, &unsettled}) {
    ASSERT_TRUE(WaitFor([&] { return !ProcessAlive(p->pid); })) << p->hpid;
  }

  CRunningGuard guard;
  ASSERT_TRUE(guard.Start(&sink));
  ASSERT_TRUE(WaitFor([&] { return sink.CountOf(9) == 1; }));
  // A later change makes more passes; the one that reports 11 comes after them.
  ManagedProcess later = Watch(11, "exit");
  guard.Wake();
  ASSERT_TRUE(WaitFor([&] { return sink.CountOf(11) == 1; }));
  EXPECT_TRUE(guard.Stop());

  EXPECT_EQ(sink.Calls(), (std::vector<std::pair<uint32_t, uint32_t>>{{1, 3}, {1, 7}, {1, 9}, {1, 11}}));
  for (uint32_t hpid : {3, 7, 9, 11}) EXPECT_EQ(log.Count({ExitLine(hpid)}), 1) << hpid;
  for (uint32_t hpid : {5, 1}) EXPECT_EQ(log.Count({ExitLine(hpid)}), 0) << hpid;

  // The guard's waits reaped what it saw end; the child it skipped is reaped here.
  EXPECT_EQ(ZOL_WaitForSingleObject(restarting.processHandle.Get(), 10000), 0u);
  EXPECT_TRUE(ZombieChildren().empty());
}

}  // namespace
}  // namespace kestravo::test
