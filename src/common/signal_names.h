// Signal names as people write them, with Linux's numbers on every system, so that a stop signal
// or an exit reads and means the same under kestravo-host, kestravo-run and the library's log on
// Linux and on Windows.
#pragma once

#include <stdint.h>

#include <string>

namespace kestravo {

// The highest signal number a stop signal may give (Linux's last real-time signal).
inline constexpr int kHighestSignal = 64;

// A standard signal's name without "SIG" ("SEGV" for 11); null for 0, the real-time signals and
// any number without a name of its own.
const char* SignalAbbrev(int32_t signal);

// "SIGSEGV", or "signal 40" for a number without a name.
std::string SignalText(int32_t signal);

// A stop signal as kestravo-run and the programs file take it: one of TERM, INT, HUP, QUIT, USR1,
// USR2 and KILL, with or without "SIG"; a number from 1 to kHighestSignal; or "none" or "0",
// which give 0 (no signal). False, *signal untouched, for anything else.
bool ParseStopSignal(const std::string& text, int* signal);

}  // namespace kestravo
