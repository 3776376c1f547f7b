// The manager's handling of worker reports that arrive after the host has changed the table.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cstddef>

#include "api/globals.h"
#include "launcher/spawn_process.h"
#include "manager/hpid_pool.h"
#include "log_capture.h"
#include "manager/process_mgr.h"
#include "platform/zol_runtime.h"
#include "test_support.h"

namespace kestravo::test {
namespace {

ManagedProcess Running(uint32_t hpid) {
  ManagedProcess record;
  record.hpid = hpid;
  record.exePath = HelperChild();
  record.cmdLine = "ignore - ";
  HANDLE handle = nullptr;
  EXPECT_TRUE(SpawnProcess(record.exePath, record.cmdLine, &record.pid, &handle));
  record.processHandle = SharedEvent(handle);
  return record;
}

TEST(ProcessMgr, LateReportsForRecordsNoLongerInTheTable) {
  LogCapture log;
  CProcessMgr* manager = GetProcessMgr();

  EXPECT_EQ(manager->OnGuardNotify(1, 9), -1);
  EXPECT_TRUE(log.Has({"[0x01900613] - [exePath=,cmdLine=,hpid=9]process is under exception exit, "
                       "but not find it in processMap!"}));

  // A relaunch that succeeds for a record destroyed meanwhile must not leave a child behind
  // that nobody manages.
  ManagedProcess relaunched = Running(4);
  manager->OnRelaunchNotify(&relaunched, true);
  EXPECT_EQ(ZOL_WaitForSingleObject(relaunched.processHandle.Get(), 5000), 0u);
  uint32_t hpid = 0;
  EXPECT_FALSE(manager->IsManaged(relaunched.pid, &hpid));

  // One still in the table takes the new process and is running again.
  ManagedProcess created = Running(5);
  manager->OnCreateNotify(&created, true);
  created.SetState(PROCESS_EXITED);
  ManagedProcess next = Running(5);
  manager->OnRelaunchNotify(&next, true);
  ProcessMap table;
  manager->GetProcessMap(table);
  ASSERT_EQ(table.count(5), 1u);
  EXPECT_EQ(table[5].pid, next.pid);
  EXPECT_EQ(table[5].state, PROCESS_RUNNING);
  EXPECT_NE(ZOL_WaitForSingleObject(next.processHandle.Get(), 0), 0u) << "a managed relaunch was ended";

  for (HANDLE handle : {created.processHandle.Get(), next.processHandle.Get()}) {
    TerminateProcess(handle, 0);
    EXPECT_EQ(ZOL_WaitForSingleObject(handle, 5000), 0u);
  }
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
