// How a process ended, in the words of the library's log, kestravo-host and kestravo-run alike:
// "exited with code 3 after 0.21 s", "killed by SIGSEGV (core dumped) after 41 s".
#pragma once

#include <stdint.h>

#include <string>

namespace kestravo {

// The cause: "exited with code 3", "exited with code 0xC0000005" (Windows crash statuses, from
// 0xC0000000 up, in hex), "killed by SIGSEGV", "killed by signal 40", with " (core dumped)" after
// a signal that left a core. A signal other than 0 wins over the code.
std::string ExitCauseText(int32_t exitCode, int32_t signal, bool coreDumped);

// A run time as a person reads it, rounded: to the hundredth under ten seconds ("1.02 s" for
// 1015 ms), to the second from there on ("41 s").
std::string RunTimeText(uint64_t ms);

// Why the library or the system ended the process, where it was neither its own doing nor a plain
// signal: "watchdog (no ping in 10 s)", "not ready after 30 s", "out of memory (limit 256M)" (the
// limit left out when causeValue is 0). Empty for the other causes of kestravo.h.
std::string StopCauseText(uint32_t cause, uint64_t causeValue);

// A byte count as the size options take it: "256M", "1G", "512K", or plain bytes.
std::string SizeText(uint64_t bytes);

// The whole line: the cause, or "ended (cause not known)" when known is false, then " after " and
// the run time, which is left out when runMs is UINT64_MAX (not known either).
std::string ExitText(bool known, int32_t exitCode, int32_t signal, bool coreDumped, uint64_t runMs);

}  // namespace kestravo
