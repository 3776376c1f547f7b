// One request to the launcher thread: what to do, and a copy of the record to do it on.
#pragma once
#include <stdint.h>

#include <chrono>

#include "common/stop_grace.h"
#include "manager/managed_process.h"

enum LaunchTaskType : int32_t {
  TASK_RELAUNCH = 0,  // start an existing record's process again
  TASK_CREATE = 1,    // first start of a new record
  TASK_DESTROY = 2,   // signal the stop event, wait the grace, then terminate
  TASK_KILL = 3,      // terminate at once
};

// A start that failed is tried again this much later; the restarts of a child that keeps dying
// young are spaced out to this at most.
constexpr std::chrono::seconds kStartRetryPeriod(30);

// How long a destroy waits for the child to end by itself before terminating it: as asked, 0 for
// the default, at most the cap.
using kestravo::kDefaultStopGraceMs;
using kestravo::kMaxStopGraceMs;

inline bool IsStartTask(int32_t type) { return type == TASK_RELAUNCH || type == TASK_CREATE; }
inline bool IsStopTask(int32_t type) { return type == TASK_DESTROY || type == TASK_KILL; }

struct LaunchTask {
  int32_t type = TASK_RELAUNCH;
  ManagedProcess process;     // shares its handles with the manager's record
  std::chrono::steady_clock::time_point notBefore{};  // not run before then; the default is due
  uint32_t graceMs = kDefaultStopGraceMs;             // a destroy's wait before it terminates
};
