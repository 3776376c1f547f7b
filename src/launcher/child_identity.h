// The identity each child is given: a GUID text, which also names its stop event, and the marker
// with its hpid and GUID at the end of its command line.
#pragma once
#include <string>

#include "manager/managed_process.h"

// The marker in front of the child's identity: "<caller's text>kestravCmdLine:;pid=7;guid={...}".
#define KESTRAVO_CHILD_MARKER "kestravCmdLine:;"

// Writes a new GUID text, "{XXXXXXXX-XXXX-xxxx-XXXX-XXXXXXXXXXXX}" (the third group in lower
// case). False, with *out untouched and the last error set, when the OS cannot make a GUID: a
// GUID is never reused. Any thread.
bool CreateGuidString(std::string* out);

// The caller's command line followed directly by the marker, "pid=" and the record's hpid, ";",
// "guid=" and the record's guid.
std::string BuildChildCmdLine(const ManagedProcess& process, const std::string& cmdLine);
