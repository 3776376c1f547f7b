// The process-global objects, built when the library is loaded in the order below and destroyed
// in the reverse order at unload. Constructors only initialise members: no thread, file or
// kernel object is made before KESTRAVO_Init. Each accessor returns the one instance.
#pragma once
#include <atomic>

#include "platform/atomic_counter.h"
#include "platform/worker_quit.h"
#include "platform/zol_mutex.h"

class CProcessMgr;
class CKestravoConfig;
class CProcessLauncher;
class CRunningGuard;
class CNotifyWatch;
class HpidPool;

// Successful KESTRAVO_Init calls not yet undone; changed under the global lock only.
AtomicCounter* GetInitCounter();
// The global lock, held by every exported function but KESTRAVO_SetMsgCallBack for its whole
// call. Recursive, so a callback inside KESTRAVO_Init may call the library on the same thread.
ZOL_MUTEX* GetGlobalLock();
CProcessMgr* GetProcessMgr();
CKestravoConfig* GetKestravoConfig();
CProcessLauncher* GetProcessLauncher();
CRunningGuard* GetRunningGuard();
CNotifyWatch* GetNotifyWatch();
HpidPool* GetHpidPool();

// Makes a host that ends without the last KESTRAVO_Uninit (it returns from main, calls exit, or
// unloads the library) stop the workers first, while their events are still open; the children
// run on, as after a crash, for the next host to adopt. Called by KESTRAVO_Init once the workers
// run, under the global lock; registers once. Without it the runtime closed every handle at exit
// before the workers' destructors ran, and they waited for ever on events that could no longer
// be set.
void StopWorkersAtExit();
