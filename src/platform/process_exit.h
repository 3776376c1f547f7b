// How an ended process ended, as far as the system can tell.
#pragma once
#include <stdint.h>

#include "os.h"

struct ProcessExitStatus {
  bool known = false;       // false: the system cannot tell (see GetProcessExitStatus)
  int32_t exitCode = 0;     // its exit code; 0 when a signal ended it
  int32_t signal = 0;       // the signal that ended it (Linux), else 0
  bool coreDumped = false;  // the kernel reported a core dump
  // Linux: the kernel's out-of-memory killer ended a process of its cgroup while it ran (its
  // memory.max limit reached, or the whole system short); memoryLimit is that cgroup's memory.max
  // in bytes, 0 when unlimited. Known also when known is false (an adopted child).
  bool outOfMemory = false;
  uint64_t memoryLimit = 0;
};

// For a process that has ended: how it ended. TRUE with *status filled once it has ended; FALSE
// while it runs (ERROR_ACCESS_DENIED) or for a bad handle. On Linux only a child started by
// CreateProcessA is known, and only when this library reaped it (not the host's own wait); on
// Windows the exit code of any process is known (a crash's status code, signal 0). Any thread.
BOOL GetProcessExitStatus(HANDLE hProcess, ProcessExitStatus* status);
