#include "path_search.h"

#include <windows.h>

namespace kestravo_tools {

bool IsExecutableFile(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string WhyNotRunnable(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return "No such file or directory";
  return attributes & FILE_ATTRIBUTE_DIRECTORY ? "Is a directory" : "";
}

bool HasDirectory(const std::string& program) { return program.find_first_of("/\\:") != std::string::npos; }

std::string FindProgram(const std::string& program) {
  if (HasDirectory(program)) return program;
  char found[MAX_PATH];
  DWORD n = SearchPathA(nullptr, program.c_str(), ".exe", sizeof found, found, nullptr);
  if (n == 0 || n >= sizeof found || !IsExecutableFile(found)) return program;
  return std::string(found, n);
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty()) return path;
  char full[MAX_PATH];
  DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  return n == 0 || n >= sizeof full ? path : std::string(full, n);
}

std::string FileName(const std::string& path) { return path.substr(path.find_last_of("/\\:") + 1); }

}  // namespace kestravo_tools
