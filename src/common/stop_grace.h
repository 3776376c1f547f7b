// How long a stop waits for a child to end on its stop event before it is terminated: the
// library's KESTRAVO_DestroyProcess and kestravo-host's default and limit.
#pragma once

#include <stdint.h>

namespace kestravo {

inline constexpr uint32_t kDefaultStopGraceMs = 3000;  // a grace of 0 means this
inline constexpr uint32_t kMaxStopGraceMs = 600000;    // ten minutes; longer ones are cut to it

}  // namespace kestravo
