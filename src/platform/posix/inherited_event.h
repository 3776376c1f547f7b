// A named event handed down as a descriptor, for a program that runs as another user than the
// process that made the event: the event is owner-only, so that program cannot open it by name.
// Its parent (kestravo-run, still root) opens it before the switch and leaves the program a
// descriptor, named in an environment variable; the child helper takes the event from there.
// A descriptor rather than a looser mode or another owner: the event stays out of reach of every
// other process of that user, and of the user itself once the program ends.
#pragma once

#include "win32.h"

namespace kestravo::posix {

// The variable that carries the descriptor's number, in decimal.
constexpr char kStopEventFdVariable[] = "KESTRAVO_STOP_FD";

// A new descriptor of the named event behind event that survives exec (no close-on-exec). It
// shares the caller's open of the event, and with it the caller's hold. -1 with the last error
// set: ERROR_INVALID_HANDLE for a handle that is not a named event. Any thread.
int InheritableEventDescriptor(HANDLE event);

// The event of that name through the descriptor that fdText names, once the descriptor is seen
// to be that very event: the file under the name now, by device and inode, opened for reading
// and writing, owner-only, of root or of this user, with the event's header. Each call gives a
// handle of its own; closing it neither unlinks nor unlocks anything. Null with the last error
// set (ERROR_INVALID_HANDLE) otherwise. Any thread.
HANDLE OpenInheritedEvent(const char* fdText, const char* name);

}  // namespace kestravo::posix
