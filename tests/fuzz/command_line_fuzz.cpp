// The command-line splitters take any text, and every argument the quoting makes of the input's
// bytes splits back into itself, whichever of the two (the launcher's or the tools') reads it.
#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);

  // The input's bytes as arguments themselves, cut at NULs.
  std::vector<std::string> made(1);
  for (char c : line) {
    if (c == '\0') made.emplace_back();
    else made.back().push_back(c);
  }
  std::string joined;
  for (const std::string& arg : made) joined += " " + kestravo::QuoteArgument(arg);
  if (kestravo::SplitArguments(joined) != made) abort();
  // Behind a program name, as the launcher reads a whole line.
  std::vector<std::string> withProgram = kestravo::CommandLineArgv("prog" + joined);
  if (withProgram.size() != made.size() + 1 || !std::equal(made.begin(), made.end(), withProgram.begin() + 1))
    abort();

  // The program text is the line's start, inside quotes or up to a blank.
  std::vector<std::string> argv = kestravo::CommandLineArgv(line);
  size_t start = line.find_first_not_of(" \t");
  bool quoted = start != std::string::npos && line[start] == '"';
  if (argv.empty() || argv[0].find_first_of(quoted ? "\"" : " \t") != std::string::npos) abort();
  return 0;
}
