// The running guard: one worker thread that waits on the process handles of the managed children
// and reports each child that has ended while it was expected to run.
#pragma once
#include <stdint.h>

#include <atomic>
#include <string>
#include <vector>

#include "manager/managed_process.h"

// What the guard reads of a record: its copy of the process table holds these fields only.
struct GuardRecord {
  uint32_t hpid = 0xFFFFFFFF;
  uint32_t state = PROCESS_RUNNING;
  SharedEvent processHandle;
  std::string exePath;
};

// What the guard reports, on the guard thread.
class IRunningGuardSink {
 public:
  // notifyType is always 1: the process of hpid has ended. The result is ignored.
  virtual int32_t OnGuardNotify(uint32_t notifyType, uint32_t hpid) = 0;
  // Sets out to the guard's fields of every record, in ascending hpid, reusing out's elements
  // (their handles are empty already, so none is closed under the sink's lock).
  virtual void GetGuardSnapshot(std::vector<GuardRecord>& out) = 0;
  virtual ~IRunningGuardSink() {}
};

// Each pass copies the manager's process table (the manager lock is held for the copy only), then
// waits without a time-out until a record in state 0 with a process handle ends, the table
// changes (Wake) or Stop is called. Every child found ended in one wait is reported in that pass.
// The copy keeps its elements from pass to pass, and the set of watched processes is kept too and
// changed only where the table changed, so that a pass over many children stays cheap.
class CRunningGuard {
 public:
  CRunningGuard();
  virtual ~CRunningGuard();
  CRunningGuard(const CRunningGuard&) = delete;
  CRunningGuard& operator=(const CRunningGuard&) = delete;

  // Starts the thread with sink (not owned; it must outlive Stop). True also when it runs
  // already (the new sink is then not taken). False, logged, for a null sink or no thread.
  bool Start(IRunningGuardSink* sink);
  // Asks the thread to end and waits for it (it wakes at once, or when a report in hand returns). Called on
  // the guard thread itself (the host's callback called the last Uninit), it only asks; the next
  // Start or the destructor waits for it. Always true.
  bool Stop();
  // Tells the guard that the table changed (a record added, removed, given a new process or a
  // new state), so that its next wait watches the new table. Any thread, cheap; the manager
  // calls it after the change, outside its lock.
  void Wake();

  // The guard thread's loop; returns 0 once Stop has asked it to end.
  uint32_t insideWorkRoutine();

 private:
  void* thread;                           // written by Start and Stop only; kept by a Stop on
                                          // the thread itself, for the next Start to wait for
  std::atomic<bool> quitRequested;
  bool running;                           // written by Start and Stop only
  std::atomic<IRunningGuardSink*> sink;   // cleared only after the thread has ended
  std::atomic<HANDLE> wakeEvent;          // made by the first Start, closed by the destructor
};
