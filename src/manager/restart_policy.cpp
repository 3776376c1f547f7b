#include "manager/restart_policy.h"

#include <algorithm>
#include <chrono>

#include "common/young_exit.h"
#include "launcher/launch_task.h"

namespace {
constexpr std::chrono::milliseconds kFirstSpacing(100);
}

uint32_t NextYoungExits(uint32_t youngExits, uint64_t runMs) { return kestravo::IsYoungExit(runMs) ? youngExits + 1 : 0; }

uint32_t RelaunchSpacingMs(uint32_t youngExits) {
  if (youngExits == 0) return 0;
  const auto cap = std::chrono::duration_cast<std::chrono::milliseconds>(kStartRetryPeriod);
  auto spacing = kFirstSpacing;
  for (uint32_t n = 1; n < youngExits && spacing < cap; ++n) spacing *= 2;
  return static_cast<uint32_t>(std::min(spacing, cap).count());
}
