#include "child_stop_event.h"

#include <unistd.h>

#include <atomic>

#include "deadline.h"
#include "event.h"
#include "last_error.h"
#include "named_event_file.h"

namespace kestravo::posix {

namespace {

struct Slot {
  std::atomic<bool> taken{false};
  // Owned by whoever took the slot, until it frees it.
  EventFileOpen open;
  pid_t opener = 0;
  char path[kEventPathSize];
};

// A child opens one stop event, an adapter two; more go to the handle table.
constexpr int kSlots = 4;
Slot slots[kSlots];

Slot* SlotOf(const void* event) {
  for (Slot& slot : slots) {
    if (event == &slot) return &slot;
  }
  return nullptr;
}

}  // namespace

void* OpenChildStopEvent(const char* name, bool* noSlot) {
  *noSlot = false;
  if (name == nullptr || *name == '\0') {
    Fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  for (Slot& slot : slots) {
    if (slot.taken.exchange(true, std::memory_order_acquire)) continue;
    bool existed = false;
    if (NamedEventPathInto(name, slot.path, sizeof slot.path) &&
        OpenEventFile(slot.path, false, false, false, &slot.open, &existed)) {
      slot.opener = getpid();
      SetLastError(ERROR_SUCCESS);
      return &slot;
    }
    slot.taken.store(false, std::memory_order_release);
    return nullptr;
  }
  *noSlot = true;
  return nullptr;
}

bool IsChildStopEvent(const void* event) {
  const Slot* slot = SlotOf(event);
  return slot != nullptr && slot->taken.load(std::memory_order_acquire);
}

DWORD WaitChildStopEvent(void* event, uint32_t timeoutMs) {
  Slot* slot = SlotOf(event);
  return WaitOnEventWord(&slot->open.block->state, slot->open.manualReset, slot->open.fd, Deadline(timeoutMs));
}

void CloseChildStopEvent(void* event) {
  Slot* slot = SlotOf(event);
  CloseEventFile(slot->open.fd, slot->open.block, slot->path, slot->opener, false);
  slot->open = EventFileOpen{};
  slot->taken.store(false, std::memory_order_release);
}

}  // namespace kestravo::posix
