#include "launcher/path_util.h"

#include "platform/zol_runtime.h"

namespace {

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Deletes `count` characters at every occurrence of `pattern`, each search starting where the
// previous one matched, so overlapping runs collapse too.
void DeleteRepeatedly(std::string& text, const char* pattern, size_t count) {
  size_t at = 0;
  while ((at = text.find(pattern, at)) != std::string::npos) text.erase(at, count);
}

}  // namespace

std::string NormalizePath(const char* path) {
  if (path == nullptr) return std::string();
  std::string text(path);

  size_t start = 0;
  if (text.compare(0, 2, "\\\\") == 0) {
    size_t next = text.find('\\', 2);
    start = next == std::string::npos ? text.size() : next + 1;
  }
  for (size_t i = start; i < text.size(); ++i) {
    if (text[i] == '\\') text[i] = '/';
  }

  DeleteRepeatedly(text, "//", 1);
  DeleteRepeatedly(text, "/./", 2);
  if (text.compare(0, 2, "./") == 0) text.erase(0, 2);

  if (text == "/." || (text.size() == 4 && IsAsciiLetter(text[0]) && text.compare(1, 3, ":/.") == 0)) {
    text.pop_back();
    return text;
  }
  if (text.size() >= 2 && text.compare(text.size() - 2, 2, "/.") == 0) text.erase(text.size() - 2);
  if (text == "/" || (text.size() == 3 && IsAsciiLetter(text[0]) && text.compare(1, 2, ":/") == 0)) {
    return text;
  }
  if (!text.empty() && text.back() == '/') text.pop_back();
  return text;
}

std::string GetFileName(const std::string& path) {
  std::string normalised = NormalizePath(path.c_str());
  size_t slash = normalised.rfind('/');
  return slash == std::string::npos ? normalised : normalised.substr(slash + 1);
}

bool IsFileAccessible(const std::string& path) { return ZOL_AccessFile(path.c_str(), 0) == 0; }
