#include "api/globals.h"

#include <cstdlib>

#include "state/kestravo_config.h"
#include "guard/notify_watch.h"
#include "guard/running_guard.h"
#include "launcher/process_launcher.h"
#include "manager/hpid_pool.h"
#include "manager/process_mgr.h"

namespace {

struct GlobalLock {
  GlobalLock() { ZOL_MutexCreate(&mutex, 0); }
  ~GlobalLock() { ZOL_MutexDestroy(&mutex); }
  ZOL_MUTEX mutex = nullptr;
};

// One translation unit, so the order of construction is the order of definition. The workers
// are destroyed (and their threads stopped) before the manager and the store they call.
AtomicCounter initCounter;
GlobalLock globalLock;
CProcessMgr processMgr;
CKestravoConfig kestravoConfig;
CProcessLauncher processLauncher;
CRunningGuard runningGuard;
CNotifyWatch notifyWatch;
HpidPool hpidPool;

}  // namespace

AtomicCounter* GetInitCounter() { return &initCounter; }
ZOL_MUTEX* GetGlobalLock() { return &globalLock.mutex; }
CProcessMgr* GetProcessMgr() { return &processMgr; }
CKestravoConfig* GetKestravoConfig() { return &kestravoConfig; }
CProcessLauncher* GetProcessLauncher() { return &processLauncher; }
CRunningGuard* GetRunningGuard() { return &runningGuard; }
CNotifyWatch* GetNotifyWatch() { return &notifyWatch; }
HpidPool* GetHpidPool() { return &hpidPool; }

void StopWorkersAtExit() {
  static bool armed = false;  // guarded by the global lock
  if (armed) return;
  // Registered after the runtime's handle table was made (the workers' events are in it), so it
  // runs before that table closes its handles at exit.
  armed = std::atexit([] { GetProcessMgr()->StopWorkers(); }) == 0;
}
