#include "guard/running_guard.h"

#include <algorithm>

#include "common/error_codes.h"
#include "common/start_phases.h"
#include "platform/log_line.h"
#include "platform/worker_quit.h"
#include "platform/zol_runtime.h"

namespace {

// After a wait that failed (no descriptor to be had for the processes): look again this much later.
constexpr uint32_t kChildWaitRetryMs = 100;


uint32_t GuardEntry(void* param) {
  if (param != nullptr) static_cast<CRunningGuard*>(param)->insideWorkRoutine();
  return 0;
}

}  // namespace

CRunningGuard::CRunningGuard()
    : thread(nullptr), quitRequested(false), running(false), sink(nullptr), wakeEvent(nullptr) {}

CRunningGuard::~CRunningGuard() {
  try {
    Stop();
    // Only here: a Wake may come from any thread at any time, and must never meet a closed handle.
    if (thread == nullptr) ZOL_CloseEvent(wakeEvent.exchange(nullptr));
  } catch (...) {
  }
}

void CRunningGuard::Wake() {
  HANDLE event = wakeEvent.load();
  if (event != nullptr) ZOL_SetEvent(event);
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
    if (wakeEvent.load() == nullptr) {
      wakeEvent = ZOL_CreateEvent(0);
      // A wait that returns at once gives the event its descriptor now rather than at the
      // thread's first wait: the guard holds all it will hold once Start has returned.
      ZOL_WaitForAny(wakeEvent.load(), nullptr, 0, 0, nullptr);
    }
    if (wakeEvent.load() == nullptr) {
      KESTRAVO_LOG_CODE(LOG_ERROR, kFunction, KESTRAVO_ERR_EVENT_CREATE, "[sysError=%d]create wake event failed.",
                        ZOL_GetSystemLastError());
      Stop();
      return false;
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
  Wake();
  if (thread != nullptr && GetWorkerQuitFlag() != &quitRequested) {
    if (ZOL_Thread_Wait(thread) != 0) KESTRAVO_LOG_INFO(kFunction, "close CRunningGuard thread failed");
    thread = nullptr;
  }
  running = false;
  sink = nullptr;
  return true;
}

uint32_t CRunningGuard::insideWorkRoutine() {
  static const char* const kFunction = "CRunningGuard::insideWorkRoutine";
  struct Watched {
    uint32_t hpid;
    SharedEvent process;  // keeps the handle open while it is in waitSet
    size_t index;         // into snapshot
  };
  std::vector<GuardRecord> snapshot;
  std::vector<GuardRecord> check;   // the table after a wait that a change ended
  // What waitSet holds, in hpid order. Kept across passes: a pass adds and removes only what
  // the table changed, so a burst of starts does not rewatch every child at each one.
  ZOL_WaitSet waitSet;
  std::vector<Watched> watching;
  std::vector<Watched> next;
  std::vector<HANDLE> ended;
  std::vector<size_t> report;       // indexes into snapshot
  // Ended processes reported already, kept while the table still shows them running, so that a
  // sink that leaves a record as it was is not called again and again.
  std::vector<HANDLE> reported;
  std::vector<HANDLE> stillShown;
  SetWorkerQuitFlag(&quitRequested);
  for (;;) {
    // Reset before the copy: a change made after it sets the event again and ends the wait. And
    // before the look at the flag: a Stop between the look and the reset would be lost.
    ZOL_ResetEvent(wakeEvent);
    if (quitRequested) return 0;
    // The last pass's handles go here, outside the manager lock; the entries and their strings
    // are reused.
#ifdef KESTRAVO_START_PHASES
    const auto passBegan = std::chrono::steady_clock::now();
#endif
    for (GuardRecord& entry : snapshot) entry.processHandle.Reset();
    sink.load()->GetGuardSnapshot(snapshot);
    next.clear();
    stillShown.clear();
    bool addFailed = false;
    size_t old = 0;
    for (size_t i = 0; i < snapshot.size(); ++i) {
      HANDLE handle = snapshot[i].processHandle.Get();
      if (handle == nullptr || snapshot[i].state != PROCESS_RUNNING) continue;
      if (std::find(reported.begin(), reported.end(), handle) != reported.end()) {
        stillShown.push_back(handle);
        continue;
      }
      const uint32_t hpid = snapshot[i].hpid;
      for (; old < watching.size() && watching[old].hpid < hpid; ++old) waitSet.Remove(watching[old].process.Get());
      if (old < watching.size() && watching[old].hpid == hpid) {
        if (watching[old].process.Get() == handle) {
          next.push_back(Watched{hpid, watching[old++].process, i});
          continue;
        }
        waitSet.Remove(watching[old++].process.Get());
      }
      // Left out when it cannot be added, so that the next pass tries again.
      if (!waitSet.Add(handle)) {
        addFailed = true;
        continue;
      }
      next.push_back(Watched{hpid, snapshot[i].processHandle, i});
    }
    for (; old < watching.size(); ++old) waitSet.Remove(watching[old].process.Get());
    watching.swap(next);
    reported.swap(stillShown);
#ifdef KESTRAVO_START_PHASES
    kestravo::AddStartPhase(kestravo::kPhaseGuardPass, std::chrono::steady_clock::now() - passBegan);
#endif
    ended.clear();
    uint32_t result = addFailed ? WAIT_FAILED : waitSet.Wait(wakeEvent, INFINITE, &ended);
    if (quitRequested) return 0;
    if (result == WAIT_FAILED) {
      KESTRAVO_LOG_INFO(kFunction, "[lastError=%d]wait for children failed, look again later",
                        static_cast<int>(ZOL_GetLastError()));
      ZOL_Sleep(kChildWaitRetryMs);
      continue;
    }
    if (ended.empty()) continue;
    std::sort(ended.begin(), ended.end());
    report.clear();
    for (const Watched& entry : watching) {
      if (std::binary_search(ended.begin(), ended.end(), entry.process.Get())) report.push_back(entry.index);
    }
    if (report.empty()) continue;
    // A child stopped on request leaves the table (which wakes us) before its stop is signalled:
    // after a change, only what is still watched in the table as it is now counts as unasked.
    if (ZOL_WaitForSingleObject(wakeEvent, 0) == WAIT_OBJECT_0) {
      for (GuardRecord& entry : check) entry.processHandle.Reset();
      sink.load()->GetGuardSnapshot(check);
      auto stillWatched = [&](size_t i) {
        auto now = std::lower_bound(check.begin(), check.end(), snapshot[i].hpid,
                                    [](const GuardRecord& entry, uint32_t hpid) { return entry.hpid < hpid; });
        return now != check.end() && now->hpid == snapshot[i].hpid && now->state == PROCESS_RUNNING &&
               now->processHandle.Get() == snapshot[i].processHandle.Get();
      };
      report.erase(std::remove_if(report.begin(), report.end(), [&](size_t i) { return !stillWatched(i); }),
                   report.end());
    }
    for (size_t i : report) {
      const GuardRecord& process = snapshot[i];
      KESTRAVO_LOG_INFO(kFunction, "[exePath=%s,pid=%d]Find Process exit!", process.exePath.c_str(),
                        static_cast<int>(process.hpid));
      reported.push_back(process.processHandle.Get());
      IRunningGuardSink* target = sink;
      if (!quitRequested && target != nullptr) target->OnGuardNotify(1, process.hpid);
    }
  }
}
