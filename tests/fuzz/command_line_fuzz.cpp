// The command-line splitter and the program finder take any text. Arguments quoted by the usual
// rules for the Microsoft runtime split back into themselves.
#include <stddef.h>
#include <stdint.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/posix/command_line.h"

namespace {

using kestravo::posix::SplitArguments;

// One argument, quoted when it needs to be: backslashes are doubled only before a quote.
std::string Quote(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
  std::string out = "\"";
  for (size_t i = 0;; ++i) {
    size_t backslashes = 0;
    while (i < arg.size() && arg[i] == '\\') {
      ++backslashes;
      ++i;
    }
    if (i == arg.size()) {
      out.append(backslashes * 2, '\\');
      break;
    }
    if (arg[i] == '"') {
      out.append(backslashes * 2 + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    out.push_back(arg[i]);
  }
  return out + "\"";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);

  std::vector<std::string> args = SplitArguments(line);
  size_t total = 0;
  for (const std::string& arg : args) total += arg.size();
  if (total > line.size()) abort();  // splitting only ever drops characters

  // The input's bytes as arguments themselves, cut at NULs and the byte 0x01.
  std::vector<std::string> made(1);
  for (char c : line) {
    if (c == '\0' || c == '\x01') {
      made.emplace_back();
    } else {
      made.back().push_back(c);
    }
  }
  std::string joined;
  for (const std::string& arg : made) joined += (joined.empty() ? "" : " ") + Quote(arg);
  if (SplitArguments(joined) != made) abort();

  // A file system where a path is a regular file when its length is odd.
  auto probe = [](const std::string& path) { return path.size() % 2 == 1 ? 0 : 2; };
  kestravo::posix::CommandLine parsed;
  if (kestravo::posix::ParseCommandLine(line, probe, &parsed) == ERROR_SUCCESS) {
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) abort();
    if (line[start] == '"') {
      if (line.compare(start + 1, parsed.program.size(), parsed.program) != 0) abort();
    } else {
      // The program is the shortest blank-delimited prefix the probe accepts, and the rest splits.
      if (line.compare(start, parsed.program.size(), parsed.program) != 0 || probe(parsed.program) != 0) abort();
      if (parsed.args != SplitArguments(line.substr(start + parsed.program.size()))) abort();
    }
  }
  return 0;
}
