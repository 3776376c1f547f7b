#include "zol_runtime.h"

#include <errno.h>
#include <io.h>

#include <new>
#include <vector>

#include "win32/job_table.h"

namespace {

struct ZolThread {
  HANDLE thread;
  DWORD id;
  ZOL_THREAD_ROUTINE routine;
  void* param;
};

DWORD WINAPI ThreadMain(LPVOID arg) {
  ZolThread* thread = static_cast<ZolThread*>(arg);
  thread->routine(thread->param);
  return 0;
}

uint32_t NextThreadId() {
  static volatile LONG counter = 0;
  return static_cast<uint32_t>(InterlockedIncrement(&counter));
}

void Fail(int err, DWORD code) {
  errno = err;
  SetLastError(code);
}

// Fills ended for every process that has ended; true when any has.
bool CollectEnded(const HANDLE* processes, size_t count, uint8_t* ended, bool* failed) {
  bool any = false;
  for (size_t i = 0; i < count; ++i) {
    DWORD rc = WaitForSingleObject(processes[i], 0);
    if (rc == WAIT_FAILED) *failed = true;
    bool done = rc == WAIT_OBJECT_0;
    if (ended != nullptr) ended[i] = done ? 1 : 0;
    any = any || done;
  }
  return any;
}

VOID CALLBACK OnProcessEnded(PVOID context, BOOLEAN) { SetEvent(static_cast<HANDLE>(context)); }

// More processes than one wait takes: the thread pool watches them, 63 to a thread, and sets one
// event at the first exit. Registered for this wait only, so nothing runs when nothing happens.
DWORD WaitManyProcesses(HANDLE event, const HANDLE* processes, size_t count, DWORD ms) {
  HANDLE anyEnded = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (anyEnded == nullptr) return WAIT_FAILED;
  std::vector<HANDLE> waits;
  DWORD rc = WAIT_FAILED;
  try {
    waits.reserve(count);
    bool registered = true;
    for (size_t i = 0; i < count && registered; ++i) {
      HANDLE wait = nullptr;
      registered = RegisterWaitForSingleObject(&wait, processes[i], OnProcessEnded, anyEnded, INFINITE,
                                               WT_EXECUTEONLYONCE | WT_EXECUTEINWAITTHREAD) != FALSE;
      if (registered) waits.push_back(wait);
    }
    if (registered) {
      HANDLE both[2] = {anyEnded, event};
      rc = WaitForMultipleObjects(event != nullptr ? 2 : 1, both, FALSE, ms);
    }
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
  // INVALID_HANDLE_VALUE: returns once no callback runs any more, so the event may be closed.
  for (HANDLE wait : waits) UnregisterWaitEx(wait, INVALID_HANDLE_VALUE);
  CloseHandle(anyEnded);
  return rc;
}

}  // namespace

HANDLE ZOL_CreateEvent(int flags) {
  if (flags != 0) {
    Fail(EINVAL, ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

// Kernel objects cost little to make: nothing to prepare.
void ZOL_PrepareNamedEvent() {}

void ZOL_DropPreparedEvent() {}

int ZOL_SetEvent(HANDLE event) { return SetEvent(event) ? 0 : -1; }

int ZOL_ResetEvent(HANDLE event) { return ResetEvent(event) ? 0 : -1; }

int ZOL_CloseEvent(HANDLE handle) {
  if (handle == nullptr) return 0;
  // A child's job goes with the last handle the library keeps of its process.
  kestravo::win32::ForgetJob(handle);
  return CloseHandle(handle) ? 0 : -1;
}

uint32_t ZOL_WaitForSingleObject(HANDLE handle, uint32_t ms) { return WaitForSingleObject(handle, ms); }

uint32_t ZOL_WaitForAny(HANDLE event, const HANDLE* processes, size_t count, uint32_t ms, uint8_t* ended) {
  if (count > 0 && processes == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  bool failed = false;
  if (CollectEnded(processes, count, ended, &failed)) return 0;
  if (failed) return WAIT_FAILED;
  DWORD rc;
  if (count + 1 <= MAXIMUM_WAIT_OBJECTS) {
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    DWORD n = 0;
    if (event != nullptr) handles[n++] = event;
    for (size_t i = 0; i < count; ++i) handles[n++] = processes[i];
    rc = n == 0 ? (Sleep(ms), WAIT_TIMEOUT) : WaitForMultipleObjects(n, handles, FALSE, ms);
  } else {
    rc = WaitManyProcesses(event, processes, count, ms);
  }
  if (rc == WAIT_FAILED || rc == WAIT_TIMEOUT) return rc;
  CollectEnded(processes, count, ended, &failed);
  return 0;
}

// Each wait hands every member to one wait for any: Windows registers them per wait anyway.
struct ZOL_WaitSet::Impl {
  std::vector<HANDLE> members;
  std::vector<uint8_t> ended;
};

ZOL_WaitSet::ZOL_WaitSet() : impl(new (std::nothrow) Impl) {}

ZOL_WaitSet::~ZOL_WaitSet() { delete impl; }

bool ZOL_WaitSet::Add(HANDLE process) {
  if (impl == nullptr || process == nullptr) {
    SetLastError(impl == nullptr ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_HANDLE);
    return false;
  }
  try {
    for (HANDLE member : impl->members) {
      if (member == process) return true;
    }
    impl->members.push_back(process);
    return true;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
}

void ZOL_WaitSet::Remove(HANDLE process) {
  if (impl == nullptr) return;
  for (size_t i = 0; i < impl->members.size(); ++i) {
    if (impl->members[i] != process) continue;
    impl->members[i] = impl->members.back();
    impl->members.pop_back();
    return;
  }
}

uint32_t ZOL_WaitSet::Wait(HANDLE event, uint32_t ms, std::vector<HANDLE>* ended) {
  if (impl == nullptr || ended == nullptr) {
    SetLastError(impl == nullptr ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  try {
    impl->ended.assign(impl->members.size(), 0);
    uint32_t rc = ZOL_WaitForAny(event, impl->members.data(), impl->members.size(), ms, impl->ended.data());
    for (size_t i = 0; i < impl->members.size(); ++i) {
      if (impl->ended[i]) ended->push_back(impl->members[i]);
    }
    return rc;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return WAIT_FAILED;
  }
}

void* ZOL_Thread_Create(ZOL_THREAD_ROUTINE routine, void* param, uint32_t stackSize, int32_t priority,
                        uint32_t flags, uint32_t* threadId) {
  if (routine == nullptr || priority != 0 || flags != 0) {
    Fail(EINVAL, ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  ZolThread* thread = new (std::nothrow) ZolThread{nullptr, 0, routine, param};
  if (thread == nullptr) {
    Fail(ENOMEM, ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  thread->thread = CreateThread(nullptr, stackSize, ThreadMain, thread,
                                stackSize != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, &thread->id);
  if (thread->thread == nullptr) {
    DWORD code = GetLastError();
    delete thread;
    Fail(EAGAIN, code);
    return nullptr;
  }
  if (threadId != nullptr) *threadId = NextThreadId();
  return thread;
}

int ZOL_Thread_Wait(void* handle) {
  ZolThread* thread = static_cast<ZolThread*>(handle);
  if (thread == nullptr) {
    Fail(EINVAL, ERROR_INVALID_PARAMETER);
    return EINVAL;
  }
  if (thread->id == GetCurrentThreadId()) {
    Fail(EDEADLK, ERROR_INVALID_PARAMETER);
    return EDEADLK;
  }
  if (WaitForSingleObject(thread->thread, INFINITE) != WAIT_OBJECT_0) {
    Fail(EINVAL, GetLastError());
    return EINVAL;
  }
  CloseHandle(thread->thread);
  delete thread;
  return 0;
}

void ZOL_Sleep(uint32_t ms) { Sleep(ms); }

int32_t ZOL_AtomicAdd(volatile int32_t* value, int32_t delta) {
  if (value == nullptr) {
    Fail(EINVAL, ERROR_INVALID_PARAMETER);
    return 0;
  }
  return InterlockedExchangeAdd(reinterpret_cast<volatile LONG*>(value), delta);
}

int32_t ZOL_AtomicCas(volatile int32_t* value, int32_t exchange, int32_t comparand) {
  if (value == nullptr) {
    Fail(EINVAL, ERROR_INVALID_PARAMETER);
    return 0;
  }
  return InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(value), exchange, comparand);
}

uint32_t ZOL_GetLastError() { return GetLastError(); }

// The OS's own code: on Windows that is the last error, not errno.
int ZOL_GetSystemLastError() { return static_cast<int>(GetLastError()); }

int ZOL_AccessFile(const char* path, int mode) {
  if (path == nullptr || (mode != 0 && mode != 2 && mode != 4 && mode != 6)) {
    Fail(EINVAL, ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (_access(path, mode) != 0) {
    int err = errno;
    Fail(err, err == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
    return -1;
  }
  return 0;
}
