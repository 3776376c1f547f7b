// The manager's handlers of the workers' reports, and the restart policy: a child that exits
// unasked is reported and relaunched under its hpid, without limit and without delay of ours.
#include "api/error_codes.h"
#include "api/globals.h"
#include "manager/process_mgr.h"
#include "platform/log_line.h"
#include "platform/zol_runtime.h"

int32_t CProcessMgr::OnGuardNotify(uint32_t /*notifyType*/, uint32_t hpid) {
  static const char* const kFunction = "CProcessMgr::OnGuardNotify";
  ManagedProcess process;
  {
    ZOL_Guard guard(&lock_);
    auto it = processMap.find(hpid);
    if (it == processMap.end()) {
      KESTRAVO_LOG_CODE(LOG_ERROR, kFunction, KESTRAVO_ERR_PROCESS_EXITED,
                        "[exePath=%s,cmdLine=%s,hpid=%d]process is under exception exit, but not find it in processMap!",
                        "", "", static_cast<int>(hpid));
      return -1;
    }
    if (it->second.state == PROCESS_RUNNING) it->second.SetState(PROCESS_EXITED);
    process = it->second;
    if (process.state == PROCESS_EXITED) {
      KESTRAVO_LOG_CODE(LOG_ERROR, kFunction, KESTRAVO_ERR_PROCESS_EXITED,
                        "[exePath=%s,cmdLine=%s,hpid=%d]process is exit, prepare to restart!", process.exePath.c_str(),
                        process.cmdLine.c_str(), static_cast<int>(hpid));
    }
  }
  Notify(process.hpid, process.state, nullptr);
  if (process.state == PROCESS_EXITED) GetProcessLauncher()->Lauch(TASK_RELAUNCH, process);
  return 0;
}

int32_t CProcessMgr::OnCreateNotify(ManagedProcess* process, bool ok) {
  if (ok) {
    {
      ZOL_Guard guard(&lock_);
      processMap.insert_or_assign(process->hpid, *process);
    }
    ZOL_SetEvent(process->syncEvent.Get());
    SaveProcConfig(*process);
  } else {
    ZOL_SetEvent(process->syncEvent.Get());
  }
  return 0;
}

int32_t CProcessMgr::OnRelaunchNotify(ManagedProcess* process, bool ok) {
  if (ok) {
    bool present = false;
    {
      ZOL_Guard guard(&lock_);
      auto it = processMap.find(process->hpid);
      if (it != processMap.end()) {
        it->second.processHandle = process->processHandle;
        it->second.pid = process->pid;
        it->second.SetState(PROCESS_RUNNING);
        present = true;
      }
    }
    if (present) {
      SaveProcConfig(*process);
    } else {
      // Destroyed or killed while this relaunch ran: the stop task holds the old process, so the
      // new one would run on unmanaged. It has done no work yet; end it.
      TerminateProcess(process->processHandle.Get(), 0);
    }
  }
  Notify(process->hpid, ok ? MSG_RESTARTED : MSG_RESTART_FAILED, nullptr);
  return 0;
}

int32_t CProcessMgr::OnKillNotify(ManagedProcess* process) { return OnStopNotify(process); }

int32_t CProcessMgr::OnDestroyNotify(ManagedProcess* process) { return OnStopNotify(process); }

int32_t CProcessMgr::OnStopNotify(ManagedProcess* process) {
  ZOL_SetEvent(process->syncEvent.Get());
  GetKestravoConfig()->DeleteProcConfig(process->hpid);
  return 0;
}
