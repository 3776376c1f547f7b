// One kernel handle (event or process) shared by any number of holders; the last holder to go
// closes it. Copies of a record share their handles this way, across threads.
#pragma once
#include "platform/atomic_counter.h"
#include "platform/os.h"

class SharedEvent {
 public:
  // Takes ownership of handle (null allowed). If the shared count cannot be allocated, the
  // handle is closed at once and the holder holds null.
  explicit SharedEvent(HANDLE handle = nullptr);
  SharedEvent(const SharedEvent& other);
  // Counts the other holder first, so assigning from itself or from a holder of the same
  // handle leaves the handle open.
  SharedEvent& operator=(const SharedEvent& other);
  ~SharedEvent();

  HANDLE Get() const { return handle_; }
  // Lets go of the handle (closing it if this was the last holder); the holder then holds null.
  void Reset() { Release(); }

 private:
  void Release();

  HANDLE handle_;
  AtomicCounter* count_;  // shared by every holder of handle_; null only after a failed allocation
};
