// Small path functions: normalising a path, its file name, and whether a file can be reached.
// Pure functions of their arguments (IsFileAccessible asks the file system); thread-safe.
#pragma once
#include <string>

// Backslashes become '/', runs of '/' one '/', "/./" and a leading "./" go, and a trailing '/'
// or "/." is dropped except at a root ("/", "C:/"). The server part of a "\\server\..." path
// keeps its backslashes. ".." is left alone. Null gives the empty string.
std::string NormalizePath(const char* path);

// The last component of the normalised path; empty when it ends at a root.
std::string GetFileName(const std::string& path);

// True when the file exists (ZOL_AccessFile with mode 0).
bool IsFileAccessible(const std::string& path);
