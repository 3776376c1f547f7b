// Recovery after a host restart: the children recorded by an earlier run that still run are
// reported to the host at initialisation, and adopted again under their old hpid on request.
#include <string.h>

#include <algorithm>

#include "api/globals.h"
#include "guard/notify_watch.h"
#include "common/child_marker.h"
#include "common/error_codes.h"
#include "launcher/child_identity.h"
#include "launcher/path_util.h"
#include "manager/hpid_pool.h"
#include "manager/process_mgr.h"
#include "platform/notify_channel.h"
#include "platform/log_line.h"
#include "platform/process_identity.h"
#include "platform/zol_runtime.h"

namespace {

// Copies the end of text, where a command line keeps the child's marker and GUID: a text too
// long for the member loses its front. Always terminated; the rest of the member is zeroed.
void CopyEnd(char* target, size_t size, const std::string& text) {
  size_t n = std::min(text.size(), size - 1);
  memcpy(target, text.data() + text.size() - n, n);
  memset(target + n, 0, size - n);
}

// Opens the recorded process into *process and tells whether it is the recorded child: its
// command line must still end with the marker, hpid and GUID the child was given. The last error
// tells why when it is kUnreadable.
ProcessIdentity OpenRecorded(const ProcConfig& entry, SharedEvent* process) {
  *process = SharedEvent(OpenProcess(PROCESS_ALL_ACCESS, FALSE, entry.pid));
  if (process->Get() == nullptr) {
    // Only a pid that names no process is known to be gone; out of descriptors, say, is not.
    return GetLastError() == ERROR_INVALID_PARAMETER ? ProcessIdentity::kGone : ProcessIdentity::kUnreadable;
  }
  return CheckProcessIdentity(process->Get(), entry.pid, kestravo::BuildChildCmdLine(entry.hpid, entry.guid, ""));
}

}  // namespace

int32_t CProcessMgr::OnConfigNotify(std::list<ProcConfig>& list) {
  static const char* const kFunction = "CProcessMgr::OnConfigNotify";
  Callback target = GetCallback();
  std::list<ProcConfig> attachable;
  for (auto it = list.begin(); it != list.end();) {
    SharedEvent process;
    ProcessIdentity identity = OpenRecorded(*it, &process);
    if (identity == ProcessIdentity::kUnreadable) {
      // Not known to be gone: the entry stays for a later run.
      KESTRAVO_LOG_CODE(LOG_WARN, kFunction, KESTRAVO_ERR_NOT_RUNNING, "[hpid=%d,pid=%d,error=%d]process cannot be checked, entry kept",
                        static_cast<int>(it->hpid), static_cast<int>(it->pid), static_cast<int>(GetLastError()));
      ++it;
      continue;
    }
    if (identity != ProcessIdentity::kMatches) {
      // Its channel's name, left by the host that died, goes with it.
      RemoveNotifyChannelName(it->guid);
      if (identity == ProcessIdentity::kGone) {
        KESTRAVO_LOG_INFO(kFunction, "[pid=%d,error=%d]process is not exist", static_cast<int>(it->pid),
                          static_cast<int>(ERROR_INVALID_PARAMETER));
      } else {
        KESTRAVO_LOG_INFO(kFunction, "[hpid=%d,pid=%d]process is not the recorded child, its pid was reused",
                          static_cast<int>(it->hpid), static_cast<int>(it->pid));
      }
      it = list.erase(it);
      continue;
    }
    process.Reset();  // not held while the host's callback runs
    attachable.push_back(*it);
    if (target.function != nullptr) {
      AttachableProcInfo info;
      info.pid = it->pid;
      CopyEnd(info.cmdLine, sizeof info.cmdLine, it->cmdline);
      CopyEnd(info.exePath, sizeof info.exePath, it->exe);
      target.function(it->hpid, MSG_ATTACHABLE, &info, target.userValue);
    }
    ++it;
  }
  attachableList.swap(attachable);
  return 0;
}

int32_t CProcessMgr::Attach(uint32_t hpid, uint32_t pid) {
  static const char* const kFunction = "CProcessMgr::Attach";
  if (hpid >= KESTRAVO_MAX_HPID || static_cast<int32_t>(pid) <= 0) return KESTRAVO_INVALID_ARGUMENT;
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
  process.settings = entry->settings;
  {
    ZOL_Guard guard(&lock_);
    auto it = processMap.find(hpid);
    if (it != processMap.end()) {
      KESTRAVO_LOG_INFO(kFunction, "[hpid=%d,pid=%d]process has already been attached!", static_cast<int>(hpid),
                        static_cast<int>(it->second.pid));
      return KESTRAVO_ALREADY_MANAGED;
    }
  }

  // It may have ended, and its pid gone to another program, since the load checked it.
  ProcessIdentity identity = OpenRecorded(*entry, &process.processHandle);
  if (identity != ProcessIdentity::kMatches) {
    KESTRAVO_LOG_CODE(LOG_ERROR, kFunction, KESTRAVO_ERR_NOT_RUNNING, "[pid=%d,error=%d]process is not running!",
                      static_cast<int>(pid), static_cast<int>(GetLastError()));
    // Unchecked, not known to be gone: the host may try again.
    return identity == ProcessIdentity::kUnreadable ? KESTRAVO_NO_RESOURCE : KESTRAVO_INVALID_ARGUMENT;
  }
  process.namedEvent = SharedEvent(CreateStopEvent(process.guid, StopEventReset::kManual, nullptr));
  if (process.namedEvent.Get() == nullptr) {
    // Its name taken or damaged by someone else: adopt the child all the same; a stop then ends
    // it after the usual wait, as one that does not listen.
    KESTRAVO_LOG_CODE(LOG_WARN, kFunction, KESTRAVO_ERR_EVENT_CREATE,
                      "[hpid=%d,pid=%d,error=%d]stop event cannot be opened, the child will be terminated when stopped",
                      static_cast<int>(hpid), static_cast<int>(pid), static_cast<int>(GetLastError()));
    process.namedEvent = SharedEvent(ZOL_CreateEvent(0));
  }
  process.syncEvent = SharedEvent(ZOL_CreateEvent(0));
  if (process.namedEvent.Get() == nullptr || process.syncEvent.Get() == nullptr) {
    KESTRAVO_LOG_CODE(LOG_ERROR, kFunction, KESTRAVO_ERR_EVENT_CREATE, "[exePath=%s,cmdLine=%s]Create SyncEvent fail",
                      process.exePath.c_str(), process.cmdLine.c_str());
    return KESTRAVO_NO_RESOURCE;
  }
  process.exeName = GetFileName(process.exePath);
  process.SetState(PROCESS_RUNNING);
  process.startedAt = std::chrono::steady_clock::now();  // its run time counts from here

  SaveProcConfig(process);
  GetHpidPool()->Set(static_cast<int32_t>(hpid), 1);
  {
    ZOL_Guard guard(&lock_);
    processMap.insert_or_assign(hpid, process);
  }
  GetRunningGuard()->Wake();
  // The same channel name as before: the child goes on sending to it. Its watchdog clock starts
  // now, and a ready child is reported ready again, on the watch's thread.
  if (GetNotifyWatch()->OpenChannel(hpid, process.guid)) {
    GetNotifyWatch()->ProcessStarted(hpid, process.pid, process.settings, true);
  }
  return KESTRAVO_OK;
}
