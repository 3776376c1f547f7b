// A child that ends within this time of its start died young: the library spaces out its
// restarts, and kestravo-host shows the output that led to its end. One threshold, so that the
// host never calls an end early that the library treated as a long run.
#pragma once

#include <stdint.h>

namespace kestravo {

inline constexpr uint64_t kYoungExitMs = 1000;

// True for a run shorter than the threshold.
inline constexpr bool IsYoungExit(uint64_t runMs) { return runMs < kYoungExitMs; }

}  // namespace kestravo
