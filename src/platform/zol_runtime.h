// The runtime library's events, threads, sleeping, atomics, last error and file test.
// The locks are in zol_mutex.h, the atomic counter in atomic_counter.h.
//
// Events and process handles share one handle space with the Windows subset (os.h): a handle from
// CreateEventA, CreateProcessA or OpenProcess may be set, waited on and closed here too.
// Nothing here throws; all functions may be called from several threads at once. A failure leaves
// a Windows code for ZOL_GetLastError() and, where the OS gave one, errno for
// ZOL_GetSystemLastError().
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "os.h"

// A new unnamed event, not signalled, manual reset: once set it stays set for every waiter until
// ZOL_ResetEvent. flags must be 0. Null on failure. Close it with ZOL_CloseEvent.
HANDLE ZOL_CreateEvent(int flags);

// Makes ahead, off the caller's path, what the next CreateEventA of a named auto-reset event that
// is not signalled needs, so that the create only has to name it; ZOL_DropPreparedEvent lets it
// go. Best effort: a create without one works as always. Windows has nothing to prepare.
void ZOL_PrepareNamedEvent();
void ZOL_DropPreparedEvent();

// Set and reset an event of any kind. 0 on success, non-zero on a bad handle.
int ZOL_SetEvent(HANDLE event);
int ZOL_ResetEvent(HANDLE event);

// Closes a handle of any kind, process handles included. Null does nothing and succeeds; an unknown
// handle fails (non-zero). A thread already waiting on the object keeps a valid wait.
int ZOL_CloseEvent(HANDLE handle);

// Waits until the object is signalled (an event set, a process ended): 0 then, WAIT_TIMEOUT when
// ms passed first (0xFFFFFFFF waits without limit), WAIT_FAILED on a bad handle.
uint32_t ZOL_WaitForSingleObject(HANDLE handle, uint32_t ms);

// Waits until event (may be null) is set, any of the count process handles has ended, or ms pass
// (0xFFFFFFFF: no limit). ended (count flags) gets 1 for every process found ended, so that
// processes that end together are seen in one wait. 0 when something happened, WAIT_TIMEOUT, or
// WAIT_FAILED on a bad handle. Any number of processes; the event is best an unnamed one.
uint32_t ZOL_WaitForAny(HANDLE event, const HANDLE* processes, size_t count, uint32_t ms, uint8_t* ended);

// Process handles watched across many waits, for a waiter whose set changes little between them:
// a wait costs what the ended members cost, not what all of them cost. The set holds no handle
// open; keep each open while it is a member. One thread at a time.
class ZOL_WaitSet {
 public:
  ZOL_WaitSet();
  ~ZOL_WaitSet();
  ZOL_WaitSet(const ZOL_WaitSet&) = delete;
  ZOL_WaitSet& operator=(const ZOL_WaitSet&) = delete;

  // False on a bad handle or no memory. Adding a member again does nothing.
  bool Add(HANDLE process);
  void Remove(HANDLE process);
  // As ZOL_WaitForAny over the members: each member found ended is appended to ended (which the
  // caller empties); an ended member stays a member until removed.
  uint32_t Wait(HANDLE event, uint32_t ms, std::vector<HANDLE>* ended);

 private:
  struct Impl;
  Impl* impl;  // null when it could not be allocated: every call then fails
};

// The entry routine of a thread; its result is discarded.
typedef uint32_t (*ZOL_THREAD_ROUTINE)(void* param);

// Starts a thread that runs routine(param). Returns an opaque handle that must be passed once to
// ZOL_Thread_Wait, or null on failure (ZOL_GetSystemLastError gives errno, ZOL_GetLastError a
// Windows code). The trailing arguments:
// - stackSize: bytes of stack, 0 for the system default; a small value is raised to the minimum;
// - priority, flags: reserved, must be 0 (otherwise EINVAL);
// - threadId: may be null; receives a number unique in this process, for logs, not an OS id.
// The new thread blocks asynchronous signals, so they reach the host's own threads.
void* ZOL_Thread_Create(ZOL_THREAD_ROUTINE routine, void* param, uint32_t stackSize,
                        int32_t priority, uint32_t flags, uint32_t* threadId);

// Waits until the thread has ended and frees its handle: 0 on success. Fails (non-zero, handle
// kept) for null or when a thread waits for itself. The handle is invalid after success.
int ZOL_Thread_Wait(void* thread);

// Sleeps at least ms milliseconds, resuming after signals until the time has passed.
void ZOL_Sleep(uint32_t ms);

// Sequentially consistent atomics on a 32-bit value; overflow wraps.
// AtomicAdd adds delta and returns the value from before. AtomicCas stores exchange if the value
// equals comparand and returns the value it found either way; with (0, 0) it is an atomic read.
// A null pointer returns 0 and changes nothing.
int32_t ZOL_AtomicAdd(volatile int32_t* value, int32_t delta);
int32_t ZOL_AtomicCas(volatile int32_t* value, int32_t exchange, int32_t comparand);

// The calling thread's last error as a Windows code (the same value as GetLastError()).
uint32_t ZOL_GetLastError();

// The calling thread's errno. Read it right after the failing call: later calls may change it.
int ZOL_GetSystemLastError();

// 0 when path can be accessed in mode, -1 otherwise (errno and last error set), as _access on
// Windows. mode: 0 exists, 2 writable, 4 readable, 6 both; other modes and a null path fail with
// EINVAL.
int ZOL_AccessFile(const char* path, int mode);
