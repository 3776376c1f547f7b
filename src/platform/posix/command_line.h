// Turning a Windows command line into an argument vector.
#pragma once

#include <string>
#include <vector>

namespace kestravo::posix {

// Splits argument text as the Microsoft C runtime (2008 and later) splits it for main():
// blanks (space, tab) separate; double quotes group; 2n backslashes before a quote give n
// backslashes and the quote delimits, 2n+1 give n backslashes and a literal quote; other
// backslashes are literal; "" inside quotes is a literal quote. Pure; never fails.
std::vector<std::string> SplitArguments(const std::string& text);

// The argument vector a Windows program's C runtime makes of its whole command line: argv[0] is
// the program text (after leading blanks, up to the closing quote when it starts with one, else up
// to the first blank; no backslash rules), the rest as SplitArguments. Only the arguments: the
// program that runs is named apart from the line, never found in it. Pure; never fails.
std::vector<std::string> CommandLineArgv(const std::string& line);

}  // namespace kestravo::posix
