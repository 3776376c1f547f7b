#include "path_search.h"

#include <errno.h>
#include <limits.h>
#include <string.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestravo_tools {

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string WhyNotRunnable(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return strerror(errno);
  if (S_ISDIR(st.st_mode)) return strerror(EISDIR);
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  return access(path.c_str(), X_OK) == 0 ? "" : strerror(errno);
}

bool HasDirectory(const std::string& program) { return program.find('/') != std::string::npos; }

std::string FindProgram(const std::string& program) {
  if (HasDirectory(program)) return program;
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

std::string AbsolutePath(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return path;
  std::string prefix(cwd);
  std::string rest = path.compare(0, 2, "./") == 0 ? path.substr(2) : path;
  return prefix == "/" ? "/" + rest : prefix + "/" + rest;
}

std::string FileName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

}  // namespace kestravo_tools
