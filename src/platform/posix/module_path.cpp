#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "last_error.h"

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  if (hModule != nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  if (lpFilename == nullptr || nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  char path[4096];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length < 0) {
    kestravo::posix::FailWithErrno(errno);
    return 0;
  }
  // As on Windows: a path that does not fit is cut to nSize - 1 characters and terminated.
  // Windows then returns nSize, the characters written with the terminator.
  bool truncated = static_cast<DWORD>(length) >= nSize;
  DWORD copied = truncated ? nSize - 1 : static_cast<DWORD>(length);
  memcpy(lpFilename, path, copied);
  lpFilename[copied] = '\0';
  SetLastError(truncated ? ERROR_INSUFFICIENT_BUFFER : ERROR_SUCCESS);
  return truncated ? nSize : copied;
}
