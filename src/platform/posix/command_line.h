// Turning a Windows command line into a program path and an argument vector.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "win32.h"

namespace kestravo::posix {

// Splits argument text as the Microsoft C runtime (2008 and later) splits it for main():
// blanks (space, tab) separate; double quotes group; 2n backslashes before a quote give n
// backslashes and the quote delimits, 2n+1 give n backslashes and a literal quote; other
// backslashes are literal; "" inside quotes is a literal quote. Pure; never fails.
std::vector<std::string> SplitArguments(const std::string& text);

// What a path names: 0 for a regular file (symbolic links followed), EACCES for something that
// exists but is not a regular file, otherwise the errno that stat() gave.
using PathProbe = std::function<int(const std::string& path)>;

// ProbePath over stat(); relative paths are relative to the working directory.
int ProbePath(const std::string& path);

struct CommandLine {
  std::string program;             // also argv[0]
  std::vector<std::string> args;   // after the program
};

// Finds the program as Windows does when no application name is given: the quoted start of
// the line (up to the closing quote, or the end), or else the shortest blank-delimited prefix
// that the probe calls a regular file. There is no PATH search. The rest of the line is split
// with SplitArguments. Leading blanks are skipped.
// Returns ERROR_SUCCESS and fills *out, or the Windows error for the first token when no
// prefix is a regular file (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED...),
// or ERROR_INVALID_PARAMETER for a line with nothing in it. Touches the file system only
// through the probe.
DWORD ParseCommandLine(const std::string& line, const PathProbe& probe, CommandLine* out);

}  // namespace kestravo::posix
