#include "deadline.h"

#include <climits>

#include "win32.h"

namespace kestravo::posix {

namespace {
constexpr long kNanosPerSecond = 1000000000L;
}

Deadline::Deadline(uint32_t timeoutMs) : infinite_(timeoutMs == INFINITE) {
  if (infinite_) return;
  clock_gettime(CLOCK_MONOTONIC, &at_);
  at_.tv_sec += timeoutMs / 1000;
  at_.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
  if (at_.tv_nsec >= kNanosPerSecond) {
    at_.tv_sec += 1;
    at_.tv_nsec -= kNanosPerSecond;
  }
}

int Deadline::RemainingMs() const {
  if (infinite_) return -1;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  long long nanos = (static_cast<long long>(at_.tv_sec) - now.tv_sec) * kNanosPerSecond +
                    (at_.tv_nsec - now.tv_nsec);
  if (nanos <= 0) return 0;
  long long ms = (nanos + 999999) / 1000000;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace kestravo::posix
