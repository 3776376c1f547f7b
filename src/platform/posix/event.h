// Events, unnamed and named, over a futex word.
#pragma once

#include <memory>

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
  // False with the last error set when a named event's file was damaged by another process.
  bool Set();
  bool Reset();

 private:
  std::unique_ptr<NamedEventFile> file_;  // null for an unnamed event
  uint32_t localWord_ = 0;                // the word of an unnamed event
  uint32_t* word_;
  bool manualReset_;
};

}  // namespace kestravo::posix
