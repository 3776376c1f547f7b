#include "manager/exit_report.h"

#include "common/exit_text.h"
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
  return kestravo::ExitText(info.known != 0, info.exitCode, info.signal, info.coreDumped != 0, info.runMs);
}
