#include "launcher/spawn_process.h"

#include <string.h>

#include <vector>

#include "platform/process_remains.h"

bool SpawnProcess(const std::string& exePath, const std::string& cmdLine, uint32_t* pid, HANDLE* process,
                  HANDLE predecessor, const std::string& guid) {
  if (exePath.empty() || cmdLine.empty()) return false;

  // The program is exePath itself, never a file found again in the line: "/opt/my tools/worker"
  // must not run a planted "/opt/my". Quoted in the line as well, so that the child reads its
  // own path back whole as argv[0].
  std::string line = "\"" + exePath + "\" " + cmdLine;
  std::vector<char> writable(line.begin(), line.end());
  writable.push_back('\0');

  PROCESS_INFORMATION info;
  memset(&info, 0, sizeof info);
  if (!CreateProcessTree(exePath.c_str(), writable.data(), &info, predecessor, guid.empty() ? nullptr : guid.c_str())) return false;
  CloseHandle(info.hThread);
  *pid = info.dwProcessId;
  *process = info.hProcess;
  return true;
}
