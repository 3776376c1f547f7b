#include "process_remains.h"

#include <string.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "last_error.h"
#include "process.h"

extern char** environ;

using kestravo::posix::Fail;
using kestravo::posix::ProcessObject;
using kestravo::posix::StartChild;

BOOL TerminateProcesses(const HANDLE* handles, size_t count, DWORD timeoutMs) {
  if (count > 0 && handles == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::vector<std::shared_ptr<ProcessObject>> signalled;
  try {
    signalled.reserve(count);
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  BOOL all = TRUE;
  for (size_t i = 0; i < count; ++i) {
    auto process = kestravo::posix::LookupHandleAs<ProcessObject>(handles[i]);
    if (process && process->SignalTerminate()) {
      signalled.push_back(std::move(process));
    } else {
      all = FALSE;
    }
  }
  kestravo::posix::Deadline deadline(timeoutMs);
  for (const auto& process : signalled) process->AwaitTerminated(deadline);
  return all;
}

BOOL EndProcessRemains(HANDLE hProcess, DWORD timeoutMs) {
  auto process = kestravo::posix::LookupHandleAs<ProcessObject>(hProcess);
  if (!process) return FALSE;
  return process->EndRemains(kestravo::posix::Deadline(timeoutMs)) ? TRUE : FALSE;
}

BOOL CreateProcessTree(LPCSTR program, LPSTR commandLine, PROCESS_INFORMATION* info, HANDLE predecessor, LPCSTR) {
  kestravo::posix::SweepAbandonedChildren();
  // Every child is started in a process group and cgroup of its own already.
  if (program == nullptr || *program == '\0' || info == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  // Made here, before the spawn, where allocating is still allowed. None of the host's own
  // KESTRAVO_* variables (its identity, its state directory) are the child's, nor systemd's
  // STATE_DIRECTORY: it names the host's, which a child that embeds the library would take.
  std::string environment;
  std::string cgroup;
  try {
    for (char** entry = environ; *entry != nullptr; ++entry) {
      if (strncmp(*entry, "KESTRAVO_", 9) == 0 || strncmp(*entry, "STATE_DIRECTORY=", 16) == 0) continue;
      environment.append(*entry).push_back('\0');
    }
    environment.append(2, '\0');
    // Its predecessor's cgroup once emptied: no removal and new directory between the two.
    if (auto previous = predecessor != nullptr ? kestravo::posix::LookupHandleAs<ProcessObject>(predecessor) : nullptr) {
      cgroup = previous->TakeEmptyCgroup();
    }
  } catch (const std::bad_alloc&) {
    return kestravo::posix::Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  return StartChild(program, commandLine, &environment[0], info, std::move(cgroup));
}

BOOL TerminateProcessTree(HANDLE hProcess) { return TerminateProcess(hProcess, 0); }

BOOL AdoptProcessTree(HANDLE, LPCSTR) { return TRUE; }
