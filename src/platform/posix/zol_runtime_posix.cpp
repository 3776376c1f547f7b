#include "zol_runtime.h"

#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <initializer_list>
#include <new>

#include "posix/deadline.h"
#include "posix/last_error.h"
#include "posix/named_event_file.h"
#include "posix/wait_any.h"

namespace {

using kestravo::posix::FailWithErrno;

// errno for ZOL_GetSystemLastError and the Windows code for ZOL_GetLastError.
void SetErrors(int err) {
  FailWithErrno(err);
  errno = err;
}

struct ZolThread {
  pthread_t thread;
  ZOL_THREAD_ROUTINE routine;
  void* param;
};

void* ThreadMain(void* arg) {
  ZolThread* thread = static_cast<ZolThread*>(arg);
  thread->routine(thread->param);
  return nullptr;
}

uint32_t NextThreadId() {
  static volatile int32_t counter = 0;
  return static_cast<uint32_t>(ZOL_AtomicAdd(&counter, 1)) + 1u;
}

}  // namespace

HANDLE ZOL_CreateEvent(int flags) {
  if (flags != 0) {
    SetErrors(EINVAL);
    return nullptr;
  }
  return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

void ZOL_PrepareNamedEvent() { kestravo::posix::NamedEventFile::PrepareSpare(); }

void ZOL_DropPreparedEvent() { kestravo::posix::NamedEventFile::DropSpare(); }

int ZOL_SetEvent(HANDLE event) { return SetEvent(event) ? 0 : -1; }

int ZOL_ResetEvent(HANDLE event) { return ResetEvent(event) ? 0 : -1; }

int ZOL_CloseEvent(HANDLE handle) { return CloseHandle(handle) ? 0 : -1; }

uint32_t ZOL_WaitForSingleObject(HANDLE handle, uint32_t ms) {
  return WaitForSingleObject(handle, ms);
}

uint32_t ZOL_WaitForAny(HANDLE event, const HANDLE* processes, size_t count, uint32_t ms, uint8_t* ended) {
  return kestravo::posix::WaitForEventOrProcesses(event, processes, count, ms, ended);
}

struct ZOL_WaitSet::Impl {
  kestravo::posix::ProcessWaitSet set;
};

ZOL_WaitSet::ZOL_WaitSet() : impl(new (std::nothrow) Impl) {}

ZOL_WaitSet::~ZOL_WaitSet() { delete impl; }

bool ZOL_WaitSet::Add(HANDLE process) {
  if (impl == nullptr) {
    SetErrors(ENOMEM);
    return false;
  }
  return impl->set.Add(process);
}

void ZOL_WaitSet::Remove(HANDLE process) {
  if (impl != nullptr) impl->set.Remove(process);
}

uint32_t ZOL_WaitSet::Wait(HANDLE event, uint32_t ms, std::vector<HANDLE>* ended) {
  if (impl == nullptr || ended == nullptr) {
    SetErrors(impl == nullptr ? ENOMEM : EINVAL);
    return WAIT_FAILED;
  }
  return impl->set.Wait(event, ms, ended);
}

void* ZOL_Thread_Create(ZOL_THREAD_ROUTINE routine, void* param, uint32_t stackSize,
                        int32_t priority, uint32_t flags, uint32_t* threadId) {
  if (routine == nullptr || priority != 0 || flags != 0) {
    SetErrors(EINVAL);
    return nullptr;
  }
  ZolThread* thread = new (std::nothrow) ZolThread{pthread_t(), routine, param};
  if (thread == nullptr) {
    SetErrors(ENOMEM);
    return nullptr;
  }

  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc == 0 && stackSize != 0) {
    size_t size = stackSize < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : stackSize;
    rc = pthread_attr_setstacksize(&attr, size);
    if (rc != 0) pthread_attr_destroy(&attr);
  }
  if (rc == 0) {
    // The new thread inherits the creator's mask. Faults stay unblocked so that crash handlers
    // (the host's, a sanitizer's) still run on our threads.
    sigset_t blocked;
    sigset_t previous;
    sigfillset(&blocked);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) {
      sigdelset(&blocked, fault);
    }
    pthread_sigmask(SIG_SETMASK, &blocked, &previous);
    rc = pthread_create(&thread->thread, &attr, ThreadMain, thread);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attr);
  }
  if (rc != 0) {
    delete thread;
    SetErrors(rc);
    return nullptr;
  }
  if (threadId != nullptr) *threadId = NextThreadId();
  return thread;
}

int ZOL_Thread_Wait(void* handle) {
  if (handle == nullptr) {
    SetErrors(EINVAL);
    return EINVAL;
  }
  ZolThread* thread = static_cast<ZolThread*>(handle);
  int rc = pthread_join(thread->thread, nullptr);
  if (rc != 0) {
    SetErrors(rc);
    return rc;
  }
  delete thread;
  return 0;
}

void ZOL_Sleep(uint32_t ms) {
  if (ms == 0) {
    sched_yield();
    return;
  }
  if (ms == INFINITE) {
    for (;;) pause();
  }
  kestravo::posix::Deadline deadline(ms);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline.At(), nullptr) == EINTR) {
  }
}

int32_t ZOL_AtomicAdd(volatile int32_t* value, int32_t delta) {
  if (value == nullptr) {
    SetErrors(EINVAL);
    return 0;
  }
  return __atomic_fetch_add(value, delta, __ATOMIC_SEQ_CST);
}

int32_t ZOL_AtomicCas(volatile int32_t* value, int32_t exchange, int32_t comparand) {
  if (value == nullptr) {
    SetErrors(EINVAL);
    return 0;
  }
  int32_t found = comparand;
  __atomic_compare_exchange_n(value, &found, exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return found;
}

uint32_t ZOL_GetLastError() { return GetLastError(); }

int ZOL_GetSystemLastError() { return errno; }

int ZOL_AccessFile(const char* path, int mode) {
  int how;
  switch (mode) {
    case 0: how = F_OK; break;
    case 2: how = W_OK; break;
    case 4: how = R_OK; break;
    case 6: how = R_OK | W_OK; break;
    default: how = -1; break;
  }
  if (path == nullptr || how == -1) {
    SetErrors(EINVAL);
    return -1;
  }
  if (access(path, how) != 0) {
    SetErrors(errno);
    return -1;
  }
  return 0;
}
