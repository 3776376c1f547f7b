// The identity each child is given: a GUID text, which also names its stop event. The marker that
// carries both in the child's command line is common/child_marker.h.
#pragma once
#include <string>

#include "platform/os.h"

// Writes a new GUID text, "{XXXXXXXX-XXXX-xxxx-XXXX-XXXXXXXXXXXX}" (the third group in lower
// case). False, with *out untouched and the last error set, when the OS cannot make a GUID: a
// GUID is never reused. Any thread.
bool CreateGuidString(std::string* out);

// How a stop event resets. A new child's resets on the wait that takes it (kestravo-run sets it
// again for the program behind it); an adopted child's, made again when the earlier run's is gone,
// stays set, as that child may wait on it from several places.
enum class StopEventReset { kOnWait, kManual };

// Creates the stop event named by a child's GUID text, not signalled, or opens it when it exists
// (*existed is then true; it keeps the kind it was made with). Null on failure, with the last
// error set. The caller owns the handle. Any thread.
HANDLE CreateStopEvent(const std::string& guid, StopEventReset reset, bool* existed);
