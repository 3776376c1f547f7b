// This process's command line as /proc/self/cmdline holds it, for the child helper.
#pragma once

#include <cstddef>

namespace kestravo::posix {

// Makes arguments as /proc/self/cmdline holds them (each ended by a NUL) one text: blanks between
// them, the trailing NULs left as the text's end.
void JoinArguments(char* text, size_t size);

// Reads this process's arguments, joined as above and NUL-terminated, into text with raw calls:
// no stdio and no heap. False when they cannot be read or do not fit in size bytes.
bool ReadOwnCommandLine(char* text, size_t size);

}  // namespace kestravo::posix
