// How a managed child ended: the data of MSG_EXITED, and the same in words for the log.
#pragma once
#include <stdint.h>

#include <chrono>
#include <string>

#include "kestravo.h"
#include "platform/os.h"

// For the ended process behind process (pid): how it ended, as far as the system can tell, and
// how long it ran since startedAt (its start, or its adoption), up to now.
ExitedProcInfo MakeExitedProcInfo(HANDLE process, uint32_t pid, std::chrono::steady_clock::time_point startedAt);

// One line for a person, in the tools' words (common/exit_text.h): "exited with code 3 after
// 0.21 s", "killed by SIGSEGV (core dumped) after 41 s", "ended (cause not known) after 12 s",
// "watchdog (no ping in 10 s): killed by SIGKILL after 41 s".
std::string DescribeExit(const ExitedProcInfo& info);
