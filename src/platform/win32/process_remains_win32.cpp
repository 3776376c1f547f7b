#include "process_remains.h"

#include <sddl.h>
#include <string.h>

#include <new>
#include <string>

#include "win32/job_table.h"

namespace {

// Remains end in a few milliseconds once their job is terminated: polled, since a job signals
// nothing when its last process ends unless a completion port is attached.
constexpr DWORD kPollMs = 2;

DWORD Remaining(ULONGLONG deadline) {
  ULONGLONG now = GetTickCount64();
  return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

ULONGLONG DeadlineAfter(DWORD ms) { return ms == INFINITE ? ~0ULL : GetTickCount64() + ms; }

// The pid as well as the GUID: a relaunch keeps its GUID, and may start while its predecessor's
// job still holds a process.
std::string JobName(LPCSTR treeName, DWORD pid) {
  return std::string("Local\\kestravo-job-") + treeName + "-" + std::to_string(pid);
}

// Only this process's user may open a job by its name: another user of the session could end or
// join the tree otherwise. Made once, never freed; null when it cannot be made.
PSECURITY_DESCRIPTOR OwnerOnlyDescriptor() {
  static PSECURITY_DESCRIPTOR descriptor = [] {
    PSECURITY_DESCRIPTOR made = nullptr;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return made;
    char buffer[512];
    DWORD size = 0;
    char* sid = nullptr;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
        ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid)) {
      std::string text = std::string("D:P(A;;GA;;;") + sid + ")";
      if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(text.c_str(), SDDL_REVISION_1, &made, nullptr)) made = nullptr;
      LocalFree(sid);
    }
    CloseHandle(token);
    return made;
  }();
  return descriptor;
}

// The child's job, named when it has a name: a name taken already (by a stranger's object) gives
// an unnamed job, still this host's to end.
HANDLE CreateTreeJob(LPCSTR treeName, DWORD pid) {
  if (treeName == nullptr || *treeName == '\0') return CreateJobObjectA(nullptr, nullptr);
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, OwnerOnlyDescriptor(), FALSE};
  HANDLE job = nullptr;
  try {
    job = CreateJobObjectA(attributes.lpSecurityDescriptor != nullptr ? &attributes : nullptr, JobName(treeName, pid).c_str());
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
  if (job != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(job);
    job = nullptr;
  }
  return job != nullptr ? job : CreateJobObjectA(nullptr, nullptr);
}

}  // namespace

BOOL CreateProcessTree(LPCSTR program, LPSTR commandLine, PROCESS_INFORMATION* info, HANDLE, LPCSTR treeName) {
  // The host's environment without its own KESTRAVO_* variables (its identity, its state
  // directory) and the service manager's STATE_DIRECTORY, which names the host's state directory
  // and would lead a child that embeds the library to it; names are case-insensitive here.
  std::string environment;
  try {
    LPCH strings = GetEnvironmentStringsA();
    for (const char* entry = strings; entry != nullptr && *entry != '\0'; entry += strlen(entry) + 1) {
      if (_strnicmp(entry, "KESTRAVO_", 9) == 0 || _strnicmp(entry, "STATE_DIRECTORY=", 16) == 0) continue;
      environment.append(entry).push_back('\0');
    }
    if (strings != nullptr) FreeEnvironmentStringsA(strings);
    environment.append(2, '\0');
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  // Suspended until it is in its job, so that nothing it starts escapes the job.
  if (!CreateProcessA(program, commandLine, nullptr, nullptr, FALSE, CREATE_NO_WINDOW | CREATE_SUSPENDED,
                      &environment[0], nullptr, &startup, info)) {
    return FALSE;
  }
  // No kill-on-close: the children must outlive a crash of the host. A job that cannot be made
  // (a host inside a job that forbids nesting) leaves the child running as a single process.
  HANDLE job = CreateTreeJob(treeName, info->dwProcessId);
  if (job != nullptr && (!AssignProcessToJobObject(job, info->hProcess) ||
                         !kestravo::win32::RememberJob(info->hProcess, job, treeName))) {
    CloseHandle(job);
  }
  if (ResumeThread(info->hThread) == static_cast<DWORD>(-1)) {
    DWORD error = GetLastError();
    TerminateProcess(info->hProcess, 1);
    kestravo::win32::ForgetJob(info->hProcess);
    CloseHandle(info->hThread);
    CloseHandle(info->hProcess);
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

BOOL TerminateProcessTree(HANDLE hProcess) {
  if (kestravo::win32::TerminateJobOf(hProcess)) return TRUE;
  return TerminateProcess(hProcess, 0);
}

BOOL AdoptProcessTree(HANDLE hProcess, LPCSTR treeName) {
  if (treeName == nullptr || *treeName == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  HANDLE job = nullptr;
  try {
    job = OpenJobObjectA(JOB_OBJECT_TERMINATE | JOB_OBJECT_QUERY, FALSE, JobName(treeName, GetProcessId(hProcess)).c_str());
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
  if (job == nullptr) return FALSE;
  // Only the job that holds the process is its tree.
  BOOL inside = FALSE;
  DWORD error = !IsProcessInJob(hProcess, job, &inside)             ? GetLastError()
                : !inside                                          ? ERROR_NOT_FOUND
                : !kestravo::win32::RememberJob(hProcess, job, treeName) ? ERROR_NOT_ENOUGH_MEMORY
                                                                   : ERROR_SUCCESS;
  if (error == ERROR_SUCCESS) return TRUE;
  CloseHandle(job);
  SetLastError(error);
  return FALSE;
}

BOOL EndProcessRemains(HANDLE hProcess, DWORD timeoutMs) {
  DWORD state = WaitForSingleObject(hProcess, 0);
  if (state == WAIT_FAILED) return FALSE;
  if (state == WAIT_TIMEOUT) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (kestravo::win32::ActiveProcessesInJob(hProcess) <= 0) return TRUE;
  kestravo::win32::TerminateJobOf(hProcess);
  ULONGLONG deadline = DeadlineAfter(timeoutMs);
  while (kestravo::win32::ActiveProcessesInJob(hProcess) > 0) {
    if (Remaining(deadline) == 0) {
      SetLastError(ERROR_TIMEOUT);
      return FALSE;
    }
    Sleep(kPollMs);
  }
  return TRUE;
}

BOOL TerminateProcesses(const HANDLE* handles, size_t count, DWORD timeoutMs) {
  if (count > 0 && handles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  BOOL all = TRUE;
  DWORD error = ERROR_SUCCESS;
  for (size_t i = 0; i < count; ++i) {
    if (!TerminateProcessTree(handles[i])) {
      all = FALSE;
      error = GetLastError();
    }
  }
  ULONGLONG deadline = DeadlineAfter(timeoutMs);
  for (size_t i = 0; i < count; ++i) {
    WaitForSingleObject(handles[i], timeoutMs == INFINITE ? INFINITE : Remaining(deadline));
  }
  if (!all) SetLastError(error);
  return all;
}
