#include "launcher/spawn_process.h"

#include <string.h>

#include <vector>

#include "platform/process_remains.h"

bool SpawnProcess(const std::string& exePath, const std::string& cmdLine, uint32_t* pid, HANDLE* process) {
  if (exePath.empty() || cmdLine.empty()) return false;

  // The path is not quoted: a path with a blank is split as the OS splits any command line.
  std::string line = exePath + " " + cmdLine;
  std::vector<char> writable(line.begin(), line.end());
  writable.push_back('\0');

  PROCESS_INFORMATION info;
  memset(&info, 0, sizeof info);
  if (!CreateProcessTree(writable.data(), &info)) return false;
  CloseHandle(info.hThread);
  *pid = info.dwProcessId;
  *process = info.hProcess;
  return true;
}
