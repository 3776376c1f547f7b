// The ten exported functions. Each but KESTRAVO_SetMsgCallBack holds the global lock for its
// whole call, checks that the library is initialised and forwards to the manager; destroy and
// kill hold it until their stop is queued and wait for the child without it. None lets an
// exception out: a failure inside becomes a result code.
//
// Lock order: the global lock, then the manager's (see process_mgr.h). A stop's wait takes the
// manager lock only, after the global lock is released.
#include <string>

#include "api/globals.h"
#include "common/error_codes.h"
#include "common/start_phases.h"
#include "kestravo.h"
#include "manager/process_mgr.h"
#include "platform/log_line.h"

namespace {

// How long a library thread waits for the global lock before it looks at its quit flag again.
constexpr uint32_t kWorkerLockSliceMs = 20;

// A first KESTRAVO_Init is running, and the KESTRAVO_Init calls made meanwhile from its
// MSG_ATTACHABLE callbacks, counted once it is done. Guarded by the global lock.
bool initialising = false;
int32_t nestedInits = 0;

// Holds the global lock for one exported call. A host thread waits for it as long as it takes.
// A library thread (the host's callback calling in) gives up once its worker is asked to end:
// the last Uninit holds the lock while it waits for that very thread.
class CallLock {
 public:
  CallLock() : owns_(Take()) {}
  ~CallLock() {
    if (owns_) ZOL_MutexUnlock(GetGlobalLock());
  }
  CallLock(const CallLock&) = delete;
  CallLock& operator=(const CallLock&) = delete;
  bool Owns() const { return owns_; }

 private:
  static bool Take() {
    const std::atomic<bool>* quit = GetWorkerQuitFlag();
    if (quit == nullptr) return ZOL_MutexLock(GetGlobalLock()) == 0;
    while (!quit->load()) {
      if (ZOL_MutexTimedLock(GetGlobalLock(), kWorkerLockSliceMs) == 0) return true;
    }
    return false;
  }
  bool owns_;
};

// True when the lock is held and the library initialised; otherwise logs, under the caller's
// name, why not.
bool Initialised(const char* function, const CallLock& lock) {
  if (!lock.Owns()) {
    KESTRAVO_LOG_CODE(LOG_ERROR, function, KESTRAVO_ERR_NOT_INITIALISED,
                      "kestravo is stopping, a call from its own thread is refused");
    return false;
  }
  if (GetInitCounter()->Get() != 0) return true;
  KESTRAVO_LOG_CODE(LOG_ERROR, function, KESTRAVO_ERR_NOT_INITIALISED,
                    "kestravo has not been inited, you should init first.");
  return false;
}

// The shape of every export but Init, Uninit and SetMsgCallBack: the global lock for the whole
// call, the initialised check, then the call. An exception (from allocating a copy, say) becomes
// the given result.
template <typename Result, typename Call>
Result Forward(const char* function, Result notInitialised, Result onException, Call call) noexcept {
  try {
    CallLock lock;
    if (!Initialised(function, lock)) return notInitialised;
    return call();
  } catch (...) {
    return onException;
  }
}

}  // namespace

int32_t KESTRAVO_Init(void) noexcept {
  static const char* const kFunction = "KESTRAVO_Init";
  try {
    LogInit("log4cxx.properties", 0);
    CallLock lock;
    if (!lock.Owns()) return KESTRAVO_NOT_INITIALISED;
    if (GetInitCounter()->Get() >= 1) {
      int32_t count = GetInitCounter()->Increment();
      KESTRAVO_LOG_INFO(kFunction, "[initCouter=%d]vomar already init", count);
      return KESTRAVO_OK;
    }
    if (initialising) {
      // From a MSG_ATTACHABLE callback of the first Init: loading again would pull the list the
      // callback is being walked from out from under it.
      ++nestedInits;
      KESTRAVO_LOG_INFO(kFunction, "[nestedInits=%d]init called during init, counted when it is done", nestedInits);
      return KESTRAVO_OK;
    }
    initialising = true;
    int32_t result = KESTRAVO_INIT_FAILED;
    try {
      result = GetProcessMgr()->Init();
    } catch (...) {
    }
    initialising = false;
    if (result == 0) StopWorkersAtExit();
    for (int32_t n = result == 0 ? nestedInits + 1 : 0; n > 0; --n) GetInitCounter()->Increment();
    nestedInits = 0;
    return result;
  } catch (...) {
    return KESTRAVO_INIT_FAILED;
  }
}

int32_t KESTRAVO_Uninit(void) noexcept {
  static const char* const kFunction = "KESTRAVO_Uninit";
  try {
    CallLock lock;
    if (!lock.Owns()) return KESTRAVO_NOT_INITIALISED;
    if (initialising && nestedInits > 0) {
      --nestedInits;
      return KESTRAVO_OK;
    }
    if (GetInitCounter()->Get() == 0) {
      KESTRAVO_LOG_CODE(LOG_ERROR, kFunction, KESTRAVO_ERR_NOT_INITIALISED, "vomar not init yet");
      return KESTRAVO_NOT_INITIALISED;
    }
    int32_t count = GetInitCounter()->Decrement();
    if (count >= 1) {
      KESTRAVO_LOG_INFO(kFunction, "[initCouter=%d]need not uninit vomar yet", count);
      return KESTRAVO_OK;
    }
    GetProcessMgr()->Uninit();
    return KESTRAVO_OK;
  } catch (...) {
    return KESTRAVO_OK;
  }
}

int32_t KESTRAVO_CreateProcess(const char* exePath, const char* cmdLine, uint32_t* hpid, uint64_t userData) noexcept {
  return Forward<int32_t>("KESTRAVO_CreateProcess", KESTRAVO_NOT_INITIALISED, KESTRAVO_NO_RESOURCE, [&] {
    // Null strings are refused like an empty path, with the manager's own line.
    if (exePath == nullptr || cmdLine == nullptr) {
      KESTRAVO_LOG_CODE(LOG_WARN, "CProcessMgr::CreateProcessA", KESTRAVO_ERR_INVALID_PARAM,
                        "[path=%s,cmdline=%s]Param is invalid!", exePath ? exePath : "", cmdLine ? cmdLine : "");
      return KESTRAVO_INVALID_ARGUMENT;
    }
    return GetProcessMgr()->CreateProcess(std::string(exePath), std::string(cmdLine), hpid, userData);
  });
}

namespace {

// A destroy or kill: queued under the global lock, waited for without it, so that a stop holds
// up no other call, and stops called from several threads run side by side.
int32_t StopWithoutTheLock(const char* function, uint32_t hpid, int32_t taskType, uint32_t graceMs) noexcept {
  CProcessMgr::PendingStop pending;
  try {
    // A child whose start is on the launcher right now is stopped once that start is reported,
    // waited for without the lock.
    const auto deadline = std::chrono::steady_clock::now() + CProcessMgr::kStartInHandWait;
    int32_t result;
    do {
      pending.startInHand.Reset();  // kept only by a BeginStop that ran: not after an Uninit
      result = Forward<int32_t>(function, KESTRAVO_NOT_INITIALISED, KESTRAVO_STOP_TIMEOUT,
                                [&] { return GetProcessMgr()->BeginStop(hpid, taskType, graceMs, &pending); });
    } while (result != KESTRAVO_OK && GetProcessMgr()->WaitForStart(pending, deadline));
    return pending.active ? GetProcessMgr()->FinishStop(pending) : result;
  } catch (...) {
    return KESTRAVO_STOP_TIMEOUT;
  }
}

}  // namespace

int32_t KESTRAVO_DestroyProcess(uint32_t hpid, uint32_t graceMs) noexcept {
  return StopWithoutTheLock("KESTRAVO_DestroyProcess", hpid, TASK_DESTROY, graceMs);
}

int32_t KESTRAVO_KillProcess(uint32_t hpid) noexcept {
  return StopWithoutTheLock("KESTRAVO_KillProcess", hpid, TASK_KILL, 0);
}

int32_t KESTRAVO_RestartProcess(uint32_t hpid) noexcept {
  return Forward<int32_t>("KESTRAVO_RestartProcess", KESTRAVO_NOT_INITIALISED, KESTRAVO_INVALID_ARGUMENT,
                          [&] { return GetProcessMgr()->RestartProcess(hpid); });
}

int32_t KESTRAVO_SetMsgCallBack(MsgCallBack callback, void* userValue) noexcept {
  return GetProcessMgr()->SetMsgCallBack(callback, userValue);
}

int32_t KESTRAVO_GetOSPid(uint32_t hpid, uint32_t* osPid) noexcept {
  return Forward<int32_t>("KESTRAVO_GetOSPid", KESTRAVO_NOT_INITIALISED, KESTRAVO_INVALID_ARGUMENT, [&] {
    if (osPid == nullptr) return KESTRAVO_INVALID_ARGUMENT;
    return GetProcessMgr()->GetOSPid(hpid, osPid);
  });
}

int32_t KESTRAVO_Attach(uint32_t hpid, uint32_t osPid) noexcept {
  return Forward<int32_t>("KESTRAVO_Attach", KESTRAVO_NOT_INITIALISED, KESTRAVO_NO_RESOURCE,
                          [&] { return GetProcessMgr()->Attach(hpid, osPid); });
}

bool KESTRAVO_IsManaged(uint32_t osPid, uint32_t* hpid) noexcept {
  static const char* const kFunction = "KESTRAVO_IsManaged";
  return Forward<bool>(kFunction, false, false, [&] {
    if (hpid == nullptr || static_cast<int32_t>(osPid) < 0) {
      KESTRAVO_LOG_CODE(LOG_ERROR, kFunction, KESTRAVO_ERR_INVALID_PARAM, "Param error.");
      return false;
    }
    return GetProcessMgr()->IsManaged(osPid, hpid);
  });
}

#ifdef KESTRAVO_START_PHASES
// The benchmark's read of where the starts spent their time (common/start_phases.h), in a library
// built for it only: the sums (ns) and counts of up to n phases, zeroed after when reset is not 0.
// The number of phases the library knows.
extern "C" KESTRAVO_API int32_t KESTRAVO_BenchStartPhases(uint64_t* ns, uint64_t* counts, uint32_t n,
                                                         int32_t reset) noexcept {
  kestravo::ReadStartPhases(ns, counts, n, reset != 0);
  return static_cast<int32_t>(kestravo::kStartPhaseCount);
}
#endif
