#include "process_exit.h"

BOOL GetProcessExitStatus(HANDLE hProcess, ProcessExitStatus* status) {
  if (status == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // STILL_ACTIVE is also a code a process may exit with: whether it ended is the wait's to say.
  DWORD state = WaitForSingleObject(hProcess, 0);
  if (state == WAIT_FAILED) return FALSE;
  if (state == WAIT_TIMEOUT) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  DWORD code = 0;
  *status = ProcessExitStatus();
  if (!GetExitCodeProcess(hProcess, &code)) return TRUE;  // ended, how not known
  status->known = true;
  status->exitCode = static_cast<int32_t>(code);
  return TRUE;
}

