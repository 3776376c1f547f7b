#include "handle_table.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <utility>
#include <vector>

#include "last_error.h"

namespace kestravo::posix {

namespace {

// A handle is (generation << 32) | (slot + 1): never 0, never -1, and a stale handle of a
// reused slot does not reach the new object.
constexpr uint64_t kMaxSlots = 1u << 20;
constexpr uintptr_t kThreadPseudo = 0x7;  // generation 0: never a table handle

class HandleTable {
 public:
  HANDLE Add(std::shared_ptr<KernelObject> object) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t index;
    if (!free_.empty()) {
      index = free_.back();
      free_.pop_back();
    } else {
      if (slots_.size() >= kMaxSlots) {
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return nullptr;
      }
      slots_.emplace_back();
      index = slots_.size() - 1;
    }
    Slot& slot = slots_[index];
    slot.generation = slot.generation == UINT32_MAX / 2 ? 1 : slot.generation + 1;
    slot.object = std::move(object);
    return Encode(index, slot.generation);
  }

  std::shared_ptr<KernelObject> Find(HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    Slot* slot = SlotOf(handle);
    return slot ? slot->object : nullptr;
  }

  // Returns the object so that its destructor runs outside the table lock.
  std::shared_ptr<KernelObject> Remove(HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    Slot* slot = SlotOf(handle);
    if (!slot) return nullptr;
    std::shared_ptr<KernelObject> object = std::move(slot->object);
    free_.push_back(static_cast<size_t>(slot - slots_.data()));
    return object;
  }

  // Drops every handle still open.
  void CloseAll() {
    std::vector<std::shared_ptr<KernelObject>> left;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (size_t i = 0; i < slots_.size(); ++i) {
        if (!slots_[i].object) continue;
        left.push_back(std::move(slots_[i].object));
        free_.push_back(i);
      }
    }
    left.clear();  // outside the lock
  }

 private:
  struct Slot {
    std::shared_ptr<KernelObject> object;  // null while free
    uint32_t generation = 0;
  };

  static HANDLE Encode(size_t index, uint32_t generation) {
    uint64_t value = (static_cast<uint64_t>(generation) << 32) | (index + 1);
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
  }

  Slot* SlotOf(HANDLE handle) {
    uint64_t value = reinterpret_cast<uintptr_t>(handle);
    uint64_t index = (value & 0xFFFFFFFFu) - 1;
    uint32_t generation = static_cast<uint32_t>(value >> 32);
    if ((value & 0xFFFFFFFFu) == 0 || index >= slots_.size()) return nullptr;
    Slot& slot = slots_[index];
    if (!slot.object || slot.generation != generation) return nullptr;
    return &slot;
  }

  std::mutex mutex_;
  std::vector<Slot> slots_;   // guarded by mutex_
  std::vector<size_t> free_;  // guarded by mutex_
};

// At process exit every handle still open is closed, as the kernel does on Windows, so that
// named events this process held last do not stay behind in /dev/shm. The table itself is never
// destroyed: a worker thread may still touch it while exit runs the static destructors.
// A forked copy that exits leaves them to the process that opened them: its copies of the
// descriptors go with it, and what a last close does (reaping, ending trees, removing names) is
// not its to do.
struct ExitCloser {
  explicit ExitCloser(HandleTable* table) : table(table) {}
  ~ExitCloser() {
    if (getpid() == owner) table->CloseAll();
  }
  HandleTable* table;
  const pid_t owner = getpid();
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;
  static ExitCloser closer(table);
  return *table;
}

}  // namespace

HANDLE RegisterHandle(std::shared_ptr<KernelObject> object) {
  if (!object) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return Table().Add(std::move(object));
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  std::shared_ptr<KernelObject> object = Table().Find(handle);
  if (!object) SetLastError(ERROR_INVALID_HANDLE);
  return object;
}

bool ReleaseHandle(HANDLE handle) {
  std::shared_ptr<KernelObject> object = Table().Remove(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  object.reset();  // may unlink a named event or reap a child
  return true;
}

HANDLE ThreadPseudoHandle() { return reinterpret_cast<HANDLE>(kThreadPseudo); }

}  // namespace kestravo::posix

using kestravo::posix::Deadline;

BOOL CloseHandle(HANDLE handle) {
  if (handle == nullptr || handle == kestravo::posix::ThreadPseudoHandle()) return TRUE;
  return kestravo::posix::ReleaseHandle(handle) ? TRUE : FALSE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  Deadline deadline(milliseconds);  // taken before the lookup: the time-out counts from the call
  std::shared_ptr<kestravo::posix::KernelObject> object = kestravo::posix::LookupHandle(handle);
  if (!object) return WAIT_FAILED;
  return object->Wait(deadline);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL bWaitAll, DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  if (bWaitAll != FALSE || milliseconds != 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return WAIT_FAILED;
  }
  Deadline now(0);
  std::shared_ptr<kestravo::posix::KernelObject> objects[MAXIMUM_WAIT_OBJECTS];
  pollfd fds[MAXIMUM_WAIT_OBJECTS];
  int polled[MAXIMUM_WAIT_OBJECTS];  // index into fds, or -1
  nfds_t used = 0;
  for (DWORD i = 0; i < count; ++i) {
    objects[i] = kestravo::posix::LookupHandle(handles[i]);
    if (!objects[i]) return WAIT_FAILED;
    int fd = objects[i]->PollFd();
    polled[i] = fd < 0 ? -1 : static_cast<int>(used);
    if (fd >= 0) fds[used++] = pollfd{fd, POLLIN, 0};
  }
  if (used > 0) {
    while (poll(fds, used, 0) < 0) {
      if (errno != EINTR) {
        kestravo::posix::FailWithErrno(errno);
        return WAIT_FAILED;
      }
    }
  }
  // In index order, so that the lowest signalled index is the answer. A ready descriptor is
  // confirmed by a wait, which also reaps an own child.
  for (DWORD i = 0; i < count; ++i) {
    if (polled[i] >= 0 && fds[polled[i]].revents == 0) continue;
    if (objects[i]->Wait(now) == WAIT_OBJECT_0) return WAIT_OBJECT_0 + i;
  }
  return WAIT_TIMEOUT;
}
