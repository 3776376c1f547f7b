#include "manager/exit_report.h"

#include "common/exit_text.h"
#include "platform/process_exit.h"

ExitedProcInfo MakeExitedProcInfo(HANDLE process, uint32_t pid, std::chrono::steady_clock::time_point startedAt) {
  ExitedProcInfo info{};
  info.size = sizeof info;
  info.pid = pid;
  info.restarting = 1;
  ProcessExitStatus status;
  const bool ended = GetProcessExitStatus(process, &status) != FALSE;
  if (ended && status.known) {
    info.known = 1;
    info.exitCode = status.exitCode;
    info.signal = status.signal;
    info.coreDumped = status.coreDumped ? 1 : 0;
    info.cause = status.signal != 0 ? KESTRAVO_CAUSE_SIGNAL : KESTRAVO_CAUSE_EXITED;
  }
  if (ended && status.outOfMemory) {
    info.cause = KESTRAVO_CAUSE_OUT_OF_MEMORY;
    info.causeValue = status.memoryLimit;
  }
  auto ran = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - startedAt);
  info.runMs = ran.count() > 0 ? static_cast<uint64_t>(ran.count()) : 0;
  return info;
}

std::string DescribeExit(const ExitedProcInfo& info) {
  std::string how = kestravo::ExitText(info.known != 0, info.exitCode, info.signal, info.coreDumped != 0, info.runMs);
  std::string why = kestravo::StopCauseText(info.cause, info.causeValue);
  return why.empty() ? how : why + ": " + how;
}
