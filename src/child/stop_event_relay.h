// For kestravo-run only, which is built from the child helper's objects: the stop event opened so
// that it can be set again for the program behind the adapter. Not exported from the helper's
// shared library.
#pragma once

namespace kestravo::child {

// Opens the stop event named by guid with the right to wait on it and, where the system grants
// it, to set it. Null when there is none or it cannot be opened. Close it with
// KESTRAVO_ChildCloseStopEvent; wait on it with KESTRAVO_ChildWaitStop.
void* OpenStopEventToPassOn(const char* guid) noexcept;

// Sets the event again, so that a program that waits on it itself sees the stop that this
// process took. False when it cannot be set (an event opened for waiting only, a damaged one).
bool SetStopEventAgain(void* stopEvent) noexcept;

}  // namespace kestravo::child
