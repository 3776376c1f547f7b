// The identity each child is given: a GUID text, which also names its stop event. The marker that
// carries both in the child's command line is common/child_marker.h.
#pragma once
#include <string>

#include "platform/os.h"

// Writes a new GUID text, "{XXXXXXXX-XXXX-xxxx-XXXX-XXXXXXXXXXXX}" (the third group in lower
// case). False, with *out untouched and the last error set, when the OS cannot make a GUID: a
// GUID is never reused. Any thread.
bool CreateGuidString(std::string* out);

// Creates the stop event named by a child's GUID text, or opens it when it exists (*existed is
// then true; on Windows it keeps the kind it was made with). Manual reset, not signalled: a stop
// once asked for stays asked for, so that every wait on it sees it (a child that waits twice, or
// kestravo-run and the program behind it), until the launcher resets it at the child's next start.
// Null on failure, with the last error set. The caller owns the handle. Any thread.
HANDLE CreateStopEvent(const std::string& guid, bool* existed);
