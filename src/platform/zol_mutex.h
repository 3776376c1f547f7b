// The runtime library's locks: a C-style mutex API, and the ZOL_Mutex class with its scoped ZOL_Guard.
//
// Every mutex here is recursive, as the runtime's critical section is on Windows: the owning thread
// may lock again and must unlock as many times. This is deliberate: the host's callback runs on the
// calling thread inside an exported call, and may call the library again without deadlocking on a
// lock that its own thread already holds.
//
// Nothing here throws. Results are 0 on success and an errno value otherwise, with the matching
// Windows code left for GetLastError(). A mutex may only be unlocked by its owner.
#pragma once
#include <stdint.h>

typedef struct ZOL_MutexImpl* ZOL_MUTEX;

// Creates a recursive mutex into *mutex. flags must be 0. On failure *mutex is set to null.
int ZOL_MutexCreate(ZOL_MUTEX* mutex, int flags);

// Destroys the mutex and sets *mutex to null. A mutex that is still locked is left as it is and
// the call fails with EBUSY; a null mutex fails with EINVAL.
int ZOL_MutexDestroy(ZOL_MUTEX* mutex);

// Blocks until the calling thread owns the mutex (at once if it owns it already).
int ZOL_MutexLock(ZOL_MUTEX* mutex);

// Undoes one Lock of the calling thread; EPERM when the caller does not own the mutex.
int ZOL_MutexUnlock(ZOL_MUTEX* mutex);

// Takes the mutex only if that needs no waiting: 0 when it is now owned, EBUSY when another thread
// holds it.
int ZOL_MutexTryLock(ZOL_MUTEX* mutex);

// As ZOL_MutexLock, but gives up after about ms milliseconds: 0 when owned, ETIMEDOUT when another
// thread held it all that time.
int ZOL_MutexTimedLock(ZOL_MUTEX* mutex, uint32_t ms);

// A recursive mutex owned by this object. If the mutex could not be created, Lock and Unlock fail.
// Not copyable: a copy would either share the OS mutex and destroy it twice, or silently split one
// lock into two while a thread may hold it. The classes that own one are never copied.
class ZOL_Mutex {
 public:
  ZOL_Mutex();
  ~ZOL_Mutex();
  ZOL_Mutex(const ZOL_Mutex&) = delete;
  ZOL_Mutex& operator=(const ZOL_Mutex&) = delete;

  int Lock();
  int Unlock();

 private:
  ZOL_MUTEX mutex_;
};

// Locks a ZOL_Mutex for the lifetime of the guard, or until Release. Built with null, or when the
// lock fails, it holds nothing. Use on one thread only: the guard's thread owns the lock.
class ZOL_Guard {
 public:
  explicit ZOL_Guard(ZOL_Mutex* mutex);
  ~ZOL_Guard();
  ZOL_Guard(const ZOL_Guard&) = delete;

  // Copies the pointer and nothing more: no lock is taken and a mutex this guard held is not
  // unlocked. Both guards then unlock at their end, so the caller must balance that itself.
  ZOL_Guard& operator=(const ZOL_Guard& other);

  // Unlocks once and forgets the mutex; does nothing when the guard holds none. Lets code drop
  // the lock early, for instance before sleeping, and the destructor then has nothing to do.
  void Release();

 private:
  ZOL_Mutex* mutex_;  // null once released
};
