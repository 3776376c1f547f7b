#include "event.h"

#include <linux/futex.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <new>
#include <string>

#include "inherited_event.h"
#include "last_error.h"

namespace kestravo::posix {

namespace {

long Futex(uint32_t* word, int op, uint32_t value, const timespec* at) {
  return syscall(SYS_futex, word, op, value, at, nullptr, FUTEX_BITSET_MATCH_ANY);
}

// How long a waiter on a named event sleeps before it looks at the file again: a waiter on a page
// that was truncated away can no longer be woken.
constexpr time_t kRecheckSeconds = 1;

}  // namespace

EventObject::EventObject(bool manualReset, bool initialState)
    : localWord_(initialState ? 1 : 0), word_(&localWord_), manualReset_(manualReset) {}

EventObject::EventObject(std::unique_ptr<NamedEventFile> file)
    : file_(std::move(file)), word_(file_->Word()), manualReset_(file_->ManualReset()) {}

EventObject::~EventObject() {
  int fd = pollFd_.load();
  if (fd >= 0) close(fd);
}

int EventObject::PollFd() {
  if (file_) return -1;
  int fd = pollFd_.load();
  if (fd >= 0) return fd;
  std::lock_guard<std::mutex> lock(pollFdMutex_);
  fd = pollFd_.load();
  if (fd < 0) {
    fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return -1;
    // Published before the word is looked at again: a Set from now on writes to it, and one
    // from before left the word at 1, which the poller sees.
    pollFd_.store(fd);
  }
  return fd;
}

void EventObject::DrainPollFd() {
  int fd = pollFd_.load();
  uint64_t count = 0;
  if (fd >= 0 && read(fd, &count, sizeof count) < 0) {
    // EAGAIN: nothing to drain.
  }
}

DWORD WaitOnEventWord(uint32_t* word, bool manualReset, int namedFd, const Deadline& deadline) {
  for (;;) {
    // The atomics below touch a named event's word through the mapping, which raises SIGBUS if the
    // file has been truncated. Checking first leaves only a truncation in between, and that can
    // hurt only a waiter: a child on its own stop event. The library itself never waits on a
    // named event.
    if (namedFd >= 0 && !EventFileIntact(namedFd)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    if (manualReset) {
      if (__atomic_load_n(word, __ATOMIC_SEQ_CST) == 1) return WAIT_OBJECT_0;
    } else {
      uint32_t expected = 1;
      if (__atomic_compare_exchange_n(word, &expected, 0, false, __ATOMIC_SEQ_CST,
                                      __ATOMIC_SEQ_CST)) {
        return WAIT_OBJECT_0;
      }
    }
    // A time-out that has run out needs no futex call: one with a past deadline still sleeps
    // and wakes through the scheduler, which doubled the cost of every poll with time-out 0.
    if (!deadline.Infinite() && deadline.RemainingMs() == 0) return WAIT_TIMEOUT;
    // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC time, so EINTR needs no recomputing.
    const timespec* at = deadline.Infinite() ? nullptr : &deadline.At();
    timespec recheck{};
    if (namedFd >= 0) {
      clock_gettime(CLOCK_MONOTONIC, &recheck);
      recheck.tv_sec += kRecheckSeconds;
      if (at == nullptr || recheck.tv_sec < at->tv_sec ||
          (recheck.tv_sec == at->tv_sec && recheck.tv_nsec < at->tv_nsec)) {
        at = &recheck;
      }
    }
    if (Futex(word, FUTEX_WAIT_BITSET, 0, at) == 0) continue;
    switch (errno) {
      case EAGAIN:     // the word was not 0 any more
      case EINTR:
      case ETIMEDOUT:  // the loop tells a recheck from the deadline
        continue;
      case EFAULT:  // the page went between the check and the call
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
      default:
        FailWithErrno(errno);
        return WAIT_FAILED;
    }
  }
}

DWORD EventObject::Wait(const Deadline& deadline) {
  return WaitOnEventWord(word_, manualReset_, file_ ? file_->Descriptor() : -1, deadline);
}

bool EventObject::Set() {
  if (!file_) {
    __atomic_store_n(word_, 1u, __ATOMIC_SEQ_CST);
    Futex(word_, FUTEX_WAKE, manualReset_ ? INT_MAX : 1, nullptr);
    int fd = pollFd_.load();
    if (fd >= 0) {
      uint64_t one = 1;
      if (write(fd, &one, sizeof one) < 0) {
        // EAGAIN: the counter is full, so it is readable already.
      }
    }
    return true;
  }
  // Another process may have truncated the file: the word is written through the descriptor, and
  // the wake reports a page that is gone as EFAULT instead of a signal. Waiters are woken even
  // when the write fails, so that they find the damage.
  bool stored = file_->Store(1);
  if (Futex(word_, FUTEX_WAKE, stored && !manualReset_ ? 1 : INT_MAX, nullptr) < 0 && stored) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  return stored;
}

bool EventObject::Reset() {
  if (file_) return file_->Store(0);
  __atomic_store_n(word_, 0u, __ATOMIC_SEQ_CST);
  DrainPollFd();
  return true;
}

}  // namespace kestravo::posix

using kestravo::posix::EventObject;
using kestravo::posix::NamedEventFile;

namespace {

HANDLE OpenOrCreateEvent(bool create, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName, int inherited = -1) {
  try {
    std::shared_ptr<EventObject> event;
    bool existed = false;
    if (inherited >= 0) {
      std::unique_ptr<NamedEventFile> file = NamedEventFile::Adopt(inherited, lpName);
      if (!file) return nullptr;
      event = std::make_shared<EventObject>(std::move(file));
    } else if (lpName == nullptr || *lpName == '\0') {
      if (!create) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
      }
      event = std::make_shared<EventObject>(bManualReset != FALSE, bInitialState != FALSE);
    } else {
      std::unique_ptr<NamedEventFile> file = NamedEventFile::Open(
          lpName, create, bManualReset != FALSE, bInitialState != FALSE, &existed);
      if (!file) return nullptr;
      event = std::make_shared<EventObject>(std::move(file));
    }
    HANDLE handle = kestravo::posix::RegisterHandle(std::move(event));
    if (handle == nullptr) return nullptr;
    // As on Windows, a create that opened an existing event says so through the last error.
    SetLastError(existed && create ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

}  // namespace

namespace kestravo::posix {

int InheritableEventDescriptor(HANDLE handle) {
  auto event = LookupHandleAs<EventObject>(handle);
  if (!event) return -1;
  if (event->NamedDescriptor() < 0) {
    Fail(ERROR_INVALID_HANDLE);
    return -1;
  }
  int fd = fcntl(event->NamedDescriptor(), F_DUPFD, 3);
  if (fd < 0) FailWithErrno(errno);
  return fd;
}

HANDLE OpenInheritedEvent(const char* fdText, const char* name) {
  char* end = nullptr;
  errno = 0;
  long fd = fdText != nullptr ? strtol(fdText, &end, 10) : -1;
  if (name == nullptr || *name == '\0' || fdText == nullptr || *fdText == '\0' || *end != '\0' || errno != 0 || fd < 0 ||
      fd > INT_MAX) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return OpenOrCreateEvent(false, FALSE, FALSE, name, static_cast<int>(fd));
}

}  // namespace kestravo::posix

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
  return OpenOrCreateEvent(true, bManualReset, bInitialState, lpName);
}

HANDLE OpenEventA(DWORD, BOOL, LPCSTR lpName) {
  return OpenOrCreateEvent(false, FALSE, FALSE, lpName);
}

BOOL SetEvent(HANDLE hEvent) {
  auto event = kestravo::posix::LookupHandleAs<EventObject>(hEvent);
  if (!event) return FALSE;
  return event->Set() ? TRUE : FALSE;
}

BOOL ResetEvent(HANDLE hEvent) {
  auto event = kestravo::posix::LookupHandleAs<EventObject>(hEvent);
  if (!event) return FALSE;
  return event->Reset() ? TRUE : FALSE;
}
