// A size as people write it in options and the programs file: "10M", "512K", "1G" or "4096"
// (bytes). False for anything else, or for a size past 64 bits.
#pragma once

#include <stdint.h>
#include <stdlib.h>

#include <string>

namespace kestravo_tools {

inline bool ParseSize(const std::string& text, uint64_t* bytes) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  unsigned long long value = strtoull(text.c_str(), &end, 10);
  uint64_t unit = 1;
  std::string suffix = end;
  if (suffix == "K" || suffix == "k" || suffix == "KiB") unit = 1024;
  else if (suffix == "M" || suffix == "MiB") unit = 1024 * 1024;
  else if (suffix == "G" || suffix == "GiB") unit = 1024ull * 1024 * 1024;
  else if (!suffix.empty()) return false;
  if (value > UINT64_MAX / unit) return false;
  *bytes = value * unit;
  return true;
}

}  // namespace kestravo_tools
