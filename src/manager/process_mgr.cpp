#include "manager/process_mgr.h"

#include "api/globals.h"
#include "manager/hpid_pool.h"
#include "platform/log_line.h"
#include "platform/zol_runtime.h"

namespace {
constexpr uint32_t kUninitWaitMs = 1000;
}

CProcessMgr::CProcessMgr() : callback(nullptr), userValue(nullptr) {}

CProcessMgr::~CProcessMgr() {
  callback = nullptr;
  userValue = nullptr;
}

int32_t CProcessMgr::Init() {
  GetKestravoConfig()->SetSink(this);
  bool started = GetProcessLauncher()->Start(this) && GetRunningGuard()->Start(this);
  if (started) return 0;
  Uninit();
  return -1;
}

int32_t CProcessMgr::Uninit() {
  static const char* const kFunction = "CProcessMgr::Uninit";
  callback = nullptr;
  userValue = nullptr;
  // Both workers end first, so the exits caused below are neither reported nor restarted.
  GetRunningGuard()->Stop();
  GetProcessLauncher()->Stop();

  ZOL_Guard guard(&lock_);
  for (auto& entry : processMap) {
    ManagedProcess& process = entry.second;
    HANDLE handle = process.processHandle.Get();
    if (ZOL_WaitForSingleObject(handle, 0) == WAIT_OBJECT_0) {
      KESTRAVO_LOG_INFO(kFunction, "[hpid=%d]Process has been exited before destroying!", static_cast<int>(process.hpid));
    } else {
      ZOL_SetEvent(process.namedEvent.Get());
      if (ZOL_WaitForSingleObject(handle, kUninitWaitMs) != WAIT_OBJECT_0) {
        KESTRAVO_LOG_INFO(kFunction, "[hpid=%d]The process has been notified, but wait exit timeout!",
                          static_cast<int>(process.hpid));
        TerminateProcess(handle, 0);
      }
    }
    GetHpidPool()->Free(static_cast<int32_t>(process.hpid));
  }
  processMap.clear();
  return 0;
}

int32_t CProcessMgr::SetMsgCallBack(MsgCallBack newCallback, void* newUserValue) {
  callback = newCallback;
  userValue = newUserValue;
  return 0;
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
  MsgCallBack target = callback;
  if (target != nullptr) target(hpid, msgType, msgData, userValue);
}

void CProcessMgr::SaveProcConfig(const ManagedProcess& process) {
  ProcConfig config;
  config.pid = process.pid;
  config.hpid = process.hpid;
  config.exe = process.exePath;
  config.cmdline = process.cmdLine;
  config.guid = process.guid;
  GetKestravoConfig()->AddNewProcConfig(config);
}
