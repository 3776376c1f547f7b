// The thread-local last error and the errno-to-Windows mapping.
#pragma once

#include "win32.h"

namespace kestravo::posix {

// The Windows code that stands for an errno value (ERROR_GEN_FAILURE when none fits).
DWORD WindowsErrorFromErrno(int err);

// Sets the last error from errno and returns false, the usual tail of a failing call.
bool FailWithErrno(int err);

// Sets the last error and returns false.
bool Fail(DWORD error);

}  // namespace kestravo::posix
