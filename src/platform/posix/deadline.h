// An absolute CLOCK_MONOTONIC deadline, so that an interrupted wait resumes with the time left.
#pragma once

#include <time.h>

#include <cstdint>

namespace kestravo::posix {

class Deadline {
 public:
  // INFINITE (0xFFFFFFFF) means no deadline.
  explicit Deadline(uint32_t timeoutMs);

  bool Infinite() const { return infinite_; }
  // The absolute time, for FUTEX_WAIT_BITSET. Undefined when Infinite().
  const timespec& At() const { return at_; }
  // Milliseconds left, rounded up, for poll(): -1 when infinite, 0 once passed.
  int RemainingMs() const;

 private:
  bool infinite_;
  timespec at_{};
};

}  // namespace kestravo::posix
