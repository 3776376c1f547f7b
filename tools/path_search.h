// Finding a program the way execvp would, for the tools: both look programs up before they start
// them (kestravo-run because only execve may run after fork, kestravo-host to record absolute
// paths in the state file).
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace kestravo_tools {

inline bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The first executable regular file named program in PATH (an empty entry is the working
// directory), or program itself when it has a slash or none is found.
inline std::string SearchPath(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  const char* path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  for (size_t start = 0; start <= dirs.size();) {
    size_t colon = dirs.find(':', start);
    if (colon == std::string::npos) colon = dirs.size();
    std::string dir = dirs.substr(start, colon - start);
    std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + program;
    if (IsExecutableFile(candidate)) return candidate;
    start = colon + 1;
  }
  return program;
}

}  // namespace kestravo_tools
