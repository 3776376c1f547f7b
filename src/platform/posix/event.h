// Events, unnamed and named, over a futex word.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "handle_table.h"
#include "named_event_file.h"

namespace kestravo::posix {

// An event: a 32-bit word, 1 when signalled. An automatic-reset event is taken by the one
// waiter that swaps the 1 for a 0; a manual-reset event releases every waiter until reset.
// The word of a named event lives in its shared file, so waiters in other processes see it;
// futex calls are made without FUTEX_PRIVATE_FLAG for that reason.
class EventObject : public KernelObject {
 public:
  EventObject(bool manualReset, bool initialState);  // unnamed
  explicit EventObject(std::unique_ptr<NamedEventFile> file);  // named
  ~EventObject() override;

  DWORD Wait(const Deadline& deadline) override;
  // An unnamed event's eventfd, made at the first call, readable after a Set. Only a hint: a
  // poller drains it (DrainPollFd) before it looks at the event, so that a Set in between is
  // never lost. -1 for a named event, or when no descriptor can be had.
  int PollFd() override;
  void DrainPollFd();
  // False with the last error set when a named event's file was damaged by another process.
  bool Set();
  bool Reset();
  // A named event's descriptor, owned by this object; -1 for an unnamed one.
  int NamedDescriptor() const { return file_ ? file_->Descriptor() : -1; }

 private:
  std::unique_ptr<NamedEventFile> file_;  // null for an unnamed event
  uint32_t localWord_ = 0;                // the word of an unnamed event
  uint32_t* word_;
  bool manualReset_;
  std::mutex pollFdMutex_;           // serialises the making of pollFd_
  std::atomic<int> pollFd_{-1};
};

// An event's wait on its word, WAIT_OBJECT_0 taking it (auto-reset) or seeing it (manual), else
// WAIT_TIMEOUT or WAIT_FAILED with the last error. namedFd: a named event's descriptor, through
// which the file is checked before each look at the mapped word; -1 for an unnamed event.
DWORD WaitOnEventWord(uint32_t* word, bool manualReset, int namedFd, const Deadline& deadline);

}  // namespace kestravo::posix
