// The manager's handlers of the workers' reports: a child that exits unasked is reported and,
// unless its restart policy leaves it ended, relaunched under its hpid, as the spacing of young
// deaths allows; what a child says through its notify channel is kept and passed on.
#include <algorithm>

#include "api/globals.h"
#include "common/error_codes.h"
#include "common/start_phases.h"
#include "common/exit_text.h"
#include "manager/exit_report.h"
#include "manager/hpid_pool.h"
#include "manager/process_mgr.h"
#include "manager/restart_policy.h"
#include "platform/log_line.h"
#include "platform/process_remains.h"
#include "platform/zol_runtime.h"

namespace {

// How long a child's settings change may wait for the state file: at most one rewrite per this
// time however often a child changes them, and a host killed within it loses only the changes
// of its last moment; short beside any restart of a host.
constexpr uint32_t kSettingsWriteMs = 50;
// How long a new child has before the bookkeeping of its start competes with it for the CPU;
// about its exec and loading on a small machine.
constexpr std::chrono::milliseconds kStartSettle{3};

}  // namespace

int32_t CProcessMgr::OnGuardNotify(uint32_t /*notifyType*/, uint32_t hpid) {
  static const char* const kFunction = "CProcessMgr::OnGuardNotify";
  auto notFound = [&] {
    KESTRAVO_LOG_CODE(LOG_ERROR, kFunction, KESTRAVO_ERR_PROCESS_EXITED,
                      "[exePath=%s,cmdLine=%s,hpid=%d]process is under exception exit, but not find it in processMap!",
                      "", "", static_cast<int>(hpid));
    return -1;
  };
  // The guard reports from its copy of the table, so the record may have a new process by now:
  // an exit counts only while the record's own process has ended, else the relaunch would start
  // a second one.
  SharedEvent current;
  uint32_t pid = 0;
  std::chrono::steady_clock::time_point startedAt;
  {
    ZOL_Guard guard(&lock_);
    auto it = processMap.find(hpid);
    if (it == processMap.end()) return notFound();
    current = it->second.processHandle;
    pid = it->second.pid;
    startedAt = it->second.startedAt;
  }
  if (ZOL_WaitForSingleObject(current.Get(), 0) == WAIT_TIMEOUT) return 0;
  // Read before the manager lock: reading may reap the child.
  ExitedProcInfo exited = MakeExitedProcInfo(current.Get(), pid, startedAt);
  // What it said just before it ended decides how its end is taken.
  ChildSettings lastSettings;
  bool lastReady = false;
  std::string lastStatus;
  const bool heard = GetNotifyWatch()->TakeFinalSettings(hpid, pid, &lastSettings, &lastReady, &lastStatus);
  ManagedProcess process;
  bool endedRunning = false;
  {
    ZOL_Guard guard(&lock_);
    auto it = processMap.find(hpid);
    if (it == processMap.end()) return notFound();
    // Relaunched meanwhile: the guard looks at the new process on its next pass.
    if (it->second.processHandle.Get() != current.Get()) return 0;
    if (it->second.state == PROCESS_RUNNING) {
      endedRunning = true;
      if (heard) it->second.settings = lastSettings;
      if (it->second.stopCause != 0) {
        exited.cause = it->second.stopCause;
        exited.causeValue = it->second.stopCauseValue;
      }
      exited.restarting = RestartsAfter(it->second.settings, exited) ? 1 : 0;
      it->second.SetState(exited.restarting ? PROCESS_EXITED : PROCESS_ENDED);
      it->second.youngExits = NextYoungExits(it->second.youngExits, exited.runMs);
    }
    process = it->second;
    if (process.state == PROCESS_EXITED) {
      KESTRAVO_LOG_CODE(LOG_ERROR, kFunction, KESTRAVO_ERR_PROCESS_EXITED,
                        "[exePath=%s,cmdLine=%s,hpid=%d]process is exit, prepare to restart!", process.exePath.c_str(),
                        process.cmdLine.c_str(), static_cast<int>(hpid));
    }
  }
  GetNotifyWatch()->ProcessEnded(hpid, pid);
  // Its last words come before its end, as it said them.
  if (endedRunning && lastReady) Notify(hpid, MSG_READY, nullptr);
  if (endedRunning && !lastStatus.empty()) Notify(hpid, MSG_STATUS, const_cast<char*>(lastStatus.c_str()));
  if (process.state == PROCESS_ENDED) {
    KESTRAVO_LOG_INFO(kFunction, "[hpid=%d,pid=%d]%s; its restart policy (%s) leaves it ended", static_cast<int>(hpid),
                      static_cast<int>(exited.pid), DescribeExit(exited).c_str(), RestartPolicyText(process.settings.restart));
    Notify(process.hpid, MSG_EXITED, &exited);
  } else if (process.state == PROCESS_EXITED) {
    const uint32_t spacingMs = RelaunchSpacingMs(process.youngExits);
    exited.relaunchInMs = spacingMs;
    if (spacingMs > 0) {
      KESTRAVO_LOG_INFO(kFunction, "[hpid=%d,pid=%d]%s, restart in %u ms", static_cast<int>(hpid),
                        static_cast<int>(exited.pid), DescribeExit(exited).c_str(), static_cast<unsigned>(spacingMs));
    } else {
      KESTRAVO_LOG_INFO(kFunction, "[hpid=%d,pid=%d]%s", static_cast<int>(hpid), static_cast<int>(exited.pid),
                        DescribeExit(exited).c_str());
    }
    Notify(process.hpid, MSG_EXITED, &exited);
    // Queued with its delay: the launcher runs other tasks meanwhile, and a stop of the child
    // takes the waiting relaunch out of the queue.
    GetProcessLauncher()->Lauch(TASK_RELAUNCH, process, spacingMs);
  } else {
    Notify(process.hpid, process.state, nullptr);
  }
  return 0;
}

int32_t CProcessMgr::OnCreateNotify(ManagedProcess* process, bool ok) {
  if (ok) {
    {
      KESTRAVO_TIME_START_PHASE(kestravo::kPhaseRecord);
      ZOL_Guard guard(&lock_);
      processMap.insert_or_assign(process->hpid, *process);
      startsPending_.erase(process->hpid);
    }
    // Recorded before it is heard, so that what it says finds its entry; heard before the guard
    // watches it, so that its exit finds what it said.
    {
      KESTRAVO_TIME_START_PHASE(kestravo::kPhaseStateFile);
      SaveProcConfig(*process);
    }
    KESTRAVO_TIME_START_PHASE(kestravo::kPhaseGuard);
    GetNotifyWatch()->ProcessStarted(process->hpid, process->pid, ChildSettings{}, false);
    // A burst's new children reach the guard together, at the launcher's next idle moment past
    // the flush delay: one pass over the table for them, not one per start. Until then a child
    // that ends stays signalled, and that pass reports it.
    lastStartAt_ = std::chrono::steady_clock::now();
    if (!guardWakeDeferred_) {
      guardWakeDeferred_ = true;
      guardWakeSince_ = lastStartAt_;
    }
    ZOL_SetEvent(process->syncEvent.Get());
  } else {
    ZOL_SetEvent(process->syncEvent.Get());
  }
  return 0;
}

int32_t CProcessMgr::OnRelaunchNotify(ManagedProcess* process, bool ok) {
  static const char* const kFunction = "CProcessMgr::OnRelaunchNotify";
  if (ok) {
    bool installed = false;
    SharedEvent previous;
    uint32_t previousPid = 0;
    {
      ZOL_Guard guard(&lock_);
      auto it = processMap.find(process->hpid);
      // Same guid: the hpid may have been freed and handed to a new record since the relaunch
      // was queued. A restart asked for after an exit's relaunch was queued has queued a kill
      // and a relaunch of its own, and its kill does not know the process started here.
      if (it != processMap.end() && it->second.guid == process->guid &&
          (it->second.state != PROCESS_RESTART_REQUESTED || process->state == PROCESS_RESTART_REQUESTED)) {
        previous = it->second.processHandle;
        previousPid = it->second.pid;
        it->second.processHandle = process->processHandle;
        it->second.pid = process->pid;
        it->second.startedAt = process->startedAt;
        it->second.SetState(PROCESS_RUNNING);
        // A new process says its settings again; until then the defaults hold.
        it->second.settings = process->settings = ChildSettings{};
        it->second.stopCause = 0;
        it->second.stopCauseValue = 0;
        installed = true;
      }
    }
    if (installed) {
      SaveProcConfig(*process);
      GetNotifyWatch()->ProcessStarted(process->hpid, process->pid, ChildSettings{}, false);
      GetRunningGuard()->Wake();
      // A restart asked for while its record's earlier relaunch ran: its kill held the process
      // before that one, so the process it replaces is still running.
      if (previous.Get() != process->processHandle.Get() &&
          ZOL_WaitForSingleObject(previous.Get(), 0) == WAIT_TIMEOUT) {
        KESTRAVO_LOG_INFO(kFunction, "[hpid=%d,pid=%d]process replaced by a later relaunch, terminate it",
                          static_cast<int>(process->hpid), static_cast<int>(previousPid));
        TerminateProcessTree(previous.Get());
      }
    } else {
      // Destroyed, killed or restarted while this relaunch ran: the new process would run on
      // unmanaged, or beside the restart's. It has done no work yet; end it.
      KESTRAVO_LOG_INFO(kFunction, "[hpid=%d,pid=%d]relaunched process no longer wanted, terminate it",
                        static_cast<int>(process->hpid), static_cast<int>(process->pid));
      TerminateProcessTree(process->processHandle.Get());
    }
  }
  Notify(process->hpid, ok ? MSG_RESTARTED : MSG_RESTART_FAILED, nullptr);
  return 0;
}

int32_t CProcessMgr::OnKillNotify(ManagedProcess* process) { return OnStopNotify(process); }

int32_t CProcessMgr::OnDestroyNotify(ManagedProcess* process) { return OnStopNotify(process); }

int32_t CProcessMgr::OnStopNotify(ManagedProcess* process) {
  // Takes the stop's entry out and frees its hpid when its waiter gave up, else marks it done;
  // true when it was taken. Under the manager lock, as every free of a stop's hpid.
  auto settle = [&](bool markDone) {
    ZOL_Guard guard(&lock_);
    auto it = stops_.find(process->hpid);
    if (it == stops_.end() || it->second.process.guid != process->guid) return false;
    if (it->second.abandoned) {
      stops_.erase(it);
      GetHpidPool()->Free(static_cast<int32_t>(process->hpid));
      return true;
    }
    if (markDone) it->second.done = true;
    return false;
  };
  // An abandoned stop frees its hpid before its entry leaves the file, which tells the host it is
  // done.
  bool freed = settle(false);
  // By guid: the hpid may belong to a new record by now, or to an earlier run's child that has
  // not been adopted yet.
  GetKestravoConfig()->DeleteProcConfig(process->hpid, process->guid);
  // Done only once the entry has left the file; a waiter that gave up meanwhile left it to us.
  if (!freed) settle(true);
  ZOL_SetEvent(process->syncEvent.Get());
  return 0;
}

uint32_t CProcessMgr::OnLauncherIdle(uint32_t maxDelayMs) {
  const auto now = std::chrono::steady_clock::now();
  // A child started a moment ago has the machine to itself while it execs and loads: the
  // rewrite and the guard's pass that its start brings wait until then, as far as an idle
  // launcher is concerned. Within a burst the flush delay rules, as before.
  if (maxDelayMs == 0 && now - lastStartAt_ < kStartSettle) {
    return static_cast<uint32_t>(std::chrono::ceil<std::chrono::milliseconds>(lastStartAt_ + kStartSettle - now).count());
  }
  if (guardWakeDeferred_ && now - guardWakeSince_ >= std::chrono::milliseconds(maxDelayMs)) {
    guardWakeDeferred_ = false;
    GetRunningGuard()->Wake();
  }
  KESTRAVO_TIME_START_PHASE(kestravo::kPhaseStateFile);
  return GetKestravoConfig()->FlushDeferred(maxDelayMs);
}

ManagedProcess* CProcessMgr::RunningRecordLocked(uint32_t hpid, uint32_t pid) {
  auto it = processMap.find(hpid);
  if (it == processMap.end() || it->second.pid != pid || it->second.state != PROCESS_RUNNING) return nullptr;
  return &it->second;
}

void CProcessMgr::OnChildSettings(uint32_t hpid, uint32_t pid, const ChildSettings& settings, bool becameReady) {
  static const char* const kFunction = "CProcessMgr::OnChildSettings";
  std::string guid;
  {
    ZOL_Guard guard(&lock_);
    ManagedProcess* record = RunningRecordLocked(hpid, pid);
    if (record == nullptr) return;
    record->settings = settings;
    guid = record->guid;
  }
  KESTRAVO_LOG_INFO(kFunction, "[hpid=%d,pid=%d]%s%s", static_cast<int>(hpid), static_cast<int>(pid),
                    becameReady ? "ready; " : "", SettingsText(settings).c_str());
  // Written by the launcher, not here: the watch serves every child, and one that keeps changing
  // its settings must not cost the others a rewrite of the whole file per message.
  if (GetKestravoConfig()->UpdateProcSettings(hpid, guid, pid, settings, kSettingsWriteMs)) {
    GetProcessLauncher()->CallIdleWithin(kSettingsWriteMs);
  }
  if (becameReady) Notify(hpid, MSG_READY, nullptr);
}

void CProcessMgr::OnChildStatus(uint32_t hpid, uint32_t pid, const std::string& status) {
  {
    ZOL_Guard guard(&lock_);
    if (RunningRecordLocked(hpid, pid) == nullptr) return;
  }
  Notify(hpid, MSG_STATUS, const_cast<char*>(status.c_str()));
}

void CProcessMgr::OnChildOverdue(uint32_t hpid, uint32_t pid, uint32_t cause, uint64_t causeValue) {
  static const char* const kFunction = "CProcessMgr::OnChildOverdue";
  SharedEvent stopEvent;
  uint32_t graceMs = 0;
  {
    ZOL_Guard guard(&lock_);
    ManagedProcess* record = RunningRecordLocked(hpid, pid);
    if (record == nullptr) return;
    record->stopCause = cause;
    record->stopCauseValue = causeValue;
    stopEvent = record->namedEvent;
    graceMs = record->settings.stopGraceMs;
  }
  KESTRAVO_LOG_INFO(kFunction, "[hpid=%d,pid=%d]%s: stopping it, killed after %u ms", static_cast<int>(hpid),
                    static_cast<int>(pid), kestravo::StopCauseText(cause, causeValue).c_str(), static_cast<unsigned>(graceMs));
  ZOL_SetEvent(stopEvent.Get());
}

void CProcessMgr::OnChildKillDue(uint32_t hpid, uint32_t pid) {
  static const char* const kFunction = "CProcessMgr::OnChildKillDue";
  SharedEvent process;
  {
    ZOL_Guard guard(&lock_);
    ManagedProcess* record = RunningRecordLocked(hpid, pid);
    if (record == nullptr) return;
    process = record->processHandle;
  }
  if (ZOL_WaitForSingleObject(process.Get(), 0) != WAIT_TIMEOUT) return;
  KESTRAVO_LOG_INFO(kFunction, "[hpid=%d,pid=%d]still running after its grace, terminate it", static_cast<int>(hpid),
                    static_cast<int>(pid));
  TerminateProcessTree(process.Get());
}
