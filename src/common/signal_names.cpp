#include "common/signal_names.h"

#include <cstdlib>

namespace kestravo {

namespace {

struct NamedSignal {
  const char* name;  // without "SIG"
  bool stop;         // a stop signal may be given by this name
};

// Index: Linux's number (x86-64 and arm64 alike).
constexpr NamedSignal kSignals[] = {
    {nullptr, false}, {"HUP", true},     {"INT", true},   {"QUIT", true},    {"ILL", false},  {"TRAP", false},
    {"ABRT", false},  {"BUS", false},    {"FPE", false},  {"KILL", true},    {"USR1", true},  {"SEGV", false},
    {"USR2", true},   {"PIPE", false},   {"ALRM", false}, {"TERM", true},    {"STKFLT", false}, {"CHLD", false},
    {"CONT", false},  {"STOP", false},   {"TSTP", false}, {"TTIN", false},   {"TTOU", false}, {"URG", false},
    {"XCPU", false},  {"XFSZ", false},   {"VTALRM", false}, {"PROF", false}, {"WINCH", false}, {"POLL", false},
    {"PWR", false},   {"SYS", false},
};
constexpr int kNamedCount = static_cast<int>(sizeof kSignals / sizeof kSignals[0]);

}  // namespace

const char* SignalAbbrev(int32_t signal) { return signal > 0 && signal < kNamedCount ? kSignals[signal].name : nullptr; }

std::string SignalText(int32_t signal) {
  const char* name = SignalAbbrev(signal);
  return name != nullptr ? std::string("SIG") + name : "signal " + std::to_string(signal);
}

bool ParseStopSignal(const std::string& text, int* signal) {
  if (text == "none" || text == "0") {
    *signal = 0;
    return true;
  }
  const std::string name = text.compare(0, 3, "SIG") == 0 ? text.substr(3) : text;
  for (int number = 1; number < kNamedCount; ++number) {
    if (kSignals[number].stop && name == kSignals[number].name) {
      *signal = number;
      return true;
    }
  }
  char* end = nullptr;
  long number = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || number < 1 || number > kHighestSignal) return false;
  *signal = static_cast<int>(number);
  return true;
}

}  // namespace kestravo
