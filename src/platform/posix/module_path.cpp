#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

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
  // readlink cuts silently: a result that fills the buffer may have been cut, so grow it.
  std::vector<char> path;
  ssize_t length;
  for (size_t size = 4096;; size *= 2) {
    try {
      path.resize(size);
    } catch (...) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    length = readlink("/proc/self/exe", path.data(), path.size());
    if (length < 0) {
      kestravo::posix::FailWithErrno(errno);
      return 0;
    }
    if (static_cast<size_t>(length) < path.size()) break;
    if (path.size() >= 65536) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return 0;
    }
  }
  // As on Windows: a path that does not fit is cut to nSize - 1 characters and terminated.
  // Windows then returns nSize, the characters written with the terminator.
  bool truncated = static_cast<DWORD>(length) >= nSize;
  DWORD copied = truncated ? nSize - 1 : static_cast<DWORD>(length);
  memcpy(lpFilename, path.data(), copied);
  lpFilename[copied] = '\0';
  SetLastError(truncated ? ERROR_INSUFFICIENT_BUFFER : ERROR_SUCCESS);
  return truncated ? nSize : copied;
}
