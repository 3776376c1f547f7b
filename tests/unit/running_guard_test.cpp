// The running guard, over records put straight into the manager's table; and a create that
// cannot make a GUID.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cstddef>
#include <mutex>
#include <set>
#include <vector>

#include "api/globals.h"
#include "guard/running_guard.h"
#include "launcher/spawn_process.h"
#include "log_capture.h"
#include "manager/hpid_pool.h"
#include "manager/process_mgr.h"
#include "platform/zol_runtime.h"
#include "test_support.h"

namespace kestravo::test {
namespace {

using Calls = std::vector<std::pair<uint32_t, uint32_t>>;  // (kind, hpid)

struct RecordingGuardSink : IRunningGuardSink {
  int32_t OnGuardNotify(uint32_t kind, uint32_t hpid) override {
    std::unique_lock<std::mutex> lock(mutex);
    calls.push_back({kind, hpid});
    lock.unlock();
    if (settle.count(hpid) != 0) GetProcessMgr()->RestartProcess(hpid);
    return 0;
  }
  void GetGuardSnapshot(std::vector<GuardRecord>& out) override { GetProcessMgr()->GetGuardSnapshot(out); }
  Calls Seen() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }
  bool WaitFor(uint32_t hpid) { return test::WaitFor([&] { return !Seen().empty() && Seen().back().second == hpid; }); }
  // hpids whose report moves the record out of the running state, as a restart does; the others
  // stay as they were.
  std::set<uint32_t> settle;
  std::mutex mutex;  // guards calls
  Calls calls;
};

// A record for a helper child in a mode (none without one), put into the manager's table.
ManagedProcess RecordToGuard(uint32_t hpid, const std::string& mode, uint32_t state = PROCESS_RUNNING) {
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

TEST(RunningGuard, ReportsEachEndedChildOnceInHpidOrderAndSkipsTheRest) {
  LogCapture log;
  RecordingGuardSink sink, other;
  sink.settle = {3, 7, 15};
  other.settle = {13};
  // Inserted out of order; all have ended before the guard's first pass, which reports them all.
  ManagedProcess seven = RecordToGuard(7, "exit"), three = RecordToGuard(3, "exit");
  ManagedProcess restarting = RecordToGuard(5, "exit", PROCESS_RESTART_REQUESTED), noHandle = RecordToGuard(1, "");
  ManagedProcess unsettled = RecordToGuard(9, "exit");  // left running in the table: never reported again
  ManagedProcess replaced = RecordToGuard(15, "ignore");  // watched from the first pass, then given a new process
  for (const ManagedProcess* p : {&seven, &three, &restarting, &unsettled})
    ASSERT_TRUE(WaitFor([&] { return !ProcessAlive(p->pid); })) << p->hpid;
  CRunningGuard guard;
  EXPECT_FALSE(guard.Start(nullptr));
  ASSERT_TRUE(guard.Start(&sink));
  EXPECT_TRUE(guard.Start(&other));  // already running: keeps its sink
  ASSERT_TRUE(sink.WaitFor(9));
  // A later change makes more passes; the one that reports 11 comes after them.
  ManagedProcess later = RecordToGuard(11, "exit");
  guard.Wake();  // the manager wakes the library's own guard, not this one
  ASSERT_TRUE(sink.WaitFor(11));
  // The guard keeps its watch across passes: the old process, still running, is let go and the
  // new one under the same hpid is watched.
  ManagedProcess renewed = RecordToGuard(15, "exit");
  guard.Wake();
  ASSERT_TRUE(sink.WaitFor(15));
  EXPECT_TRUE(guard.Stop());
  EXPECT_EQ(sink.Seen(), (Calls{{1, 3}, {1, 7}, {1, 9}, {1, 11}, {1, 15}}));
  ASSERT_TRUE(TerminateProcess(replaced.processHandle.Get(), 1));
  EXPECT_EQ(ZOL_WaitForSingleObject(replaced.processHandle.Get(), 10000), 0u);
  // Started again, with another sink, it watches the table as it is then.
  GetProcessMgr()->RestartProcess(9);
  GetProcessMgr()->RestartProcess(11);
  ManagedProcess again = RecordToGuard(13, "exit");
  ASSERT_TRUE(guard.Start(&other));
  ASSERT_TRUE(other.WaitFor(13));
  EXPECT_TRUE(guard.Stop());
  EXPECT_EQ(other.Seen(), (Calls{{1, 13}}));
  EXPECT_EQ(log.Count({"Find Process exit!"}), 6);
  // The guard's waits reaped what it saw end; the child it skipped is reaped here.
  EXPECT_EQ(ZOL_WaitForSingleObject(restarting.processHandle.Get(), 10000), 0u);
  EXPECT_TRUE(ZombieChildren().empty());
}

// Without random bytes there is no GUID: the create fails instead of reusing an old one, and
// gives its hpid back.
TEST(ProcessMgr, CreateFailsWhenNoGuidCanBeMade) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_getrandom, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program = {sizeof filter / sizeof filter[0], filter};
  ASSERT_EQ(prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0), 0);
  ASSERT_EQ(prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program), 0);
  uint32_t hpid = 99;
  EXPECT_EQ(GetProcessMgr()->CreateProcess(HelperChild(), "x ", &hpid, 0), KESTRAVO_NO_RESOURCE);
  EXPECT_EQ(hpid, 99u);
  EXPECT_EQ(GetHpidPool()->Alloc(), 0u);
}

}  // namespace
}  // namespace kestravo::test
