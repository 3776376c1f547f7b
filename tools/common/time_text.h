// A time as people write it in options and the programs file: "30s", "500ms", "2m", "1h" or a
// number of seconds ("1.5"). False for anything else, for less than a millisecond or for more
// than maxMs.
#pragma once

#include <stdint.h>
#include <stdlib.h>

#include <cmath>
#include <string>

namespace kestravo_tools {

inline bool ParseTime(const std::string& text, uint64_t maxMs, uint64_t* ms) {
  if (text.empty() || !((text[0] >= '0' && text[0] <= '9') || text[0] == '.')) return false;
  char* end = nullptr;
  double value = strtod(text.c_str(), &end);
  const std::string unit = end;
  double scale = unit.empty() || unit == "s" ? 1000 : unit == "ms" ? 1 : unit == "m" ? 60000 : unit == "h" ? 3600000 : 0;
  if (scale == 0 || !std::isfinite(value) || value * scale < 1 || value * scale > static_cast<double>(maxMs)) return false;
  *ms = static_cast<uint64_t>(value * scale + 0.5);
  return true;
}

}  // namespace kestravo_tools
