#include "wait_any.h"

#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "event.h"
#include "handle_table.h"
#include "last_error.h"
#include "process.h"
#include "process_groups.h"

namespace kestravo::posix {

namespace {
constexpr int kUnpolledRecheckMs = 10;
constexpr int kFirstLeftoverRecheckMs = 20;
constexpr int kLongestLeftoverRecheckMs = 5000;
}

DWORD WaitForEventOrProcesses(HANDLE eventHandle, const HANDLE* processes, size_t count, DWORD ms,
                              uint8_t* ended) {
  if (count > 0 && (processes == nullptr || ended == nullptr)) {
    Fail(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  if (count > 0) memset(ended, 0, count);
  try {
    // A set for this one wait: the same looks as a set kept across waits.
    ProcessWaitSet set;
    for (size_t i = 0; i < count; ++i) {
      if (!set.Add(processes[i])) return WAIT_FAILED;
    }
    std::vector<HANDLE> done;
    DWORD result = set.Wait(eventHandle, ms, &done);
    for (HANDLE process : done) {
      for (size_t i = 0; i < count; ++i) {
        if (processes[i] == process) ended[i] = 1;
      }
    }
    return result;
  } catch (const std::bad_alloc&) {
    Fail(ERROR_NOT_ENOUGH_MEMORY);
    return WAIT_FAILED;
  }
}

ProcessWaitSet::~ProcessWaitSet() {
  if (epoll_ >= 0) close(epoll_);
}

bool ProcessWaitSet::Add(HANDLE process) {
  try {
    if (members_.count(process) != 0) return true;
    std::shared_ptr<KernelObject> object = LookupHandle(process);
    if (!object) return false;
    if (epoll_ < 0) epoll_ = epoll_create1(EPOLL_CLOEXEC);
    int fd = epoll_ >= 0 ? object->PollFd() : -1;
    if (fd >= 0) {
      epoll_event change{};
      change.events = EPOLLIN;
      change.data.ptr = process;
      // No room for a watch: looked at by the recheck instead.
      if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &change) != 0) fd = -1;
    }
    members_.emplace(process, Member{std::move(object), fd});
    if (fd < 0) ++unpolled_;
    return true;
  } catch (const std::bad_alloc&) {
    Fail(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
}

void ProcessWaitSet::Remove(HANDLE process) {
  auto found = members_.find(process);
  if (found == members_.end()) return;
  if (found->second.fd >= 0) {
    epoll_ctl(epoll_, EPOLL_CTL_DEL, found->second.fd, nullptr);
  } else {
    --unpolled_;
  }
  members_.erase(found);
}

bool ProcessWaitSet::CollectUnpolled(std::vector<HANDLE>* ended, bool* failed) {
  bool found = false;
  if (unpolled_ == 0) return false;
  const Deadline now(0);
  for (const auto& member : members_) {
    if (member.second.fd >= 0) continue;
    DWORD result = member.second.object->Wait(now);
    if (result == WAIT_FAILED) *failed = true;
    if (result != WAIT_OBJECT_0) continue;
    ended->push_back(member.first);
    found = true;
  }
  return found;
}

DWORD ProcessWaitSet::Wait(HANDLE eventHandle, DWORD ms, std::vector<HANDLE>* ended) {
  bool leftovers = SweepAbandonedChildren();
  try {
    const Deadline now(0);
    const Deadline deadline(ms);
    std::shared_ptr<EventObject> event;
    if (eventHandle != nullptr) {
      event = LookupHandleAs<EventObject>(eventHandle);
      if (!event) return WAIT_FAILED;
    }
    bool failed = false;
    bool found = CollectUnpolled(ended, &failed);
    if (failed) return WAIT_FAILED;
    pollfd fds[2];
    nfds_t count = 0;
    if (epoll_ >= 0) fds[count++] = pollfd{epoll_, POLLIN, 0};
    bool unpolled = unpolled_ > 0;
    if (event) {
      int fd = event->PollFd();
      if (fd >= 0) {
        fds[count++] = pollfd{fd, POLLIN, 0};
      } else {
        unpolled = true;
      }
    }
    ready_.resize(members_.size() + 1);
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
      if (!leftovers) leftoverRecheckMs_ = 0;
      if (leftovers && (timeout < 0 || timeout > leftoverRecheckMs_)) {
        leftoverRecheckMs_ = std::clamp(2 * leftoverRecheckMs_, kFirstLeftoverRecheckMs, kLongestLeftoverRecheckMs);
        timeout = leftoverRecheckMs_;
      }
      int n = poll(fds, count, timeout);
      if (leftovers) leftovers = SweepCgroups();
      if (n < 0) {
        if (errno == EINTR) continue;
        FailWithErrno(errno);
        return WAIT_FAILED;
      }
      if (epoll_ >= 0 && fds[0].revents != 0) {
        // Room for every member: one call sees all that are ready, none twice.
        int got = epoll_wait(epoll_, ready_.data(), static_cast<int>(ready_.size()), 0);
        for (int k = 0; k < got; ++k) {
          auto member = members_.find(ready_[static_cast<size_t>(k)].data.ptr);
          if (member == members_.end()) continue;
          // A ready descriptor is confirmed by a wait, which also reaps an own child.
          DWORD result = member->second.object->Wait(now);
          if (result == WAIT_FAILED) return WAIT_FAILED;
          if (result == WAIT_OBJECT_0) {
            ended->push_back(member->first);
            found = true;
          }
        }
      }
      if (CollectUnpolled(ended, &failed)) found = true;
      if (failed) return WAIT_FAILED;
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
