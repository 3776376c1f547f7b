// Telling whether a running process is the child that a record names, so that a recycled pid
// is never adopted, signalled or killed as if it were ours.
#pragma once
#include <stdint.h>

#include <string>

#include "platform/os.h"

enum class ProcessIdentity {
  kMatches,     // it runs, and its command line ends with the expected text
  kDiffers,     // it runs, but it is another program (its pid was reused), or it rewrote its arguments
  kGone,        // it has ended
  kUnreadable,  // its command line could not be read; the last error tells why
};

// Checks the process behind process, opened from pid with OpenProcess: its command line's last
// argument must end with tail (the child marker with its hpid and GUID). The handle pins the
// process, so a pid reused while the check runs is seen as kGone, never as a match. Any thread.
ProcessIdentity CheckProcessIdentity(HANDLE process, uint32_t pid, const std::string& tail);
