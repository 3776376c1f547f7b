// The command-line splitters take any text. Arguments quoted by the usual
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

  // The program text is the line's start, inside quotes or up to a blank.
  std::vector<std::string> argv = kestravo::posix::CommandLineArgv(line);
  size_t start = line.find_first_not_of(" \t");
  bool quoted = start != std::string::npos && line[start] == '"';
  if (argv.empty() || argv[0].find_first_of(quoted ? "\"" : " \t") != std::string::npos) abort();
  return 0;
}
