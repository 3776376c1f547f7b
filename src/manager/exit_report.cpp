#include "manager/exit_report.h"

#include <stdio.h>

#include "platform/process_exit.h"

ExitedProcInfo MakeExitedProcInfo(HANDLE process, uint32_t pid, std::chrono::steady_clock::time_point startedAt) {
  ExitedProcInfo info{};
  info.size = sizeof info;
  info.pid = pid;
  ProcessExitStatus status;
  if (GetProcessExitStatus(process, &status) && status.known) {
    info.known = 1;
    info.exitCode = status.exitCode;
    info.signal = status.signal;
    info.coreDumped = status.coreDumped ? 1 : 0;
  }
  auto ran = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - startedAt);
  info.runMs = ran.count() > 0 ? static_cast<uint64_t>(ran.count()) : 0;
  return info;
}

std::string DescribeExit(const ExitedProcInfo& info) {
  char cause[64];
  if (!info.known) {
    snprintf(cause, sizeof cause, "ended (cause not known)");
  } else if (info.signal != 0) {
    const char* name = SignalName(info.signal);
    if (name != nullptr) {
      snprintf(cause, sizeof cause, "killed by SIG%s%s", name, info.coreDumped ? " (core dumped)" : "");
    } else {
      snprintf(cause, sizeof cause, "killed by signal %d%s", static_cast<int>(info.signal),
               info.coreDumped ? " (core dumped)" : "");
    }
  } else if (info.exitCode < 0) {
    snprintf(cause, sizeof cause, "exited with code 0x%08X", static_cast<unsigned>(info.exitCode));
  } else {
    snprintf(cause, sizeof cause, "exited with code %d", static_cast<int>(info.exitCode));
  }
  // Hundredths while a run is short enough for them to matter.
  char ran[48];
  const unsigned long long ms = info.runMs;
  if (ms < 10000) {
    snprintf(ran, sizeof ran, "%llu.%02llu s", ms / 1000, ms % 1000 / 10);
  } else {
    snprintf(ran, sizeof ran, "%llu s", ms / 1000);
  }
  return std::string(cause) + " after " + ran;
}
