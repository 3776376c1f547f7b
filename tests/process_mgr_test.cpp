// The manager's handling of worker reports that arrive after the host has changed the table.
#include <gtest/gtest.h>

#include "api/globals.h"
#include "launcher/spawn_process.h"
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

}  // namespace
}  // namespace kestravo::test
