// The child's side of the notify channel on Windows: one connection to the child's pipe per
// message. The library's side is notify_set_win32.cpp.
#include "notify_channel.h"

#include <windows.h>

#include <cstring>

#include "win32/notify_pipe.h"

namespace {

constexpr size_t kMaxGuidLength = 64;
// Every instance of the pipe holds a message the library has not taken yet: this long for one to
// come free, then the send fails as a full queue would.
constexpr DWORD kBusyWaitMs = 50;
// How long a sender waits for the library to take its message (and to ask whether the sender is
// in the child's tree) before it goes on regardless.
constexpr DWORD kTakenWaitMs = 250;

// Waits up to ms for the overlapped operation on pipe to end, cancelling it after; its result.
bool Finish(HANDLE pipe, OVERLAPPED* overlapped, DWORD ms, DWORD* bytes) {
  if (WaitForSingleObject(overlapped->hEvent, ms) != WAIT_OBJECT_0) CancelIoEx(pipe, overlapped);
  return GetOverlappedResult(pipe, overlapped, bytes, TRUE) != FALSE;
}

}  // namespace

namespace kestravo::win32 {

bool NotifyPipeName(const char* guid, std::string* name) {
  if (guid == nullptr) return false;
  const size_t n = strnlen(guid, kMaxGuidLength + 1);
  if (n == 0 || n > kMaxGuidLength || memchr(guid, '\\', n) != nullptr || memchr(guid, '/', n) != nullptr) return false;
  *name = std::string("\\\\.\\pipe\\kestravo-nt-") + guid;
  return true;
}

}  // namespace kestravo::win32

int32_t SendNotifyDatagram(const char* guid, const char* data, size_t size) {
  std::string name;
  try {
    if (!kestravo::win32::NotifyPipeName(guid, &name) || data == nullptr || size == 0 || size > kNotifyMaxBytes) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return -1;
    }
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  HANDLE pipe = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 2; ++attempt) {
    // Identification only: a stranger's pipe under the name could not act as this process.
    pipe = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (pipe != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY || attempt == 1) break;
    if (!WaitNamedPipeA(name.c_str(), kBusyWaitMs)) break;
  }
  if (pipe == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 1 : -1;
  }
  OVERLAPPED overlapped = {};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (overlapped.hEvent == nullptr) {
    const DWORD error = GetLastError();
    CloseHandle(pipe);
    SetLastError(error);
    return -1;
  }
  // The pipe's buffer takes a whole message: the write does not wait for the library to read.
  DWORD written = 0;
  bool ok = WriteFile(pipe, data, static_cast<DWORD>(size), nullptr, &overlapped) || GetLastError() == ERROR_IO_PENDING;
  ok = ok && Finish(pipe, &overlapped, kTakenWaitMs, &written) && written == size;
  DWORD error = ok ? ERROR_SUCCESS : GetLastError();
  if (ok) {
    // The library lets go of the connection once it has taken the message: the read ends then.
    char none;
    DWORD got = 0;
    ResetEvent(overlapped.hEvent);
    if (ReadFile(pipe, &none, 1, nullptr, &overlapped) || GetLastError() == ERROR_IO_PENDING) {
      Finish(pipe, &overlapped, kTakenWaitMs, &got);
    }
  }
  CloseHandle(overlapped.hEvent);
  CloseHandle(pipe);
  if (ok) return 0;
  SetLastError(error == ERROR_SUCCESS ? ERROR_WRITE_FAULT : error);
  return -1;
}

// A pipe's name goes with its last handle: a host that died leaves none behind.
void RemoveNotifyChannelName(const std::string&) {}
