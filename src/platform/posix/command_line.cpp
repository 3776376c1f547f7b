#include "command_line.h"

#include <sys/stat.h>

#include <cerrno>

#include "last_error.h"

namespace kestravo::posix {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::vector<std::string> SplitArguments(const std::string& text) {
  std::vector<std::string> args;
  size_t i = 0;
  const size_t n = text.size();
  for (;;) {
    while (i < n && IsBlank(text[i])) ++i;
    if (i == n) break;
    std::string arg;
    bool inQuotes = false;
    while (i < n) {
      size_t backslashes = 0;
      while (i < n && text[i] == '\\') {
        ++backslashes;
        ++i;
      }
      if (i < n && text[i] == '"') {
        arg.append(backslashes / 2, '\\');
        if (backslashes % 2 == 1) {
          arg += '"';
          ++i;
        } else if (inQuotes && i + 1 < n && text[i + 1] == '"') {
          arg += '"';  // "" inside quotes: a literal quote, still quoted
          i += 2;
        } else {
          inQuotes = !inQuotes;
          ++i;
        }
        continue;
      }
      arg.append(backslashes, '\\');
      if (i == n || (!inQuotes && IsBlank(text[i]))) break;
      arg += text[i++];
    }
    args.push_back(std::move(arg));
  }
  return args;
}

int ProbePath(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return errno;
  return S_ISREG(st.st_mode) ? 0 : EACCES;
}

DWORD ParseCommandLine(const std::string& line, const PathProbe& probe, CommandLine* out) {
  size_t start = 0;
  while (start < line.size() && IsBlank(line[start])) ++start;
  if (start == line.size()) return ERROR_INVALID_PARAMETER;

  size_t rest = 0;  // where the arguments begin
  if (line[start] == '"') {
    size_t close = line.find('"', start + 1);
    size_t end = close == std::string::npos ? line.size() : close;
    out->program = line.substr(start + 1, end - start - 1);
    if (out->program.empty()) return ERROR_FILE_NOT_FOUND;
    rest = close == std::string::npos ? line.size() : close + 1;
  } else {
    // Each end of a blank-delimited token is a candidate, shortest first.
    size_t firstEnd = std::string::npos;
    bool found = false;
    for (size_t i = start; i <= line.size(); ++i) {
      bool tokenEnd = (i == line.size() || IsBlank(line[i])) && !IsBlank(line[i - 1]);
      if (!tokenEnd) continue;
      if (firstEnd == std::string::npos) firstEnd = i;
      if (probe(line.substr(start, i - start)) == 0) {
        out->program = line.substr(start, i - start);
        rest = i;
        found = true;
        break;
      }
    }
    if (!found) {
      // The error names the first token, as Windows reports for an unquoted program.
      int err = probe(line.substr(start, firstEnd - start));
      if (err == 0) err = ENOENT;  // it appeared just now; report the search as it was
      return WindowsErrorFromErrno(err);
    }
  }
  out->args = SplitArguments(line.substr(rest));
  return ERROR_SUCCESS;
}

}  // namespace kestravo::posix
