#include "guard/running_guard.h"

#include <algorithm>

#include "api/error_codes.h"
#include "api/globals.h"
#include "manager/process_mgr.h"
#include "platform/log_line.h"
#include "platform/zol_runtime.h"

namespace {

constexpr uint32_t kPassSleepMs = 100;
constexpr uint32_t kEmptySleepMs = 1000;

thread_local const CRunningGuard* currentGuard = nullptr;

uint32_t GuardEntry(void* param) {
  if (param != nullptr) static_cast<CRunningGuard*>(param)->insideWorkRoutine();
  return 0;
}

}  // namespace

CRunningGuard::CRunningGuard() : thread(nullptr), quitRequested(false), running(false), sink(nullptr) {}

CRunningGuard::~CRunningGuard() {
  try {
    Stop();
  } catch (...) {
  }
}

bool CRunningGuard::Start(IRunningGuardSink* newSink) {
  static const char* const kFunction = "CRunningGuard::Start";
  KESTRAVO_LOG_INFO(kFunction, "start CRunningGuard!");
  if (running) {
    KESTRAVO_LOG_INFO(kFunction, "CRunningGuard has already running.");
    return true;
  }
  if (newSink == nullptr) {
    KESTRAVO_LOG_CODE(LOG_WARN, kFunction, KESTRAVO_ERR_INVALID_PARAM, "IRunningGuardSink is NULL");
  } else {
    if (thread != nullptr) {
      // Told to end from its own thread: it has or will once that callback returns.
      ZOL_Thread_Wait(thread);
      thread = nullptr;
    }
    sink = newSink;
    quitRequested = false;
    thread = ZOL_Thread_Create(GuardEntry, this, 0, 0, 0, nullptr);
    if (thread != nullptr) {
      KESTRAVO_LOG_INFO(kFunction, "start RunningGurad success.");
      running = true;
      return true;
    }
    KESTRAVO_LOG_CODE(LOG_ERROR, kFunction, KESTRAVO_ERR_THREAD_CREATE, "[sysError=%d]create serviceThread failed.",
                      ZOL_GetSystemLastError());
  }
  KESTRAVO_LOG_INFO(kFunction, "start RunningGurad failed.");
  Stop();
  return false;
}

bool CRunningGuard::Stop() {
  static const char* const kFunction = "CRunningGuard::Stop";
  KESTRAVO_LOG_INFO(kFunction, "stop CRunningGuard!");
  quitRequested = true;
  if (thread != nullptr && currentGuard != this) {
    if (ZOL_Thread_Wait(thread) != 0) KESTRAVO_LOG_INFO(kFunction, "close CRunningGuard thread failed");
    thread = nullptr;
  }
  running = false;
  sink = nullptr;
  return true;
}

uint32_t CRunningGuard::insideWorkRoutine() {
  static const char* const kFunction = "CRunningGuard::insideWorkRoutine";
  std::vector<GuardRecord> snapshot;
  std::vector<size_t> watched;  // indexes into snapshot
  std::vector<HANDLE> handles;  // their process handles, in the same order
  std::vector<bool> ended;
  currentGuard = this;
  SetWorkerQuitFlag(&quitRequested);
  for (;;) {
    if (quitRequested) return 0;
    // The last pass's handles go here, outside the manager lock; the entries and their strings
    // are reused.
    for (GuardRecord& entry : snapshot) entry.processHandle.Reset();
    GetProcessMgr()->GetGuardSnapshot(snapshot);
    if (snapshot.empty()) {
      ZOL_Sleep(kEmptySleepMs);
      continue;
    }
    watched.clear();
    handles.clear();
    for (size_t i = 0; i < snapshot.size(); ++i) {
      HANDLE handle = snapshot[i].processHandle.Get();
      if (handle == nullptr || snapshot[i].state != PROCESS_RUNNING) continue;
      watched.push_back(i);
      handles.push_back(handle);
    }
    FindEnded(handles, &ended);
    for (size_t k = 0; k < watched.size(); ++k) {
      if (!ended[k]) continue;
      const GuardRecord& process = snapshot[watched[k]];
      KESTRAVO_LOG_INFO(kFunction, "[exePath=%s,pid=%d]Find Process exit!", process.exePath.c_str(),
                        static_cast<int>(process.hpid));
      IRunningGuardSink* target = sink;
      if (!quitRequested && target != nullptr) target->OnGuardNotify(1, process.hpid);
    }
    ZOL_Sleep(kPassSleepMs);
  }
}

void CRunningGuard::FindEnded(const std::vector<HANDLE>& handles, std::vector<bool>* ended) {
  ended->assign(handles.size(), false);
  for (size_t start = 0; start < handles.size();) {
    DWORD count = static_cast<DWORD>(std::min<size_t>(handles.size() - start, MAXIMUM_WAIT_OBJECTS));
    DWORD result = WaitForMultipleObjects(count, &handles[start], FALSE, 0);
    if (result < WAIT_OBJECT_0 + count) {
      (*ended)[start + (result - WAIT_OBJECT_0)] = true;
      start += result - WAIT_OBJECT_0 + 1;  // the ones before it are still running
    } else if (result == WAIT_TIMEOUT) {
      start += count;
    } else {
      // A group that cannot be checked together is checked one by one.
      for (DWORD i = 0; i < count; ++i) {
        (*ended)[start + i] = ZOL_WaitForSingleObject(handles[start + i], 0) == WAIT_OBJECT_0;
      }
      start += count;
    }
  }
}
