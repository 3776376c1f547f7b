// The command-line splitter and the program finder take any text. Arguments quoted by the usual
// rules for the Microsoft runtime split back into themselves.
#include <stddef.h>
#include <stdint.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/posix/command_line.h"

using kestravo::posix::SplitArguments;

// One argument, quoted: backslashes are doubled only before a quote, the closing one included.
static std::string Quote(const std::string& arg) {
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '"') out.append(backslashes + 1, '\\');
    backslashes = c == '\\' ? backslashes + 1 : 0;
    out.push_back(c);
  }
  return out.append(backslashes, '\\') + "\"";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);

  // The input's bytes as arguments themselves, cut at NULs.
  std::vector<std::string> made(1);
  for (char c : line) {
    if (c == '\0') made.emplace_back();
    else made.back().push_back(c);
  }
  std::string joined;
  for (const std::string& arg : made) joined += " " + Quote(arg);
  if (SplitArguments(joined) != made) abort();

  // A file system where a path is a regular file when its length is odd.
  auto probe = [](const std::string& path) { return path.size() % 2 == 1 ? 0 : 2; };
  kestravo::posix::CommandLine parsed;
  if (kestravo::posix::ParseCommandLine(line, probe, &parsed) != ERROR_SUCCESS) return 0;
  size_t start = line.find_first_not_of(" \t");
  if (start == std::string::npos) abort();
  if (line[start] == '"') {
    if (line.compare(start + 1, parsed.program.size(), parsed.program) != 0) abort();
  } else if (line.compare(start, parsed.program.size(), parsed.program) != 0 || probe(parsed.program) != 0 ||
             parsed.args != SplitArguments(line.substr(start + parsed.program.size()))) {
    abort();  // the program is a blank-delimited prefix the probe accepts, and the rest splits
  }
  return 0;
}
