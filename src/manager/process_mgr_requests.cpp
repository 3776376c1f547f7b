// The manager's operations on the host's requests: create, destroy, kill, restart, look up.
#include <algorithm>
#include <atomic>
#include <chrono>

#include "api/globals.h"
#include "guard/notify_watch.h"
#include "common/child_marker.h"
#include "common/error_codes.h"
#include "common/start_phases.h"
#include "launcher/child_identity.h"
#include "launcher/path_util.h"
#include "manager/hpid_pool.h"
#include "manager/process_mgr.h"
#include "platform/log_line.h"
#include "platform/zol_runtime.h"

namespace {
// How long a stop waits for the launcher: a destroy waits out its grace and a little more.
constexpr uint32_t kStopConfirmMs = 5000;
constexpr uint32_t kStopConfirmBeyondGraceMs = 2000;
// How often a library thread waiting for a stop looks at its quit flag.
constexpr uint32_t kWorkerQuitLookMs = 20;
}

int32_t CProcessMgr::CreateProcess(const std::string& exePath, const std::string& cmdLine, uint32_t* hpidOut,
                                   uint64_t userData) {
  // The Windows build's name of this operation, which the log keeps.
  static const char* const kFunction = "CProcessMgr::CreateProcessA";
  if (hpidOut == nullptr || exePath.empty() || !IsFileAccessible(exePath)) {
    KESTRAVO_LOG_CODE(LOG_WARN, kFunction, KESTRAVO_ERR_INVALID_PARAM, "[path=%s,cmdline=%s]Param is invalid!",
                      exePath.c_str(), cmdLine.c_str());
    return KESTRAVO_INVALID_ARGUMENT;
  }
  KESTRAVO_LOG_INFO(kFunction, "[path=%s,cmdline=%s]Prepare to CreateProcess!", exePath.c_str(), cmdLine.c_str());

  ManagedProcess process;
  process.hpid = GetHpidPool()->Alloc();
  if (process.hpid == KESTRAVO_NO_HPID) {
    KESTRAVO_LOG_CODE(LOG_ERROR, kFunction, KESTRAVO_ERR_NO_RESOURCE, "Free PID is used up!");
    return KESTRAVO_NO_RESOURCE;
  }
  // Without a GUID of its own the child would share a stop event and a state file identity.
  if (!CreateGuidString(&process.guid)) {
    KESTRAVO_LOG_CODE(LOG_ERROR, kFunction, KESTRAVO_ERR_NO_RESOURCE, "[error=%d]Create guid fail",
                      static_cast<int>(GetLastError()));
    GetHpidPool()->Free(static_cast<int32_t>(process.hpid));
    return KESTRAVO_NO_RESOURCE;
  }
  {
    KESTRAVO_TIME_START_PHASE(kestravo::kPhaseStopEvent);
    process.namedEvent = SharedEvent(createNamedEvent(process.guid));
  }
  if (process.namedEvent.Get() == nullptr) {
    KESTRAVO_LOG_CODE(LOG_ERROR, kFunction, KESTRAVO_ERR_NO_RESOURCE, "[namedEvent=%s]Create namedEvent fail",
                      process.guid.c_str());
    GetHpidPool()->Free(static_cast<int32_t>(process.hpid));
    return KESTRAVO_NO_RESOURCE;
  }
  KESTRAVO_LOG_INFO(kFunction, "[namedEvent=%s]Create namedEvent success", process.guid.c_str());

  process.exePath = exePath;
  process.userData = userData;
  process.cmdLine = kestravo::BuildChildCmdLine(process.hpid, process.guid, cmdLine);
  process.exeName = GetFileName(exePath);
  process.syncEvent = SharedEvent(ZOL_CreateEvent(0));
  if (process.syncEvent.Get() == nullptr) {
    KESTRAVO_LOG_CODE(LOG_ERROR, kFunction, KESTRAVO_ERR_EVENT_CREATE, "[exePath=%s,cmdLine=%s]Create SyncEvent fail",
                      process.exePath.c_str(), process.cmdLine.c_str());
    GetHpidPool()->Free(static_cast<int32_t>(process.hpid));
    return KESTRAVO_NO_RESOURCE;
  }

  // Before the child starts, so that its first words reach it.
  {
    KESTRAVO_TIME_START_PHASE(kestravo::kPhaseNotifyOpen);
    GetNotifyWatch()->OpenChannel(process.hpid, process.guid);
  }
  {
    ZOL_Guard guard(&lock_);
    startsPending_.insert_or_assign(process.hpid, process.syncEvent);
  }
  if (!GetProcessLauncher()->Lauch(TASK_CREATE, process)) {
    ZOL_Guard guard(&lock_);
    startsPending_.erase(process.hpid);
  }
  // The launcher is on its way with this start: the next one's stop event is made meanwhile.
  ZOL_PrepareNamedEvent();
  *hpidOut = process.hpid;
  KESTRAVO_LOG_INFO(kFunction, "Create Process end ,check if suc at func CProcessLauncher::insideLaucherRoutine");
  return KESTRAVO_OK;
}

HANDLE CProcessMgr::createNamedEvent(const std::string& name) {
  static const char* const kFunction = "CProcessMgr::createNamedEvent";
  bool existed = false;
  HANDLE event = CreateStopEvent(name, StopEventReset::kOnWait, &existed);
  if (existed) {
    ZOL_ResetEvent(event);
    KESTRAVO_LOG_INFO(kFunction, "[namedEvent=%s]namedEvent has been created twice! this must be caused by Error closing!",
                      name.c_str());
  }
  return event;
}

int32_t CProcessMgr::DestroyProcess(uint32_t hpid, uint32_t graceMs) { return Stop(hpid, TASK_DESTROY, graceMs); }

int32_t CProcessMgr::KillProcess(uint32_t hpid, const std::string& /*reserved*/) { return Stop(hpid, TASK_KILL, 0); }

int32_t CProcessMgr::Stop(uint32_t hpid, int32_t taskType, uint32_t graceMs) {
  const auto deadline = std::chrono::steady_clock::now() + kStartInHandWait;
  PendingStop pending;
  int32_t result;
  while ((result = BeginStop(hpid, taskType, graceMs, &pending)) != KESTRAVO_OK && WaitForStart(pending, deadline)) {
  }
  return pending.active ? FinishStop(pending) : result;
}

bool CProcessMgr::WaitForStart(const PendingStop& pending, std::chrono::steady_clock::time_point deadline) {
  const auto now = std::chrono::steady_clock::now();
  // A library thread (the host's callback) told to end does not wait on: the last Uninit does.
  const std::atomic<bool>* quit = GetWorkerQuitFlag();
  if (pending.startInHand.Get() == nullptr || now >= deadline || (quit != nullptr && quit->load())) return false;
  // In slices rather than on the event alone: a start that failed earlier left it set.
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
  ZOL_WaitForSingleObject(pending.startInHand.Get(), static_cast<uint32_t>(std::min<int64_t>(left, kWorkerQuitLookMs)));
  return true;
}

int32_t CProcessMgr::BeginStop(uint32_t hpid, int32_t taskType, uint32_t graceMs, PendingStop* pending) {
  const bool destroy = taskType == TASK_DESTROY;
  const char* const function = destroy ? "CProcessMgr::DestroyProcess" : "CProcessMgr::KillProcess";
  graceMs = !destroy ? 0 : graceMs == 0 ? kDefaultStopGraceMs : std::min(graceMs, kMaxStopGraceMs);
  CProcessLauncher* launcher = GetProcessLauncher();
  ManagedProcess& process = pending->process;
  pending->startInHand.Reset();
  bool found = false;
  SharedEvent startPending;
  {
    ZOL_Guard guard(&lock_);
    auto started = startsPending_.find(hpid);
    if (started != startsPending_.end()) startPending = started->second;
    auto it = processMap.find(hpid);
    if (it != processMap.end()) {
      found = true;
      process = it->second;
      if (destroy) KESTRAVO_LOG_INFO(function, "[pid=%d]Prepare to destroy process!", static_cast<int>(hpid));
      // Out of the table first: the exit this stop causes is then neither reported nor restarted,
      // and a second stop of the hpid answers 1 while this one goes on.
      processMap.erase(it);
      stops_.insert_or_assign(hpid, StopInHand{process});
    }
  }
  if (found) GetRunningGuard()->Wake();
  // Its channel goes with the hpid; a left-ended child is stopped all the same, at once.
  GetNotifyWatch()->CloseChannel(hpid);
  if (!found) {
    // Not started yet (a create that keeps failing): nothing runs, so cancelling is the stop.
    ManagedProcess queued;
    if (launcher->CancelStart(hpid, &queued)) {
      KESTRAVO_LOG_INFO(function, "[hpid=%d]start not done yet, cancelled", static_cast<int>(hpid));
      {
        ZOL_Guard guard(&lock_);
        startsPending_.erase(hpid);
      }
      GetKestravoConfig()->DeleteProcConfig(hpid, queued.guid);
      GetHpidPool()->Free(static_cast<int32_t>(hpid));
      return KESTRAVO_OK;
    }
    // Taken by the launcher and not yet reported: the caller waits for the report and begins
    // again. Not on the launcher's own thread, which would wait for itself.
    if (startPending.Get() != nullptr && !launcher->OnLauncherThread()) {
      pending->startInHand = startPending;
      return KESTRAVO_INVALID_ARGUMENT;
    }
    if (destroy) {
      KESTRAVO_LOG_CODE(LOG_ERROR, function, KESTRAVO_ERR_INVALID_PARAM, "[pid=%d]pid cannot be found, param is invalid!",
                        static_cast<int>(hpid));
    } else {
      KESTRAVO_LOG_CODE(LOG_ERROR, function, KESTRAVO_ERR_INVALID_PARAM, "[pid=%d]cannot be found in processMap!",
                        static_cast<int>(hpid));
    }
    return KESTRAVO_INVALID_ARGUMENT;
  }
  // Set only by this stop's report: a kill, too, returns once the child is gone.
  ZOL_ResetEvent(process.syncEvent.Get());
  pending->active = true;
  pending->taskType = taskType;
  pending->graceMs = graceMs;
  // On the launcher thread (the host's callback) nobody else would run the task.
  pending->runHere = launcher->OnLauncherThread() || !launcher->Lauch(taskType, process, 0, graceMs);
  return KESTRAVO_OK;
}

int32_t CProcessMgr::FinishStop(PendingStop& pending) {
  const char* const function =
      pending.taskType == TASK_DESTROY ? "CProcessMgr::DestroyProcess" : "CProcessMgr::KillProcess";
  const ManagedProcess& process = pending.process;
  if (pending.runHere) GetProcessLauncher()->RunStopNow(pending.taskType, process, pending.graceMs);
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(std::max(kStopConfirmMs, pending.graceMs + kStopConfirmBeyondGraceMs));
  // A library thread (the host's callback) looks at its quit flag now and then: the last Uninit
  // waits for it.
  const std::atomic<bool>* quit = GetWorkerQuitFlag();
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    uint32_t waitMs = static_cast<uint32_t>(std::max<int64_t>(left, 0));
    if (quit != nullptr) waitMs = std::min(waitMs, kWorkerQuitLookMs);
    const bool signalled = ZOL_WaitForSingleObject(process.syncEvent.Get(), waitMs) == WAIT_OBJECT_0;
    {
      ZOL_Guard guard(&lock_);
      if (StopOverLocked(process)) return KESTRAVO_OK;
      // Set without a report: the launcher stopped and dropped the task; Uninit ends the child.
      if (signalled) ZOL_ResetEvent(process.syncEvent.Get());
    }
    if (left <= 0 || (quit != nullptr && quit->load())) return AbandonStop(process, function);
  }
}

bool CProcessMgr::StopOverLocked(const ManagedProcess& process) {
  auto it = stops_.find(process.hpid);
  // Gone: the last Uninit ended the child and freed every hpid.
  if (it == stops_.end() || it->second.process.guid != process.guid) return true;
  if (!it->second.done) return false;
  // Under the manager lock, as Uninit frees them all: a free made after the lock could meet the
  // hpid handed out anew by a later Init.
  stops_.erase(it);
  GetHpidPool()->Free(static_cast<int32_t>(process.hpid));
  return true;
}

int32_t CProcessMgr::AbandonStop(const ManagedProcess& process, const char* function) {
  {
    ZOL_Guard guard(&lock_);
    if (StopOverLocked(process)) return KESTRAVO_OK;
    stops_.find(process.hpid)->second.abandoned = true;
  }
  KESTRAVO_LOG_INFO(function, "[hpid=%d]stop not confirmed in time, it goes on; the hpid is freed when it is done",
                    static_cast<int>(process.hpid));
  return KESTRAVO_STOP_TIMEOUT;
}

ProcessMap::iterator CProcessMgr::FindManaged(uint32_t hpid, const char* function) {
  auto it = processMap.find(hpid);
  if (it == processMap.end()) {
    KESTRAVO_LOG_CODE(LOG_ERROR, function, KESTRAVO_ERR_INVALID_PARAM, "[pid=%d]pid cannot be found in processMap!",
                      static_cast<int>(hpid));
  }
  return it;
}

int32_t CProcessMgr::RestartProcess(uint32_t hpid) {
  static const char* const kFunction = "CProcessMgr::RestartProcess";
  ManagedProcess process;
  {
    ZOL_Guard guard(&lock_);
    auto it = FindManaged(hpid, kFunction);
    if (it == processMap.end()) return KESTRAVO_INVALID_ARGUMENT;
    it->second.SetState(PROCESS_RESTART_REQUESTED);
    process = it->second;
    KESTRAVO_LOG_INFO(kFunction, "[pid=%d,exePath=%s]Process prepare to restart.", static_cast<int>(hpid),
                      process.exePath.c_str());
  }
  GetRunningGuard()->Wake();
  GetNotifyWatch()->ProcessEnded(hpid, process.pid);
  GetProcessLauncher()->Lauch(TASK_KILL, process);
  GetProcessLauncher()->Lauch(TASK_RELAUNCH, process);
  return KESTRAVO_OK;
}

int32_t CProcessMgr::GetOSPid(uint32_t hpid, uint32_t* osPid) {
  static const char* const kFunction = "CProcessMgr::GetOSPid";
  ZOL_Guard guard(&lock_);
  // Handed out, neither in the table nor a stop that timed out: its first start is queued or
  // under way, and a host that polls for the pid meanwhile does nothing wrong.
  if (processMap.count(hpid) == 0 && GetHpidPool()->IsTaken(hpid) && stops_.count(hpid) == 0) {
    KESTRAVO_LOG_DEBUG(kFunction, "[pid=%d]not started yet", static_cast<int>(hpid));
    return KESTRAVO_INVALID_ARGUMENT;
  }
  auto it = FindManaged(hpid, kFunction);
  if (it == processMap.end()) return KESTRAVO_INVALID_ARGUMENT;
  *osPid = it->second.pid;
  return KESTRAVO_OK;
}

bool CProcessMgr::IsManaged(uint32_t osPid, uint32_t* hpid) {
  ZOL_Guard guard(&lock_);
  for (const auto& entry : processMap) {
    // A child left ended no longer owns its pid, which may name another process by now.
    if (entry.second.pid == osPid && entry.second.state != PROCESS_ENDED) {
      *hpid = entry.second.hpid;
      return true;
    }
  }
  return false;
}
