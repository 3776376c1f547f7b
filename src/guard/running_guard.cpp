#include "guard/running_guard.h"

#include "api/error_codes.h"
#include "api/globals.h"
#include "manager/process_mgr.h"
#include "platform/log_line.h"
#include "platform/zol_runtime.h"

namespace {

constexpr uint32_t kPassSleepMs = 100;
constexpr uint32_t kEmptySleepMs = 1000;

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
  if (thread != nullptr) {
    if (ZOL_Thread_Wait(thread) != 0) KESTRAVO_LOG_INFO(kFunction, "close CRunningGuard thread failed");
    thread = nullptr;
  }
  running = false;
  sink = nullptr;
  return true;
}

uint32_t CRunningGuard::insideWorkRoutine() {
  static const char* const kFunction = "CRunningGuard::insideWorkRoutine";
  ProcessMap snapshot;
  for (;;) {
    if (quitRequested) return 0;
    snapshot.clear();
    GetProcessMgr()->GetProcessMap(snapshot);
    if (snapshot.empty()) {
      ZOL_Sleep(kEmptySleepMs);
      continue;
    }
    for (const auto& entry : snapshot) {
      const ManagedProcess& process = entry.second;
      HANDLE handle = process.processHandle.Get();
      if (handle == nullptr || process.state != PROCESS_RUNNING) continue;
      if (ZOL_WaitForSingleObject(handle, 0) != WAIT_OBJECT_0) continue;
      KESTRAVO_LOG_INFO(kFunction, "[exePath=%s,pid=%d]Find Process exit!", process.exePath.c_str(),
                        static_cast<int>(process.hpid));
      IRunningGuardSink* target = sink;
      if (!quitRequested && target != nullptr) target->OnGuardNotify(1, process.hpid);
    }
    ZOL_Sleep(kPassSleepMs);
  }
}
