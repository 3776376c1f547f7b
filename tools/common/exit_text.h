// How a process ended, in the words the tools print: "exited with code 3 after 0.21 s",
// "killed by SIGSEGV (core dumped) after 41 s".
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>

namespace kestravo_tools {

// A run time as a person reads it: hundredths under ten seconds, whole seconds above.
inline std::string RunTimeText(uint64_t ms) {
  char text[48];
  if (ms < 10000) {
    snprintf(text, sizeof text, "%.2f s", static_cast<double>(ms) / 1000);
  } else {
    snprintf(text, sizeof text, "%llu s", static_cast<unsigned long long>((ms + 500) / 1000));
  }
  return text;
}

// signalName: the signal's name ("SIGSEGV"), used when signal is not 0. Windows crash statuses
// (0xC0000005 and the like) read better in hexadecimal.
inline std::string ExitText(int32_t exitCode, int32_t signal, bool coreDumped, const std::string& signalName) {
  char text[96];
  if (signal != 0) {
    snprintf(text, sizeof text, "killed by %s%s", signalName.c_str(), coreDumped ? " (core dumped)" : "");
  } else if (static_cast<uint32_t>(exitCode) >= 0xC0000000u) {
    snprintf(text, sizeof text, "exited with code 0x%08X", static_cast<unsigned>(exitCode));
  } else {
    snprintf(text, sizeof text, "exited with code %d", static_cast<int>(exitCode));
  }
  return text;
}

}  // namespace kestravo_tools
