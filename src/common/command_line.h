// One command line from arguments and back, by the rules of the Microsoft C runtime (2008 and
// later), which the launcher follows on every system and the tools follow on both: blanks (space,
// tab) separate; double quotes group; 2n backslashes before a quote give n backslashes and the
// quote delimits, 2n+1 give n backslashes and a literal quote; other backslashes are literal;
// "" inside quotes is a literal quote. Pure text, no system calls: fuzzed, and built for Windows.
#pragma once

#include <string>
#include <vector>

namespace kestravo {

// The argument as one word of a command line: unchanged when it needs no quotes, else quoted
// with backslashes doubled only before a quote. SplitArguments gives it back. Pure; never fails.
std::string QuoteArgument(const std::string& argument);

// The arguments of a command line that holds no program name. Pure; never fails.
std::vector<std::string> SplitArguments(const std::string& text);

// The argument vector a Windows program's C runtime makes of its whole command line: argv[0] is
// the program text (after leading blanks, up to the closing quote when it starts with one, else up
// to the first blank; no backslash rules), the rest as SplitArguments. Only the arguments: the
// program that runs is named apart from the line, never found in it. Pure; never fails.
std::vector<std::string> CommandLineArgv(const std::string& line);

}  // namespace kestravo
