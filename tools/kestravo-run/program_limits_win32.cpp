#include "program_limits.h"

namespace kestravo_run {

bool ApplyLimits(const Limits& limits, std::string* error) {
  const char* option = limits.memoryMax ? "--memory-max" : limits.tasksMax ? "--tasks-max" : limits.cpuPercent ? "--cpu-max" : nullptr;
  if (option == nullptr) return true;
  *error = std::string(option) + " is not supported on Windows";
  return false;
}

std::string OutOfMemoryNote() { return std::string(); }

bool RestoreForProgram() { return true; }

}  // namespace kestravo_run
