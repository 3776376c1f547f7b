// Finding a program the way the system's own program search would, for the tools: both look
// programs up before they start them (kestravo-run because only execve may run after fork,
// kestravo-host to record absolute paths in the state file). One implementation per system:
// path_search_posix.cpp, path_search_win32.cpp.
#pragma once

#include <string>

namespace kestravo_tools {

// A regular file that this user may run (on Windows: any file that is not a directory).
bool IsExecutableFile(const std::string& path);

// Why path cannot be run, as the system words it ("No such file or directory"); empty when it
// is a file that this user may run.
std::string WhyNotRunnable(const std::string& path);

// Whether a program name names a directory too, and is not looked up in PATH.
bool HasDirectory(const std::string& program);

// The first executable regular file named program in PATH (an empty entry is the working
// directory), or program itself when it has a directory or none is found. On Windows the
// system's search order, with ".exe" added to a name without an extension.
std::string FindProgram(const std::string& program);

// path made absolute against the working directory; path itself when that fails.
std::string AbsolutePath(const std::string& path);

// The file name of a path, without its directory.
std::string FileName(const std::string& path);

}  // namespace kestravo_tools
