// Opening a file that a tool appends to or reads (a program's output, the library's log) so that
// a file planted by another user cannot redirect or stall it. POSIX only: own_file_posix.cpp.
#pragma once

#include <stdint.h>

#include <string>

namespace kestravo_tools {

// Opens path for appending, creating it owner-only: never through a symbolic link, never waiting
// on a FIFO, and only a regular file of this user that no one else may write. The descriptor
// (blocking, close-on-exec) with *size the file's size; -1 with *error saying why.
int OpenOwnFileForAppend(const std::string& path, uint64_t* size, std::string* error);

// Opens path for reading the same way: never through a symbolic link, never waiting on a FIFO,
// and only a regular file of this user with one link (a file of someone else's choosing, such as
// a root-only file linked in by a program run as another user, is not read). The descriptor
// (blocking, close-on-exec); -1 with *error saying why.
int OpenOwnFileForReading(const std::string& path, std::string* error);

}  // namespace kestravo_tools
