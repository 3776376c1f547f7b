#include "last_error.h"

#include <errno.h>

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

DWORD GetLastError(void) { return t_lastError; }
void SetLastError(DWORD error) { t_lastError = error; }

namespace kestravo::posix {

DWORD WindowsErrorFromErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM:
    case EAGAIN: return ERROR_NOT_ENOUGH_MEMORY;
    case ENOEXEC: return ERROR_BAD_EXE_FORMAT;
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case ENOSYS:
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case EINVAL:
    case ESRCH: return ERROR_INVALID_PARAMETER;
    case E2BIG:
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOSPC: return ERROR_NO_SYSTEM_RESOURCES;
    default: return ERROR_GEN_FAILURE;
  }
}

bool FailWithErrno(int err) { return Fail(WindowsErrorFromErrno(err)); }

bool Fail(DWORD error) {
  SetLastError(error);
  return false;
}

}  // namespace kestravo::posix
