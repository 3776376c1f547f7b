// Recovery after a host restart: the children recorded by an earlier run that still run are
// reported to the host at initialisation, and adopted again under their old hpid on request.
#include <string.h>

#include "api/error_codes.h"
#include "api/globals.h"
#include "launcher/path_util.h"
#include "manager/hpid_pool.h"
#include "manager/process_mgr.h"
#include "platform/log_line.h"
#include "platform/zol_runtime.h"

namespace {

// Copies text as strncpy would, but always leaves a terminator: a longer text is cut to fit.
void CopyCut(char* target, size_t size, const std::string& text) {
  strncpy(target, text.c_str(), size - 1);
  target[size - 1] = '\0';
}

}  // namespace

int32_t CProcessMgr::OnConfigNotify(std::list<ProcConfig>& list) {
  static const char* const kFunction = "CProcessMgr::OnConfigNotify";
  MsgCallBack target = callback;
  auto it = list.begin();
  while (it != list.end()) {
    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, it->pid);
    if (process == nullptr) {
      KESTRAVO_LOG_INFO(kFunction, "[pid=%d,error=%d]process is not exist", static_cast<int>(it->pid),
                        static_cast<int>(GetLastError()));
      list.erase(it);
      // The walk starts over: entries before the removed one are reported again.
      it = list.begin();
      continue;
    }
    CloseHandle(process);
    if (target != nullptr) {
      AttachableProcInfo info;
      info.pid = it->pid;
      CopyCut(info.cmdLine, sizeof info.cmdLine, it->cmdline);
      CopyCut(info.exePath, sizeof info.exePath, it->exe);
      target(it->hpid, MSG_ATTACHABLE, &info, userValue);
    }
    ++it;
  }
  attachableList = list;
  return 0;
}

int32_t CProcessMgr::Attach(uint32_t hpid, uint32_t pid) {
  static const char* const kFunction = "CProcessMgr::Attach";
  if (static_cast<int32_t>(hpid) < 0 || static_cast<int32_t>(pid) < 0) return KESTRAVO_INVALID_ARGUMENT;
  const ProcConfig* entry = nullptr;
  for (const ProcConfig& candidate : attachableList) {
    if (candidate.hpid == hpid && candidate.pid == pid) {
      entry = &candidate;
      break;
    }
  }
  if (entry == nullptr) return KESTRAVO_INVALID_ARGUMENT;

  ManagedProcess process;
  process.hpid = entry->hpid;
  process.pid = entry->pid;
  process.exePath = entry->exe;
  process.cmdLine = entry->cmdline;
  process.guid = entry->guid;
  {
    ZOL_Guard guard(&lock_);
    auto it = processMap.find(hpid);
    if (it != processMap.end()) {
      KESTRAVO_LOG_INFO(kFunction, "[hpid=%d,pid=%d]process has already been attached!", static_cast<int>(hpid),
                        static_cast<int>(it->second.pid));
      return KESTRAVO_ALREADY_MANAGED;
    }
  }

  process.processHandle = SharedEvent(OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid));
  if (process.processHandle.Get() == nullptr) {
    KESTRAVO_LOG_CODE(LOG_ERROR, kFunction, KESTRAVO_ERR_NOT_RUNNING, "[pid=%d,error=%d]process is not running!",
                      static_cast<int>(pid), static_cast<int>(GetLastError()));
    return KESTRAVO_INVALID_ARGUMENT;
  }
  process.namedEvent = SharedEvent(CreateEventA(nullptr, TRUE, FALSE, process.guid.c_str()));
  if (process.namedEvent.Get() == nullptr) {
    KESTRAVO_LOG_INFO(kFunction, "[hpid=%d,pid=%d]cannot find releated hpid", static_cast<int>(hpid), static_cast<int>(pid));
    return KESTRAVO_NO_RESOURCE;
  }
  process.syncEvent = SharedEvent(ZOL_CreateEvent(0));
  if (process.syncEvent.Get() == nullptr) {
    KESTRAVO_LOG_CODE(LOG_ERROR, kFunction, KESTRAVO_ERR_EVENT_CREATE, "[exePath=%s,cmdLine=%s]Create SyncEvent fail",
                      process.exePath.c_str(), process.cmdLine.c_str());
    return KESTRAVO_NO_RESOURCE;
  }
  process.exeName = GetFileName(process.exePath);
  process.SetState(PROCESS_RUNNING);

  SaveProcConfig(process);
  GetHpidPool()->Set(static_cast<int32_t>(hpid), 1);
  ZOL_Guard guard(&lock_);
  processMap.insert_or_assign(hpid, process);
  return KESTRAVO_OK;
}
