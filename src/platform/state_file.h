// Replacing a small file as a whole, so that a process killed at any moment leaves either the
// old file or the new one, never a torn one; and telling whether a path can be read as a file.
#pragma once
#include <string>

// Writes contents to an unnamed file in path's directory, with owner-only permissions, and
// renames it over path. False (nothing changed, nothing left behind but in a crash between the
// last two steps, a "<path>.<pid>.<n>.tmp") when any step fails; errno tells why. No fsync: the
// file must survive the host's crash, not the machine's. Thread-safe.
bool ReplaceFileContents(const std::string& path, const std::string& contents);

// True when path names something other than a regular file (a directory, a FIFO, a device).
// Reading one as a file blocks (a FIFO without a writer) or asks for a buffer as big as the size
// the file system reports (a directory). False for a regular file and for nothing at all.
bool IsNonRegularFile(const std::string& path);

// Removes the "<path>.<pid>.<n>.tmp" files that ReplaceFileContents left behind when its process
// was killed between naming the new file and the rename: those whose writer no longer runs.
// Best effort; errors are ignored.
void RemoveStaleTempFiles(const std::string& path);
