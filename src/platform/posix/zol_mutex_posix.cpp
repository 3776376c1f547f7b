#include "zol_mutex.h"

#include <errno.h>
#include <pthread.h>
#include <time.h>

#include <new>

#include "posix/last_error.h"

// A recursive pthread mutex: glibc refuses an unlock by a thread that is not the owner (EPERM)
// and the destruction of a held mutex (EBUSY).
struct ZOL_MutexImpl {
  pthread_mutex_t mutex;
};

namespace {

int Failed(int err) {
  kestravo::posix::FailWithErrno(err);
  return err;
}

}  // namespace

int ZOL_MutexCreate(ZOL_MUTEX* mutex, int flags) {
  if (mutex == nullptr) return Failed(EINVAL);
  *mutex = nullptr;
  if (flags != 0) return Failed(EINVAL);

  ZOL_MutexImpl* impl = new (std::nothrow) ZOL_MutexImpl;
  if (impl == nullptr) return Failed(ENOMEM);
  pthread_mutexattr_t attr;
  int rc = pthread_mutexattr_init(&attr);
  if (rc == 0) {
    rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    if (rc == 0) rc = pthread_mutex_init(&impl->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
  }
  if (rc != 0) {
    delete impl;
    return Failed(rc);
  }
  *mutex = impl;
  return 0;
}

int ZOL_MutexDestroy(ZOL_MUTEX* mutex) {
  if (mutex == nullptr || *mutex == nullptr) return Failed(EINVAL);
  int rc = pthread_mutex_destroy(&(*mutex)->mutex);
  if (rc != 0) return Failed(rc);
  delete *mutex;
  *mutex = nullptr;
  return 0;
}

int ZOL_MutexLock(ZOL_MUTEX* mutex) {
  if (mutex == nullptr || *mutex == nullptr) return Failed(EINVAL);
  int rc = pthread_mutex_lock(&(*mutex)->mutex);
  return rc == 0 ? 0 : Failed(rc);
}

int ZOL_MutexUnlock(ZOL_MUTEX* mutex) {
  if (mutex == nullptr || *mutex == nullptr) return Failed(EINVAL);
  int rc = pthread_mutex_unlock(&(*mutex)->mutex);
  return rc == 0 ? 0 : Failed(rc);
}

int ZOL_MutexTryLock(ZOL_MUTEX* mutex) {
  if (mutex == nullptr || *mutex == nullptr) return Failed(EINVAL);
  int rc = pthread_mutex_trylock(&(*mutex)->mutex);
  return rc == 0 ? 0 : Failed(rc);
}

int ZOL_MutexTimedLock(ZOL_MUTEX* mutex, uint32_t ms) {
  if (mutex == nullptr || *mutex == nullptr) return Failed(EINVAL);
  // The realtime clock, which pthread_mutex_timedlock takes (ThreadSanitizer knows no other
  // timed lock); a clock step only lengthens or shortens one wait.
  timespec at{};
  clock_gettime(CLOCK_REALTIME, &at);
  at.tv_sec += ms / 1000;
  at.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (at.tv_nsec >= 1000000000L) {
    at.tv_sec += 1;
    at.tv_nsec -= 1000000000L;
  }
  int rc = pthread_mutex_timedlock(&(*mutex)->mutex, &at);
  return rc == 0 ? 0 : Failed(rc);
}

