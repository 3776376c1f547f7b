#pragma once

#include <cstdlib>
#include <string>

namespace kestravo {

// Where the environment puts kestravo.xml: KESTRAVO_STATE_DIR when set and not empty, else the
// first entry of systemd's STATE_DIRECTORY (a colon-separated list). Empty when neither is set.
// *variable names the variable used, nullptr when none. Header-only so that kestravo-host, which
// loads the library at run time, chooses exactly as the library does.
inline std::string StateDirFromEnvironment(const char** variable) {
  const char* own = std::getenv("KESTRAVO_STATE_DIR");
  const char* systemd = std::getenv("STATE_DIRECTORY");
  *variable = nullptr;
  if (own != nullptr && *own != '\0') {
    *variable = "KESTRAVO_STATE_DIR";
    return own;
  }
  if (systemd == nullptr || *systemd == '\0' || *systemd == ':') return "";
  *variable = "STATE_DIRECTORY";
  std::string dir = systemd;
  return dir.substr(0, dir.find(':'));
}

}  // namespace kestravo
