// The name of a child's notify channel on Windows, shared by the child's send and the library's
// set. Windows only.
#pragma once

#include <string>

namespace kestravo::win32 {

// "\\.\pipe\kestravo-nt-<guid>" into *name; false for a null or empty guid, one over 64
// characters, or one with a path separator.
bool NotifyPipeName(const char* guid, std::string* name);

}  // namespace kestravo::win32
