// The running guard: one worker thread that polls the process handles of the managed children
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
  virtual ~IRunningGuardSink() {}
};

// Each pass copies the manager's process table (the manager lock is held for the copy only) and
// waits with time-out 0 on every record in state 0 that has a process handle. It sleeps 100 ms
// after a pass, or 1000 ms when the table is empty. The copy keeps its elements from pass to pass
// and the handles are checked in groups, so that a pass over many children stays cheap.
class CRunningGuard {
 public:
  CRunningGuard();
  virtual ~CRunningGuard();
  CRunningGuard(const CRunningGuard&) = delete;
  CRunningGuard& operator=(const CRunningGuard&) = delete;

  // Starts the thread with sink (not owned; it must outlive Stop). True also when it runs
  // already (the new sink is then not taken). False, logged, for a null sink or no thread.
  bool Start(IRunningGuardSink* sink);
  // Asks the thread to end and waits for it (up to about a second, its longest sleep). Called on
  // the guard thread itself (the host's callback called the last Uninit), it only asks; the next
  // Start or the destructor waits for it. Always true.
  bool Stop();

  // The guard thread's loop; returns 0 once Stop has asked it to end.
  uint32_t insideWorkRoutine();

 private:
  // Sets (*ended)[i] for each process of handles[i] that has ended, with time-out 0, checking up
  // to MAXIMUM_WAIT_OBJECTS handles at once.
  static void FindEnded(const std::vector<HANDLE>& handles, std::vector<bool>* ended);

  void* thread;                           // written by Start and Stop only; kept by a Stop on
                                          // the thread itself, for the next Start to wait for
  std::atomic<bool> quitRequested;
  bool running;                           // written by Start and Stop only
  std::atomic<IRunningGuardSink*> sink;   // cleared only after the thread has ended
};
