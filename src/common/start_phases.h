// Where a child's start spends its time, for the benchmark only. Built with KESTRAVO_START_PHASES
// (the bench build turns it on) each phase's time is summed over all starts, on whichever thread
// runs it; otherwise nothing is compiled in and the timers are empty.
#pragma once
#include <stdint.h>

#include <chrono>

namespace kestravo {

enum StartPhase : uint32_t {
  kPhaseQueueWait,     // from the task's queueing until the launcher takes it
  kPhaseStopEvent,     // the child's stop event, on the creating thread
  kPhaseNotifyOpen,    // its notify channel, on the creating thread
  kPhaseCgroup,        // its cgroup made and opened, on the launcher
  kPhaseSpawn,         // clone until the child's exec, on the launcher
  kPhaseRecord,        // the record kept and the start reported, on the launcher
  kPhaseStateFile,     // the state file's entry and its rewrites
  kPhaseGuard,         // the child handed to the notify watch and the running guard, on the launcher
  kPhaseGuardPass,     // the running guard's passes over the table, on its own thread
  kPhaseLauncherTask,  // the launcher's whole start task, the above of it included
  kStartPhaseCount
};

#ifdef KESTRAVO_START_PHASES
void AddStartPhase(StartPhase phase, std::chrono::steady_clock::duration spent);
// Copies the sums (ns) and counts of up to n phases out, then zeroes them when reset.
void ReadStartPhases(uint64_t* ns, uint64_t* counts, uint32_t n, bool reset);

class StartPhaseTimer {
 public:
  explicit StartPhaseTimer(StartPhase phase) : phase_(phase), begin_(std::chrono::steady_clock::now()) {}
  ~StartPhaseTimer() { AddStartPhase(phase_, std::chrono::steady_clock::now() - begin_); }
  // Ends the phase timed so far and times the next from now.
  void Next(StartPhase phase) {
    const auto now = std::chrono::steady_clock::now();
    AddStartPhase(phase_, now - begin_);
    phase_ = phase;
    begin_ = now;
  }
  StartPhaseTimer(const StartPhaseTimer&) = delete;
  StartPhaseTimer& operator=(const StartPhaseTimer&) = delete;

 private:
  StartPhase phase_;
  std::chrono::steady_clock::time_point begin_;
};
#define KESTRAVO_START_PHASE_CAT2(a, b) a##b
#define KESTRAVO_START_PHASE_CAT(a, b) KESTRAVO_START_PHASE_CAT2(a, b)
#define KESTRAVO_TIME_START_PHASE(phase) \
  ::kestravo::StartPhaseTimer KESTRAVO_START_PHASE_CAT(startPhase, __LINE__)(phase)
#else
#define KESTRAVO_TIME_START_PHASE(phase) static_cast<void>(0)
#endif

}  // namespace kestravo
