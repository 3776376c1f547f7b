#include "zol_mutex.h"

#include <errno.h>

#include <new>

#include "os.h"

// A recursive mutex with an owner, so that an unlock by another thread (EPERM), the destruction of
// a held mutex (EBUSY) and a timed lock can be answered as on Linux. A critical section offers
// none of the three.
struct ZOL_MutexImpl {
  SRWLOCK lock = SRWLOCK_INIT;                            // guards the two fields below
  CONDITION_VARIABLE released = CONDITION_VARIABLE_INIT;
  DWORD owner = 0;                                        // thread id, 0 when free
  uint32_t depth = 0;
};

namespace {

int Failed(int err) {
  SetLastError(err == ETIMEDOUT ? ERROR_TIMEOUT : err == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY
                                                                : ERROR_INVALID_PARAMETER);
  errno = err;
  return err;
}

// Under impl->lock. ms INFINITE waits without limit.
int Acquire(ZOL_MutexImpl* impl, DWORD ms) {
  DWORD self = GetCurrentThreadId();
  ULONGLONG deadline = GetTickCount64() + ms;
  while (impl->owner != 0 && impl->owner != self) {
    DWORD wait = INFINITE;
    if (ms != INFINITE) {
      ULONGLONG now = GetTickCount64();
      if (now >= deadline) return ETIMEDOUT;
      wait = static_cast<DWORD>(deadline - now);
    }
    SleepConditionVariableSRW(&impl->released, &impl->lock, wait, 0);
  }
  impl->owner = self;
  ++impl->depth;
  return 0;
}

int Lock(ZOL_MUTEX* mutex, DWORD ms, bool tryOnly) {
  if (mutex == nullptr || *mutex == nullptr) return Failed(EINVAL);
  ZOL_MutexImpl* impl = *mutex;
  AcquireSRWLockExclusive(&impl->lock);
  int rc;
  if (tryOnly && impl->owner != 0 && impl->owner != GetCurrentThreadId()) {
    rc = EBUSY;
  } else {
    rc = Acquire(impl, ms);
  }
  ReleaseSRWLockExclusive(&impl->lock);
  return rc == 0 ? 0 : Failed(rc);
}

}  // namespace

int ZOL_MutexCreate(ZOL_MUTEX* mutex, int flags) {
  if (mutex == nullptr) return Failed(EINVAL);
  *mutex = nullptr;
  if (flags != 0) return Failed(EINVAL);
  *mutex = new (std::nothrow) ZOL_MutexImpl;
  return *mutex == nullptr ? Failed(ENOMEM) : 0;
}

int ZOL_MutexDestroy(ZOL_MUTEX* mutex) {
  if (mutex == nullptr || *mutex == nullptr) return Failed(EINVAL);
  AcquireSRWLockExclusive(&(*mutex)->lock);
  bool held = (*mutex)->owner != 0;
  ReleaseSRWLockExclusive(&(*mutex)->lock);
  if (held) return Failed(EBUSY);
  delete *mutex;
  *mutex = nullptr;
  return 0;
}

int ZOL_MutexLock(ZOL_MUTEX* mutex) { return Lock(mutex, INFINITE, false); }

int ZOL_MutexTryLock(ZOL_MUTEX* mutex) { return Lock(mutex, 0, true); }

int ZOL_MutexTimedLock(ZOL_MUTEX* mutex, uint32_t ms) { return Lock(mutex, ms == INFINITE ? INFINITE - 1 : ms, false); }

int ZOL_MutexUnlock(ZOL_MUTEX* mutex) {
  if (mutex == nullptr || *mutex == nullptr) return Failed(EINVAL);
  ZOL_MutexImpl* impl = *mutex;
  AcquireSRWLockExclusive(&impl->lock);
  int rc = 0;
  if (impl->owner != GetCurrentThreadId()) {
    rc = EPERM;
  } else if (--impl->depth == 0) {
    impl->owner = 0;
    WakeConditionVariable(&impl->released);
  }
  ReleaseSRWLockExclusive(&impl->lock);
  return rc == 0 ? 0 : Failed(rc);
}
