#include "process_exit.h"

#include <string.h>

#include "last_error.h"
#include "process.h"

using kestravo::posix::Fail;
using kestravo::posix::ProcessObject;

BOOL GetProcessExitStatus(HANDLE hProcess, ProcessExitStatus* status) {
  if (status == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  auto process = kestravo::posix::LookupHandleAs<ProcessObject>(hProcess);
  if (!process) return FALSE;
  return process->ExitStatus(status) ? TRUE : FALSE;
}
