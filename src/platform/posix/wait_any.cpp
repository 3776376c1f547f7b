#include "wait_any.h"

#include <poll.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "event.h"
#include "handle_table.h"
#include "last_error.h"
#include "process.h"

namespace kestravo::posix {

namespace {
constexpr int kUnpolledRecheckMs = 10;
}

DWORD WaitForEventOrProcesses(HANDLE eventHandle, const HANDLE* processes, size_t count, DWORD ms,
                              uint8_t* ended) {
  if (count > 0 && (processes == nullptr || ended == nullptr)) {
    Fail(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  // Once per wait, not once per process polled: a guard pass over a thousand children would
  // otherwise take the sweep's locks a thousand times.
  SweepAbandonedChildren();
  try {
    const Deadline now(0);
    const Deadline deadline(ms);
    std::shared_ptr<EventObject> event;
    if (eventHandle != nullptr) {
      event = LookupHandleAs<EventObject>(eventHandle);
      if (!event) return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<KernelObject>> objects(count);
    std::vector<pollfd> fds;
    std::vector<size_t> owner;  // the process index of each entry of fds
    fds.reserve(count + 1);
    owner.reserve(count);
    bool found = false;
    bool unpolled = false;
    if (count > 0) memset(ended, 0, count);
    for (size_t i = 0; i < count; ++i) {
      objects[i] = LookupHandle(processes[i]);
      if (!objects[i]) return WAIT_FAILED;
      int fd = objects[i]->PollFd();
      if (fd >= 0) {
        fds.push_back(pollfd{fd, POLLIN, 0});
        owner.push_back(i);
      } else if (objects[i]->Wait(now) == WAIT_OBJECT_0) {
        ended[i] = 1;
        found = true;
      } else {
        unpolled = true;
      }
    }
    const size_t processFds = fds.size();
    if (event) {
      int fd = event->PollFd();
      if (fd >= 0) {
        fds.push_back(pollfd{fd, POLLIN, 0});
      } else {
        unpolled = true;
      }
    }
    for (;;) {
      // Drained before the look, so a Set between the two leaves the descriptor readable.
      if (event) {
        event->DrainPollFd();
        if (event->Wait(now) == WAIT_OBJECT_0) found = true;
      }
      if (found) return WAIT_OBJECT_0;
      int timeout = deadline.RemainingMs();
      const bool last = !deadline.Infinite() && timeout == 0;
      if (unpolled && (timeout < 0 || timeout > kUnpolledRecheckMs)) timeout = kUnpolledRecheckMs;
      int ready = poll(fds.data(), fds.size(), timeout);
      if (ready < 0) {
        if (errno == EINTR) continue;
        FailWithErrno(errno);
        return WAIT_FAILED;
      }
      for (size_t k = 0; k < processFds; ++k) {
        if (fds[k].revents == 0) continue;
        // A ready descriptor is confirmed by a wait, which also reaps an own child.
        DWORD result = objects[owner[k]]->Wait(now);
        if (result == WAIT_FAILED) return WAIT_FAILED;
        if (result == WAIT_OBJECT_0) {
          ended[owner[k]] = 1;
          found = true;
        }
      }
      if (unpolled) {
        for (size_t i = 0; i < count; ++i) {
          if (!ended[i] && objects[i]->PollFd() < 0 && objects[i]->Wait(now) == WAIT_OBJECT_0) {
            ended[i] = 1;
            found = true;
          }
        }
      }
      if (last && !found) {
        if (event && event->Wait(now) == WAIT_OBJECT_0) return WAIT_OBJECT_0;
        return WAIT_TIMEOUT;
      }
    }
  } catch (const std::bad_alloc&) {
    Fail(ERROR_NOT_ENOUGH_MEMORY);
    return WAIT_FAILED;
  }
}

}  // namespace kestravo::posix
