// The one handle space shared by events and processes.
#pragma once

#include <memory>

#include "deadline.h"
#include "win32.h"

namespace kestravo::posix {

// A kernel object behind a HANDLE. Its destructor does what closing the last handle does
// (unlinking a named event, reaping a child), and runs on whichever thread drops the last
// reference: the table's, or that of a thread still waiting on it.
class KernelObject {
 public:
  virtual ~KernelObject() = default;
  // WAIT_OBJECT_0 once signalled, WAIT_TIMEOUT at the deadline, WAIT_FAILED with the last error set.
  virtual DWORD Wait(const Deadline& deadline) = 0;
  // A descriptor that polls readable once the object is signalled, or -1 for an object that has
  // none (or needs none any more); a wait then tells.
  virtual int PollFd() { return -1; }
};

// Puts the object into the table and returns its new handle; NULL with the last error set when
// the table is full.
HANDLE RegisterHandle(std::shared_ptr<KernelObject> object);

// The object of a handle, or null with ERROR_INVALID_HANDLE.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);

template <typename T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  std::shared_ptr<T> typed = std::dynamic_pointer_cast<T>(LookupHandle(handle));
  if (!typed) SetLastError(ERROR_INVALID_HANDLE);
  return typed;
}

// Removes the handle from the table; false with ERROR_INVALID_HANDLE when it is not there.
bool ReleaseHandle(HANDLE handle);

// CreateProcessA's hThread: accepted by CloseHandle, refers to nothing.
HANDLE ThreadPseudoHandle();

}  // namespace kestravo::posix
