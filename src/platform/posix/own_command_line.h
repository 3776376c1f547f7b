// This process's command line as /proc/self/cmdline holds it, for the child helper: the arguments
// joined by single blanks, the trailing NULs left as the text's end.
#pragma once

#include <cstddef>
#include <string>

namespace kestravo::posix {

// Reads the joined arguments, NUL-terminated, into text with raw calls: no stdio and no heap.
// False when they cannot be read or do not fit in size bytes.
bool ReadOwnCommandLine(char* text, size_t size);

// The same, of any length, into *line. False when they cannot be read.
bool ReadOwnCommandLine(std::string* line);

}  // namespace kestravo::posix
