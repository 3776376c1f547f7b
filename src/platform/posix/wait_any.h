// One wait for "an event, any of these processes, or a time-out".
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/epoll.h>

#include <memory>
#include <unordered_map>
#include <vector>

#include "win32.h"

namespace kestravo::posix {

// Waits until event (may be NULL) is set, any of the count processes has ended, or ms pass
// (INFINITE for no limit). ended[i] is set to 1 for every process found ended, 0 for the others,
// so that processes that end together are all seen in one call. An automatic-reset event is
// taken; a manual-reset one stays set. WAIT_OBJECT_0 when something happened, WAIT_TIMEOUT, or
// WAIT_FAILED with the last error set (a bad handle, a null array with count > 0). Handles that
// cannot be polled (no descriptor to be had) are looked at every 10 ms instead.
DWORD WaitForEventOrProcesses(HANDLE event, const HANDLE* processes, size_t count, DWORD ms,
                              uint8_t* ended);


class KernelObject;

// Process handles watched across many waits: an epoll set that changes only where the caller adds
// or removes, so a wait over a thousand children costs what the ended ones cost. Holds each
// member's object, so its descriptor stays registered and unreused until Remove. One thread.
class ProcessWaitSet {
 public:
  ProcessWaitSet() = default;
  ~ProcessWaitSet();
  ProcessWaitSet(const ProcessWaitSet&) = delete;
  ProcessWaitSet& operator=(const ProcessWaitSet&) = delete;

  // False with the last error on a bad handle or no memory. Adding a member again does nothing.
  bool Add(HANDLE process);
  void Remove(HANDLE process);
  // As WaitForEventOrProcesses over the members; every member found ended is appended to ended.
  DWORD Wait(HANDLE event, DWORD ms, std::vector<HANDLE>* ended);

 private:
  struct Member {
    std::shared_ptr<KernelObject> object;
    int fd;  // registered in epoll_, or -1: looked at every 10 ms instead
  };
  bool CollectUnpolled(std::vector<HANDLE>* ended, bool* failed);

  int epoll_ = -1;  // made by the first Add
  std::unordered_map<HANDLE, Member> members_;
  size_t unpolled_ = 0;  // members with fd -1
  std::vector<epoll_event> ready_;
  // How long a wait sleeps before it looks again at cgroups that could not be removed yet: short
  // at first, since their processes are usually just dying, longer while they stay.
  int leftoverRecheckMs_ = 0;
};

}  // namespace kestravo::posix
