#include "common/exit_text.h"

#include <stdio.h>

#include "common/signal_names.h"
#include "kestravo.h"

namespace kestravo {

std::string ExitCauseText(int32_t exitCode, int32_t signal, bool coreDumped) {
  if (signal != 0) return "killed by " + SignalText(signal) + (coreDumped ? " (core dumped)" : "");
  char text[48];
  if (static_cast<uint32_t>(exitCode) >= 0xC0000000u) {
    snprintf(text, sizeof text, "exited with code 0x%08X", static_cast<unsigned>(exitCode));
  } else {
    snprintf(text, sizeof text, "exited with code %d", static_cast<int>(exitCode));
  }
  return text;
}

std::string RunTimeText(uint64_t ms) {
  char text[48];
  const unsigned long long n = ms;
  if (n < 9995) {  // 9995 ms and more round to 10.00 s, which reads as "10 s"
    const unsigned long long hundredths = (n + 5) / 10;
    snprintf(text, sizeof text, "%llu.%02llu s", hundredths / 100, hundredths % 100);
  } else {
    snprintf(text, sizeof text, "%llu s", n / 1000 + (n % 1000 >= 500 ? 1 : 0));
  }
  return text;
}

std::string StopCauseText(uint32_t cause, uint64_t causeValue) {
  switch (cause) {
    case KESTRAVO_CAUSE_WATCHDOG:
      return "watchdog (no ping in " + RunTimeText(causeValue) + ")";
    case KESTRAVO_CAUSE_NOT_READY:
      return "not ready after " + RunTimeText(causeValue);
    case KESTRAVO_CAUSE_OUT_OF_MEMORY:
      return causeValue == 0 ? "out of memory" : "out of memory (limit " + SizeText(causeValue) + ")";
    default:
      return "";
  }
}

std::string SizeText(uint64_t bytes) {
  const char* units = "KMG";
  int unit = -1;
  while (unit < 2 && bytes != 0 && bytes % 1024 == 0) {
    bytes /= 1024;
    ++unit;
  }
  return std::to_string(bytes) + (unit < 0 ? "" : std::string(1, units[unit]));
}

std::string ExitText(bool known, int32_t exitCode, int32_t signal, bool coreDumped, uint64_t runMs) {
  std::string text = known ? ExitCauseText(exitCode, signal, coreDumped) : "ended (cause not known)";
  if (runMs != UINT64_MAX) text += " after " + RunTimeText(runMs);
  return text;
}

}  // namespace kestravo
