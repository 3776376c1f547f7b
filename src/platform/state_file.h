// Replacing a small file as a whole, so that a process killed at any moment leaves either the
// old file or the new one, never a torn one.
#pragma once
#include <string>

// Writes contents to an unnamed file in path's directory, with owner-only permissions, and
// renames it over path. False (nothing changed, nothing left behind but in a crash between the
// last two steps, a "<path>.<pid>.<n>.tmp") when any step fails; errno tells why. No fsync: the
// file must survive the host's crash, not the machine's. Thread-safe.
bool ReplaceFileContents(const std::string& path, const std::string& contents);
