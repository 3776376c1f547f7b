// The record of one managed child. A value type: operations copy records out of the process
// table and work on the copies, which share the record's handles.
#pragma once
#include <stdint.h>

#include <chrono>
#include <map>
#include <string>

#include "manager/child_settings.h"
#include "manager/shared_event.h"

// Values of ManagedProcess::state.
enum : uint32_t {
  PROCESS_RUNNING = 0,            // watched by the running guard
  PROCESS_EXITED = 1,             // exited unasked; a relaunch is under way
  PROCESS_RESTART_REQUESTED = 2,  // the host asked for a restart; not watched
  PROCESS_ENDED = 3,              // exited, and its restart policy leaves it ended; not watched
};

struct ManagedProcess {
  uint32_t hpid = 0xFFFFFFFF;  // the key in processMap; 0xFFFFFFFF: none yet
  uint32_t pid = 0;            // the OS process id
  std::string exeName;         // file-name part of exePath
  std::string guid;            // also the name of namedEvent
  std::string cmdLine;         // the caller's command line with the child marker appended
  std::string exePath;         // as the caller gave it
  SharedEvent namedEvent;      // the child's stop event
  uint64_t userData = 0;       // stored and copied, never read
  uint32_t state = PROCESS_RUNNING;
  SharedEvent processHandle;   // waited on and terminated
  SharedEvent syncEvent;       // set when the launcher has done a task for this record
  std::chrono::steady_clock::time_point startedAt{};  // of the current process, or its adoption
  uint32_t youngExits = 0;     // unasked exits in a row, each within a second of its start
  ChildSettings settings;      // what the current process said through its notify channel
  uint32_t stopCause = 0;      // KESTRAVO_CAUSE_* when the library stopped the current process
  uint64_t stopCauseValue = 0;

  void SetState(uint32_t value) { state = value; }
};

// hpid to record, iterated in ascending hpid order.
typedef std::map<uint32_t, ManagedProcess> ProcessMap;
