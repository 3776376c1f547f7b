// Starts one child process: the file exePath names, with exePath in quotes, one blank and cmdLine
// as its command line, no inherited handles, no window (on Linux: its own session, standard
// streams on /dev/null).
#pragma once
#include <stdint.h>

#include <string>

#include "platform/os.h"

// False, with nothing started, when either string is empty or the OS refuses (GetLastError()
// tells why). On success *pid and *process are set; the caller owns the process handle.
// predecessor: the ended child it replaces, and guid: the child's, which names its tree, as
// CreateProcessTree takes them. Called on the launcher thread.
bool SpawnProcess(const std::string& exePath, const std::string& cmdLine, uint32_t* pid, HANDLE* process,
                  HANDLE predecessor = nullptr, const std::string& guid = std::string());
