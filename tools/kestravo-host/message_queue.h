// The library's messages as its callback records them for the main thread.
#pragma once

#include <stdint.h>

#include <chrono>
#include <deque>
#include <mutex>
#include <string>

#include "exit_watch.h"
#include "host_os.h"

namespace kestravo_host {

// A message from the library's callback, as the callback recorded it.
struct Message {
  uint32_t hpid = 0, type = 0;
  Clock::time_point at;
  std::chrono::system_clock::time_point wallAt;
  uint32_t pid = 0;        // MSG_ATTACHABLE, MSG_EXITED
  std::string cmdLine, exePath;
  // MSG_EXITED, from its ExitedProcInfo when the library gave one.
  bool haveExit = false, exitKnown = false, coreDumped = false;
  int32_t exitCode = 0, signal = 0;
  uint64_t runMs = UINT64_MAX;  // UINT64_MAX: not given
  int64_t relaunchInMs = -1;    // the wait before its restart; -1: not given (an older library)
  uint32_t cause = 0;           // KESTRAVO_CAUSE_*; 0 also from an older library
  uint64_t causeValue = 0;
  bool restarting = true;       // false: its restart policy leaves it ended
  std::string text;             // MSG_STATUS: the line
};

// Filled by the callback on the library's threads, emptied by the main thread. The callback only
// records: calling the library from a worker thread while the main thread uninitialises it
// would deadlock.
class MessageQueue {
 public:
  void Push(Message message);
  std::deque<Message> TakeAll();
  // Whether a message of this type about hpid waits; *pid gets the first one's pid.
  bool Pending(uint32_t hpid, uint32_t type, uint32_t* pid);
  // Returns as soon as a message waits, so that the main thread handles each at once (the pid
  // it then asks for is still the one the message is about), or a stop is requested: then its
  // name. Empty after ms without either.
  std::string Wait(int ms) { return wake_.Wait(ms); }
  // From any thread: the next Wait returns at once (a control request waits).
  void Nudge() { wake_.Set(); }

 private:
  std::mutex mutex_;
  std::deque<Message> messages_;  // guarded by mutex_
  Wake wake_;
};

// The callback given to KESTRAVO_SetMsgCallBack, with the MessageQueue as its user value.
int32_t RecordMessage(uint32_t hpid, uint32_t type, void* data, void* user) noexcept;

}  // namespace kestravo_host
