#include "manager/process_mgr.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "api/globals.h"
#include "guard/notify_watch.h"
#include "manager/hpid_pool.h"
#include "platform/log_line.h"
#include "platform/process_remains.h"
#include "platform/zol_runtime.h"

namespace {
constexpr uint32_t kUninitWaitMs = 1000;
constexpr uint32_t kTerminateWaitMs = 1000;
}

CProcessMgr::CProcessMgr() {}

CProcessMgr::~CProcessMgr() { SetMsgCallBack(nullptr, nullptr); }

int32_t CProcessMgr::Init() {
  GetKestravoConfig()->SetSink(this);
  // Another live host owns the file and its children: this one neither adopts nor starts.
  if (GetKestravoConfig()->StateFileBusy()) return KESTRAVO_STATE_BUSY;
  bool started = GetProcessLauncher()->Start(this) && GetRunningGuard()->Start(this) && GetNotifyWatch()->Start(this);
  if (started) {
    ZOL_PrepareNamedEvent();
    return 0;
  }
  Uninit();
  return -1;
}

int32_t CProcessMgr::Uninit() {
  static const char* const kFunction = "CProcessMgr::Uninit";
  SetMsgCallBack(nullptr, nullptr);
  // The workers end first, so the exits caused below are neither reported nor restarted.
  StopWorkers();
  // Nothing records a child any more: the file may go to another host. Before the manager lock,
  // which comes after the store's.
  GetKestravoConfig()->ReleaseStateFile();
  ZOL_DropPreparedEvent();

  ZOL_Guard guard(&lock_);
  // Stops not carried out (dropped with the launcher's queue, or in hand on the launcher's thread
  // when that thread runs this): their children are ended here too. Each waiter is released at
  // the end and finds its stop gone.
  std::vector<SharedEvent> waiters;
  for (auto& entry : stops_) {
    if (!entry.second.done) processMap.insert_or_assign(entry.first, entry.second.process);
    waiters.push_back(entry.second.process.syncEvent);
  }
  stops_.clear();
  startsPending_.clear();
  // Every stop event first, then one grace shared by all, then termination of the rest: a
  // thousand children that do not listen take about one grace, not one each.
  std::vector<const ManagedProcess*> stopping;
  for (auto& entry : processMap) {
    ManagedProcess& process = entry.second;
    HANDLE handle = process.processHandle.Get();
    if (ZOL_WaitForSingleObject(handle, 0) == WAIT_OBJECT_0) {
      KESTRAVO_LOG_INFO(kFunction, "[hpid=%d]Process has been exited before destroying!", static_cast<int>(process.hpid));
    } else {
      ZOL_SetEvent(process.namedEvent.Get());
      stopping.push_back(&process);
    }
  }
  std::vector<HANDLE> stubborn;
  const auto graceEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(kUninitWaitMs);
  for (const ManagedProcess* stopped : stopping) {
    const ManagedProcess& process = *stopped;
    HANDLE handle = process.processHandle.Get();
    auto left = std::chrono::ceil<std::chrono::milliseconds>(graceEnd - std::chrono::steady_clock::now()).count();
    if (ZOL_WaitForSingleObject(handle, static_cast<uint32_t>(std::max<int64_t>(left, 0))) != WAIT_OBJECT_0) {
      KESTRAVO_LOG_INFO(kFunction, "[hpid=%d]The process has been notified, but wait exit timeout!",
                        static_cast<int>(process.hpid));
      stubborn.push_back(handle);
    }
  }
  // Killed together too: one at a time, each kill waits for its child to die.
  TerminateProcesses(stubborn.data(), stubborn.size(), kTerminateWaitMs);
  // Those that ended on their events: what they started goes too, without a wait of its own.
  for (const ManagedProcess* stopped : stopping) EndProcessRemains(stopped->processHandle.Get(), 0);
  processMap.clear();
  // Every hpid: those of starts still queued when the launcher stopped too.
  for (int32_t hpid = 0; hpid < static_cast<int32_t>(KESTRAVO_MAX_HPID); ++hpid) GetHpidPool()->Free(hpid);
  for (const SharedEvent& waiter : waiters) ZOL_SetEvent(waiter.Get());
  return 0;
}

void CProcessMgr::StopWorkers() {
  GetRunningGuard()->Stop();
  GetProcessLauncher()->Stop();
  GetNotifyWatch()->Stop();  // and every channel goes
}

int32_t CProcessMgr::SetMsgCallBack(MsgCallBack newCallback, void* newUserValue) {
  ZOL_Guard guard(&callbackLock_);
  callback_.function = newCallback;
  callback_.userValue = newUserValue;
  return 0;
}

CProcessMgr::Callback CProcessMgr::GetCallback() {
  ZOL_Guard guard(&callbackLock_);
  return callback_;
}

bool CProcessMgr::GetProcessMap(ProcessMap& out) {
  ZOL_Guard guard(&lock_);
  out = processMap;
  return true;
}

void CProcessMgr::GetGuardSnapshot(std::vector<GuardRecord>& out) {
  ZOL_Guard guard(&lock_);
  out.resize(processMap.size());
  size_t i = 0;
  for (const auto& entry : processMap) {
    GuardRecord& copy = out[i++];
    copy.hpid = entry.second.hpid;
    copy.state = entry.second.state;
    copy.processHandle = entry.second.processHandle;
    copy.exePath = entry.second.exePath;
  }
}

void CProcessMgr::Notify(uint32_t hpid, uint32_t msgType, void* msgData) {
  Callback target = GetCallback();
  if (target.function != nullptr) target.function(hpid, msgType, msgData, target.userValue);
}

void CProcessMgr::SaveProcConfig(const ManagedProcess& process) {
  ProcConfig config;
  config.pid = process.pid;
  config.hpid = process.hpid;
  config.exe = process.exePath;
  config.cmdline = process.cmdLine;
  config.guid = process.guid;
  config.settings = process.settings;
  GetKestravoConfig()->AddNewProcConfig(config, GetProcessLauncher()->OnLauncherThread());
}
