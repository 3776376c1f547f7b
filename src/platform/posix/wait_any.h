// One wait for "an event, any of these processes, or a time-out".
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "win32.h"

namespace kestravo::posix {

// Waits until event (may be NULL) is set, any of the count processes has ended, or ms pass
// (INFINITE for no limit). ended[i] is set to 1 for every process found ended, 0 for the others,
// so that processes that end together are all seen in one call. An automatic-reset event is
// taken; a manual-reset one stays set. WAIT_OBJECT_0 when something happened, WAIT_TIMEOUT, or
// WAIT_FAILED with the last error set (a bad handle, a null array with count > 0). Handles that
// cannot be polled (no descriptor to be had) are looked at every 10 ms instead.
DWORD WaitForEventOrProcesses(HANDLE event, const HANDLE* processes, size_t count, DWORD ms,
                              uint8_t* ended);

}  // namespace kestravo::posix
