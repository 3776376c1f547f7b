#include "common/command_line.h"

#include <algorithm>

namespace kestravo {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::string QuoteArgument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, '\\');  // before the closing quote
  return out + "\"";
}

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

std::vector<std::string> CommandLineArgv(const std::string& line) {
  size_t start = 0;
  while (start < line.size() && IsBlank(line[start])) ++start;
  // The program text knows no backslash rules: up to the closing quote, or to the first blank.
  size_t end, rest;
  if (start < line.size() && line[start] == '"') {
    ++start;
    end = std::min(line.find('"', start), line.size());
    rest = end == line.size() ? end : end + 1;
  } else {
    end = start;
    while (end < line.size() && !IsBlank(line[end])) ++end;
    rest = end;
  }
  std::vector<std::string> argv = SplitArguments(line.substr(rest));
  argv.insert(argv.begin(), line.substr(start, end - start));
  return argv;
}

}  // namespace kestravo
