// Opening a file that a tool appends to or reads (a program's output, the library's log) so that
// a file planted by another user cannot redirect or stall it. POSIX only: own_file_posix.cpp.
#pragma once

#include <stdint.h>

#include <string>

namespace kestravo_tools {

// Opens path for appending, creating it owner-only: never through a symbolic link, never waiting
// on a FIFO, and only a regular file of this user that no one else may write. The descriptor
// (blocking, close-on-exec) with *size the file's size; -1 with *error saying why. With owner
// set (a program's output, the program run as another user), a file of owner is taken as well,
// and the file is handed to owner and group (-1: unchanged), still owner-only.
int OpenOwnFileForAppend(const std::string& path, uint64_t* size, std::string* error, int64_t owner = -1,
                         int64_t group = -1);

// Opens path for reading the same way: never through a symbolic link, never waiting on a FIFO,
// and only a regular file of this user with one link (a file of someone else's choosing, such as
// a root-only file linked in by a program run as another user, is not read). The descriptor
// (blocking, close-on-exec); -1 with *error saying why. With owner set, a file of owner is taken
// as well.
int OpenOwnFileForReading(const std::string& path, std::string* error, int64_t owner = -1);

}  // namespace kestravo_tools
