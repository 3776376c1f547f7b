// A child's own opens of its stop event: kept in a few fixed slots rather than in the handle
// table, so that a child that opens and waits on its stop event first thing needs neither the
// heap nor most of the C++ runtime for it. A new process pays for each first use of those.
#pragma once

#include <cstdint>

#include "win32.h"

namespace kestravo::posix {

// Opens the existing event of that name into a free slot, with the checks and errors of
// OpenEventA. Null with the last error; null with *noSlot set when every slot is taken (the
// caller opens a handle instead). Any thread.
void* OpenChildStopEvent(const char* name, bool* noSlot);

// True for what OpenChildStopEvent returned and has not been closed; false for anything else, a
// HANDLE included. Reads nothing through the pointer.
bool IsChildStopEvent(const void* event);

// As WaitForSingleObject on the event: WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED with the last
// error (a file damaged by another process).
DWORD WaitChildStopEvent(void* event, uint32_t timeoutMs);

// Closes it and frees its slot; the last holder of the event removes its name.
void CloseChildStopEvent(void* event);

}  // namespace kestravo::posix
