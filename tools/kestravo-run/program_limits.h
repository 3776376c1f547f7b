// The limits that kestravo-run sets on the cgroup that the library made for it (Linux cgroup v2),
// before it starts its program: --memory-max, --tasks-max, --cpu-max. A limit that cannot be set
// is refused, never left out.
#pragma once

#include <stdint.h>

#include <string>

namespace kestravo_run {

// What the command line asked for; 0: no such limit.
struct Limits {
  uint64_t memoryMax = 0;  // bytes, memory.max (no swap, and the whole cgroup ended on a kill)
  uint64_t tasksMax = 0;   // processes and threads, pids.max
  uint64_t cpuPercent = 0; // of one core, cpu.max
};

// True when name is one of the limit options.
bool IsLimitOption(const std::string& name);
// Takes the value of a limit option: a size as --output-size ("256M"), a count, a percentage
// ("50" or "50%"; 200 is two cores). False for a bad or zero value.
bool ParseLimit(const std::string& name, const std::string& value, Limits* limits);

// What the usage text says of the limits.
const char* LimitsUsage();

// Sets the limits on this process's own cgroup. False with *error, one line naming the option and
// the reason, where it has no cgroup made for it by the library, or the cgroup lacks the
// controller or the file, or a write fails. Also notes the cgroup's out-of-memory kills so far,
// with limits or without.
bool ApplyLimits(const Limits& limits, std::string* error);

// Once the program has ended: "out of memory (limit 256M)" when the kernel's out-of-memory killer
// ended a process of the cgroup since ApplyLimits, else empty.
std::string OutOfMemoryNote();

// In the program's process, between fork and exec (async-signal-safe): undoes what ApplyLimits
// did to this process alone (it keeps itself out of the reach of the out-of-memory killer where it
// may, to tell how its program ended). False if that failed.
bool RestoreForProgram();

}  // namespace kestravo_run
