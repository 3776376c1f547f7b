// A 32-bit counter whose every access goes through the runtime's atomics, so it may be shared
// between threads without a lock. Overflow wraps.
#pragma once

#include <stdint.h>

#include "zol_runtime.h"

class AtomicCounter {
 public:
  AtomicCounter() : value_(0) {}
  explicit AtomicCounter(int32_t value) : value_(value) {}
  // Copying a counter would copy a value that may be changing: share a pointer instead.
  AtomicCounter(const AtomicCounter&) = delete;
  AtomicCounter& operator=(const AtomicCounter&) = delete;

  // Both return the value after the change.
  int32_t Increment() { return Plus(ZOL_AtomicAdd(&value_, 1), 1); }
  int32_t Decrement() { return Plus(ZOL_AtomicAdd(&value_, -1), -1); }

  // The current value, read atomically.
  int32_t Get() const { return ZOL_AtomicCas(&value_, 0, 0); }

 private:
  // Wrapping addition without signed overflow.
  static int32_t Plus(int32_t before, int32_t delta) {
    return static_cast<int32_t>(static_cast<uint32_t>(before) + static_cast<uint32_t>(delta));
  }

  // mutable: reading goes through a compare-and-swap, which may write the same value back.
  mutable volatile int32_t value_;
};
