#include "common/start_phases.h"

#ifdef KESTRAVO_START_PHASES
#include <atomic>

namespace kestravo {
namespace {
std::atomic<uint64_t> g_ns[kStartPhaseCount];
std::atomic<uint64_t> g_counts[kStartPhaseCount];
}  // namespace

void AddStartPhase(StartPhase phase, std::chrono::steady_clock::duration spent) {
  if (phase >= kStartPhaseCount) return;
  g_ns[phase].fetch_add(static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(spent).count()),
                        std::memory_order_relaxed);
  g_counts[phase].fetch_add(1, std::memory_order_relaxed);
}

void ReadStartPhases(uint64_t* ns, uint64_t* counts, uint32_t n, bool reset) {
  for (uint32_t i = 0; i < kStartPhaseCount; ++i) {
    const uint64_t spent = reset ? g_ns[i].exchange(0) : g_ns[i].load();
    const uint64_t count = reset ? g_counts[i].exchange(0) : g_counts[i].load();
    if (i >= n) continue;
    if (ns != nullptr) ns[i] = spent;
    if (counts != nullptr) counts[i] = count;
  }
}

}  // namespace kestravo
#endif
