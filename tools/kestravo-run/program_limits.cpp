#include "program_limits.h"

#include <stdlib.h>

#include "size_text.h"

namespace kestravo_run {

bool IsLimitOption(const std::string& name) {
  return name == "--memory-max" || name == "--tasks-max" || name == "--cpu-max";
}

bool ParseLimit(const std::string& name, const std::string& value, Limits* limits) {
  if (name == "--memory-max") return kestravo_tools::ParseSize(value, &limits->memoryMax) && limits->memoryMax > 0;
  std::string digits = name == "--cpu-max" && !value.empty() && value.back() == '%' ? value.substr(0, value.size() - 1) : value;
  if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  uint64_t number = strtoull(digits.c_str(), nullptr, 10);
  // cpu.max: a quota of at least 1 ms in a period of 100 ms, up to a thousand cores.
  if (number == 0 || (name == "--cpu-max" && number > 100000)) return false;
  (name == "--cpu-max" ? limits->cpuPercent : limits->tasksMax) = number;
  return true;
}

const char* LimitsUsage() {
  return "--memory-max SIZE (K, M and G suffixes), --tasks-max N and --cpu-max PERCENT (100: one\n"
         "core) limit the memory without swap, the number of processes and threads, and the CPU time\n"
         "of the adapter, PROGRAM and all it starts, together (Linux: cgroup v2 memory.max, pids.max,\n"
         "cpu.max of the cgroup the supervisor made for the adapter). Memory past SIZE ends them all,\n"
         "noted as \"out of memory (limit SIZE)\"; a fork past N fails. A limit that cannot be set\n"
         "(no cgroup of its own, the controller not passed on to it, Windows) is exit code 125.\n";
}

}  // namespace kestravo_run
