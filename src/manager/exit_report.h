// How a managed child ended: the data of MSG_EXITED.
#pragma once
#include <stdint.h>

#include <chrono>

#include "kestravo.h"
#include "platform/os.h"

// For the ended process behind process (pid): how it ended, as far as the system can tell, and
// how long it ran since startedAt (its start, or its adoption), up to now.
ExitedProcInfo MakeExitedProcInfo(HANDLE process, uint32_t pid, std::chrono::steady_clock::time_point startedAt);
