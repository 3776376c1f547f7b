#include "launcher/process_launcher.h"

#include <algorithm>

#include "common/error_codes.h"
#include "common/start_phases.h"
#include "launcher/spawn_process.h"
#include "platform/log_line.h"
#include "platform/process_remains.h"
#include "platform/worker_quit.h"
#include "platform/zol_runtime.h"

namespace {

using Clock = std::chrono::steady_clock;

// The starts' state-file rewrites are put off this long at most while more tasks are due, so
// that a burst of starts rewrites the file a few times, not once per start.
constexpr uint32_t kStateFlushMs = 5;
// How long a relaunch waits for what its predecessor left behind to be gone.
constexpr uint32_t kRemainsWaitMs = 1000;
// A child in a destroy that the wait set could not take is looked at this often.
constexpr uint32_t kUnwatchedLookMs = 10;

uint32_t FiniteMsUntil(Clock::time_point when, Clock::time_point now) {
  if (when <= now) return 0;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
  return static_cast<uint32_t>(std::min<int64_t>(left, INFINITE - 1));
}


uint32_t LauncherEntry(void* param) {
  if (param != nullptr) static_cast<CProcessLauncher*>(param)->insideLaucherRoutine();
  return 0;
}

}  // namespace

CProcessLauncher::CProcessLauncher()
    : running(false), quitRequested(false), sink(nullptr), thread(nullptr), wakeEvent(nullptr) {}

CProcessLauncher::~CProcessLauncher() {
  try {
    Stop();
    if (thread == nullptr) ZOL_CloseEvent(wakeEvent);
  } catch (...) {
  }
}

bool CProcessLauncher::Start(IProcessLaucherSink* newSink) {
  static const char* const kFunction = "CProcessLauncher::Start";
  KESTRAVO_LOG_INFO(kFunction, "Start CProcessLauncher!");
  if (newSink == nullptr) {
    KESTRAVO_LOG_CODE(LOG_WARN, kFunction, KESTRAVO_ERR_INVALID_PARAM, "IProcessLaucherSink is NULL!");
    Stop();
    return false;
  }
  if (thread != nullptr) {
    // Told to end from its own thread: it has or will once that callback returns.
    ZOL_Thread_Wait(thread);
    thread = nullptr;
  }
  quitRequested = false;
  sink = newSink;
  if (wakeEvent == nullptr) {
    wakeEvent = ZOL_CreateEvent(0);
    // A wait that returns at once gives the event its descriptor now rather than at the first
    // wait with a child: the launcher holds all it will hold once Start has returned.
    ZOL_WaitForAny(wakeEvent, nullptr, 0, 0, nullptr);
  }
  if (wakeEvent == nullptr) {
    KESTRAVO_LOG_CODE(LOG_ERROR, kFunction, KESTRAVO_ERR_EVENT_CREATE, "CreateEvent fail, Event handle is null");
    Stop();
    return false;
  }
  thread = ZOL_Thread_Create(LauncherEntry, this, 0, 0, 0, nullptr);
  if (thread == nullptr) {
    KESTRAVO_LOG_CODE(LOG_ERROR, kFunction, KESTRAVO_ERR_THREAD_CREATE, "[SysError=%d]create serviceThread failed.",
                      ZOL_GetSystemLastError());
    Stop();
    return false;
  }
  running = true;
  KESTRAVO_LOG_INFO(kFunction, "CProcessLauncher start success!");
  return true;
}

bool CProcessLauncher::Stop() {
  static const char* const kFunction = "CProcessLauncher::Stop";
  DropQueuedTasks();
  KESTRAVO_LOG_INFO(kFunction, "Stop CProcessLauncher!");
  quitRequested = true;
  if (wakeEvent != nullptr) ZOL_SetEvent(wakeEvent);
  if (thread != nullptr && !OnLauncherThread()) {
    if (ZOL_Thread_Wait(thread) != 0) KESTRAVO_LOG_INFO(kFunction, "close CProcessLauncher thread failed");
    thread = nullptr;
  }
  // The pass that was in hand may have queued a failed start again; it must not run at the next
  // Start with a record the manager has forgotten.
  DropQueuedTasks();
  if (thread == nullptr) NotifyIdle(0);
  sink = nullptr;
  running = false;
  return true;
}

void CProcessLauncher::DropQueuedTasks() {
  std::list<LaunchTask> dropped;
  {
    ZOL_Guard guard(&queueMutex);
    dropped.swap(taskQueue);
  }
  // Outside the lock: the last handle of a killed child waits for it to end.
  for (LaunchTask& task : dropped) ZOL_SetEvent(task.process.syncEvent.Get());
}

bool CProcessLauncher::OnLauncherThread() const { return GetWorkerQuitFlag() == &quitRequested; }

bool CProcessLauncher::CancelStart(uint32_t hpid, ManagedProcess* out) {
  std::list<LaunchTask> cancelled;
  ZOL_Guard guard(&queueMutex);
  for (auto it = taskQueue.begin(); it != taskQueue.end(); ++it) {
    // A relaunch queued for an hpid with no record belongs to a record stopped since, whose
    // hpid may be another's now.
    if (it->type != TASK_CREATE || it->process.hpid != hpid) continue;
    *out = it->process;
    cancelled.splice(cancelled.end(), taskQueue, it);
    guard.Release();
    return true;
  }
  return false;
}

bool CProcessLauncher::TakeQueuedStart(const std::string& cmdLine, std::list<LaunchTask>* into) {
  // One at most: a second start of the same record is never queued.
  for (auto it = taskQueue.begin(); it != taskQueue.end(); ++it) {
    if (IsStartTask(it->type) && it->process.cmdLine == cmdLine) {
      into->splice(into->end(), taskQueue, it);
      return true;
    }
  }
  return false;
}

void CProcessLauncher::RunStopNow(int32_t type, const ManagedProcess& process, uint32_t graceMs) {
  std::list<LaunchTask> cancelled;
  {
    ZOL_Guard guard(&queueMutex);
    TakeQueuedStart(process.cmdLine, &cancelled);
  }
  LaunchTask task{type, process, {}, graceMs};
  if (type != TASK_DESTROY) {
    RunKillTask(task);
  } else if (!OnLauncherThread()) {
    // A stopped launcher has no destroys in hand: this one is the caller's alone.
    ZOL_SetEvent(task.process.namedEvent.Get());
    CompleteDestroy(task, ZOL_WaitForSingleObject(task.process.processHandle.Get(), graceMs) == WAIT_OBJECT_0);
  } else {
    // Inside a sink call on the launcher thread: the queue waits, the destroys in hand do not.
    // The loop looks at the queue when the call returns, so the wake event may be taken here.
    const uint64_t id = BeginDestroy(task);
    auto inHand = [&] {
      return std::any_of(stopsInHand.begin(), stopsInHand.end(), [&](const StopInHand& stop) { return stop.id == id; });
    };
    while (inHand()) {
      ZOL_ResetEvent(wakeEvent);
      if (quitRequested || !ServiceStops(wakeEvent, INFINITE)) EndAllStops();
    }
  }
}

bool CProcessLauncher::Lauch(int32_t type, const ManagedProcess& process, uint32_t delayMs, uint32_t graceMs) {
  static const char* const kFunction = "CProcessLauncher::Lauch";
  if (!running || thread == nullptr) {
    KESTRAVO_LOG_CODE(LOG_ERROR, kFunction, KESTRAVO_ERR_NOT_RUNNING, "CProcessLauncher has not running!");
    return false;
  }
  std::list<LaunchTask> cancelled;  // released after the lock, as the queue's own tasks are
  ZOL_Guard guard(&queueMutex);
  if (IsStopTask(type)) {
    // The start cannot be wanted any more; the stop still runs, so that it is reported and the
    // record's entry and hpid are let go.
    if (TakeQueuedStart(process.cmdLine, &cancelled)) {
      KESTRAVO_LOG_INFO(kFunction, "[cmd=%s]this task has not been accomplished till die ", process.cmdLine.c_str());
    }
  } else if (IsStartTask(type)) {
    // The same record by its command line, not by hpid: a record's exit may queue its relaunch
    // after it was stopped and its hpid handed to a new record, whose create must still run.
    for (const LaunchTask& queued : taskQueue) {
      if (IsStartTask(queued.type) && queued.process.cmdLine == process.cmdLine) {
        KESTRAVO_LOG_INFO(kFunction, "[cmd=%s]this task has not been accomplished create ", process.cmdLine.c_str());
        return true;
      }
    }
  }
  taskQueue.push_back(LaunchTask{type, process, Clock::now() + std::chrono::milliseconds(delayMs), graceMs});
  ZOL_SetEvent(wakeEvent);
  return true;
}

uint32_t CProcessLauncher::insideLaucherRoutine() {
  ZOL_WaitSet waitSet;
  stopWaits = &waitSet;
  SetWorkerQuitFlag(&quitRequested);
  for (;;) {
    if (quitRequested) {
      EndSide();
      EndAllStops();
      NotifyIdle(0);
      stopWaits = nullptr;
      return 0;
    }
    uint32_t waitMs = INFINITE;
    ZOL_Guard guard(&queueMutex);
    // Under the queue mutex: a task queued after this look sets the event again. A Stop between
    // the look at the flag above and this reset would be lost: look again.
    ZOL_ResetEvent(wakeEvent);
    if (quitRequested) continue;
    const Clock::time_point now = Clock::now();
    auto due = taskQueue.end();
    for (auto it = taskQueue.begin(); it != taskQueue.end(); ++it) {
      if (it->notBefore <= now) {
        due = it;
        break;
      }
      waitMs = std::min(waitMs, FiniteMsUntil(it->notBefore, now));
    }
    bool idleCallNow = false;
    if (idleCallSet && idleCallDue <= now) {
      idleCallSet = false;
      idleCallNow = true;
    } else if (idleCallSet) {
      waitMs = std::min(waitMs, FiniteMsUntil(idleCallDue, now));
    }
    if (due == taskQueue.end()) {
      guard.Release();
      waitMs = std::min(waitMs, NotifyIdle(0));
      // A failed wait ends the loop too: at process exit the handles may be closed under us, and
      // a loop that waited for a signal that can no longer come would hang the exit.
      if (!ServiceStops(wakeEvent, waitMs)) {
        EndSide();
        EndAllStops();
        stopWaits = nullptr;
        return 0;
      }
      continue;
    }
    // A copy per task rather than one for the whole loop: the task's handles go when it is done,
    // so a killed child is reaped then, not when the next task comes.
    std::list<LaunchTask> starts;
    starts.splice(starts.end(), taskQueue, due++);
    LaunchTask& work = starts.front();
    if (work.type == TASK_CREATE) TakeCreatesBehind(due, now, &starts);
    guard.Release();
    // A stream of tasks does not hold up the sink's deferred work beyond the task in hand.
    if (idleCallNow) NotifyIdle(0);
    // Between tasks too: a burst of starts does not hold up the end of a destroy.
    if (!stopsInHand.empty()) ServiceStops(nullptr, 0);

    switch (work.type) {
      case TASK_RELAUNCH:
      case TASK_CREATE: {
#ifdef KESTRAVO_START_PHASES
        for (const LaunchTask& start : starts) {
          if (start.type == TASK_CREATE) kestravo::AddStartPhase(kestravo::kPhaseQueueWait, Clock::now() - start.notBefore);
        }
#endif
        KESTRAVO_TIME_START_PHASE(kestravo::kPhaseLauncherTask);
        RunStartTasks(starts);
        NotifyIdle(kStateFlushMs);
        break;
      }
      case TASK_DESTROY:
        BeginDestroy(work);
        break;
      case TASK_KILL:
        NotifyIdle(0);
        RunKillTask(work);
        break;
      default:
        break;
    }
  }
}

uint32_t CProcessLauncher::NotifyIdle(uint32_t maxDelayMs) {
  IProcessLaucherSink* target = sink;
  const uint32_t again = target != nullptr ? target->OnLauncherIdle(maxDelayMs) : INFINITE;
  if (again != INFINITE) ScheduleIdle(again, false);
  return again;
}

void CProcessLauncher::ScheduleIdle(uint32_t ms, bool wake) {
  const Clock::time_point due = Clock::now() + std::chrono::milliseconds(ms);
  ZOL_Guard guard(&queueMutex);
  if (idleCallSet && idleCallDue <= due) return;
  idleCallSet = true;
  idleCallDue = due;
  if (wake && wakeEvent != nullptr) ZOL_SetEvent(wakeEvent);
}

void CProcessLauncher::CallIdleWithin(uint32_t ms) {
  // Nothing is lost when stopped: the manager's Uninit releases the state file, which writes
  // what is pending.
  if (running) ScheduleIdle(ms, true);
}

void CProcessLauncher::TakeCreatesBehind(std::list<LaunchTask>::iterator next, Clock::time_point now,
                                         std::list<LaunchTask>* into) {
  while (next != taskQueue.end() && into->size() < kStartsAtOnce) {
    if (next->notBefore > now) {
      ++next;
    } else if (next->type == TASK_CREATE) {
      into->splice(into->end(), taskQueue, next++);
    } else {
      break;
    }
  }
}

uint32_t CProcessLauncher::SideEntry(void* param) {
  auto* launcher = static_cast<CProcessLauncher*>(param);
  for (;;) {
    if (ZOL_WaitForSingleObject(launcher->sideGo, INFINITE) != WAIT_OBJECT_0) return 0;
    ZOL_ResetEvent(launcher->sideGo);
    LaunchTask* task = launcher->sideTask.exchange(nullptr);
    if (task == nullptr) return 0;  // told to end
    launcher->sideOk.store(launcher->SpawnStart(*task));
    launcher->sideDone.store(true);
    ZOL_SetEvent(launcher->sideDoneEvent);
  }
}

bool CProcessLauncher::HandToSide(LaunchTask* task) {
  if (sideThread == nullptr) {
    sideGo = ZOL_CreateEvent(0);
    sideDoneEvent = ZOL_CreateEvent(0);
    if (sideGo != nullptr && sideDoneEvent != nullptr) sideThread = ZOL_Thread_Create(SideEntry, this, 0, 0, 0, nullptr);
    if (sideThread == nullptr) {
      EndSide();
      return false;
    }
  }
  ZOL_ResetEvent(sideDoneEvent);
  sideDone.store(false);
  sideTask.store(task);
  ZOL_SetEvent(sideGo);
  return true;
}

bool CProcessLauncher::SideResult(LaunchTask* task) {
  // The side's spawn ends within its own limits (the wait for exec, the remains' wait).
  while (!sideDone.load()) {
    if (ZOL_WaitForSingleObject(sideDoneEvent, INFINITE) != WAIT_FAILED) continue;
    // The events are gone (the process exits): once the side has ended, the task is spawned
    // here unless the side took it.
    if (EndSide() == task) return SpawnStart(*task);
    break;
  }
  return sideOk.load();
}

LaunchTask* CProcessLauncher::EndSide() {
  LaunchTask* untaken = nullptr;
  if (sideThread != nullptr) {
    untaken = sideTask.exchange(nullptr);
    ZOL_SetEvent(sideGo);
    ZOL_Thread_Wait(sideThread);
    sideThread = nullptr;
  }
  if (sideGo != nullptr) ZOL_CloseEvent(sideGo);
  if (sideDoneEvent != nullptr) ZOL_CloseEvent(sideDoneEvent);
  sideGo = sideDoneEvent = nullptr;
  return untaken;
}

void CProcessLauncher::RunStartTasks(std::list<LaunchTask>& tasks) {
  static const char* const kFunction = "CProcessLauncher::insideLaucherRoutine";
  LaunchTask& first = tasks.front();
  if (first.type == TASK_RELAUNCH) {
    for (const StopInHand& stop : stopsInHand) {
      if (stop.task.process.cmdLine != first.process.cmdLine) continue;
      // Queued before its record was destroyed: its process would only be terminated again.
      KESTRAVO_LOG_INFO(kFunction, "[hpid=%d]the process is being destroyed, relaunch dropped",
                        static_cast<int>(first.process.hpid));
      return;
    }
  }
  static_assert(kStartsAtOnce == 2, "one side thread: a pair at most");
  LaunchTask* second = tasks.size() > 1 ? &*std::next(tasks.begin()) : nullptr;
  // Without the side thread it is spawned after the first, here.
  const bool handed = second != nullptr && HandToSide(second);
  const bool ok = SpawnStart(first);
  const bool secondOk = second == nullptr ? false : handed ? SideResult(second) : SpawnStart(*second);
  ReportStart(first, ok);
  if (second != nullptr) ReportStart(*second, secondOk);
}

bool CProcessLauncher::SpawnStart(LaunchTask& task) {
  static const char* const kFunction = "CProcessLauncher::insideLaucherRoutine";
  ManagedProcess& process = task.process;
  // A relaunch never runs beside its predecessor's leftovers: whatever the ended child's tree
  // still holds goes first.
  if (task.type == TASK_RELAUNCH && process.processHandle.Get() != nullptr &&
      !EndProcessRemains(process.processHandle.Get(), kRemainsWaitMs) && GetLastError() == ERROR_TIMEOUT) {
    KESTRAVO_LOG_INFO(kFunction, "[hpid=%d,pid=%d]what the process left still runs after %d ms, relaunch anyway",
                      static_cast<int>(process.hpid), static_cast<int>(process.pid), static_cast<int>(kRemainsWaitMs));
  }
  HANDLE handle = nullptr;
  bool ok = SpawnProcess(process.exePath, process.cmdLine, &process.pid, &handle,
                         task.type == TASK_RELAUNCH ? process.processHandle.Get() : nullptr, process.guid);
  if (!ok || handle == nullptr) {
    uint32_t lastError = ZOL_GetLastError();
    KESTRAVO_LOG_CODE(LOG_ERROR, kFunction, KESTRAVO_ERR_PROCESS_CREATE, "[exePath=%s,lastError=%d]Create Process failed!",
                      process.exePath.c_str(), static_cast<int>(lastError));
  } else {
    // A restarted child's event may have been set for the child before it; a new one's was made unset.
    if (task.type == TASK_RELAUNCH) ZOL_ResetEvent(process.namedEvent.Get());
    process.processHandle = SharedEvent(handle);
    process.startedAt = Clock::now();
    KESTRAVO_LOG_INFO(kFunction, "[exePath=%s,pid=%d]Create Process success!", process.exePath.c_str(),
                      static_cast<int>(process.pid));
  }
  return ok && handle != nullptr;
}

void CProcessLauncher::ReportStart(LaunchTask& task, bool ok) {
  if (!ok) {
    // Here rather than where it failed, so that side-by-side starts retry in queue order too.
    ZOL_Guard guard(&queueMutex);
    task.notBefore = Clock::now() + kStartRetryPeriod;
    taskQueue.push_back(task);
  }
  IProcessLaucherSink* target = sink;
  if (target == nullptr) return;
  if (task.type == TASK_CREATE) {
    target->OnCreateNotify(&task.process, ok);
  } else {
    target->OnRelaunchNotify(&task.process, ok);
  }
}

uint64_t CProcessLauncher::BeginDestroy(LaunchTask& task) {
  const uint64_t id = ++lastStopId;
  ZOL_SetEvent(task.process.namedEvent.Get());
  HANDLE handle = task.process.processHandle.Get();
  // Ended already, or a handle that cannot be waited on (as a wait that fails at once): done now.
  const uint32_t state = ZOL_WaitForSingleObject(handle, 0);
  if (state != WAIT_TIMEOUT) {
    CompleteDestroy(task, state == WAIT_OBJECT_0);
    return id;
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(task.graceMs);
  const bool watched = stopWaits->Add(handle);
  stopsInHand.push_back(StopInHand{std::move(task), deadline, id, watched});
  return id;
}

bool CProcessLauncher::ServiceStops(HANDLE event, uint32_t ms) {
  Clock::time_point now = Clock::now();
  bool unwatched = false;
  for (const StopInHand& stop : stopsInHand) {
    ms = std::min(ms, FiniteMsUntil(stop.deadline, now));
    unwatched = unwatched || !stop.watched;
  }
  if (unwatched) ms = std::min(ms, kUnwatchedLookMs);
  endedChildren.clear();
  uint32_t result = WAIT_OBJECT_0;
  if (stopsInHand.empty()) {
    if (event != nullptr) result = ZOL_WaitForSingleObject(event, ms);
  } else {
    result = stopWaits->Wait(event, ms, &endedChildren);
  }
  if (result == WAIT_FAILED) {
    if (event != nullptr && ZOL_WaitForSingleObject(event, 0) == WAIT_FAILED) return false;
    // The set could not wait (no descriptor to be had): each child is looked at on its own.
    unwatched = true;
    ZOL_Sleep(kUnwatchedLookMs);
  }
  if (stopsInHand.empty()) return true;
  std::sort(endedChildren.begin(), endedChildren.end());
  now = Clock::now();
  std::list<StopInHand> done;
  for (auto it = stopsInHand.begin(); it != stopsInHand.end();) {
    HANDLE handle = it->task.process.processHandle.Get();
    const bool ended = std::binary_search(endedChildren.begin(), endedChildren.end(), handle) ||
                       ((unwatched || !it->watched) && ZOL_WaitForSingleObject(handle, 0) == WAIT_OBJECT_0);
    if (!ended && it->deadline > now) {
      ++it;
      continue;
    }
    if (it->watched) stopWaits->Remove(handle);
    it->ended = ended;
    done.splice(done.end(), stopsInHand, it++);
  }
  // After the list is settled: a report may run a stop of the sink's on this thread.
  for (StopInHand& stop : done) CompleteDestroy(stop.task, stop.ended);
  return true;
}

void CProcessLauncher::EndAllStops() {
  static const char* const kFunction = "CProcessLauncher::insideLaucherRoutine";
  if (stopsInHand.empty()) return;
  std::list<StopInHand> all;
  all.swap(stopsInHand);
  std::vector<HANDLE> running;
  for (StopInHand& stop : all) {
    HANDLE handle = stop.task.process.processHandle.Get();
    if (stop.watched) stopWaits->Remove(handle);
    stop.ended = ZOL_WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
    if (stop.ended) continue;
    KESTRAVO_LOG_INFO(kFunction, "[hpid=%d]the launcher stops, the process is terminated before its grace ran out",
                      static_cast<int>(stop.task.process.hpid));
    running.push_back(handle);
  }
  // Together: each kill waits for its child to die.
  TerminateProcesses(running.data(), running.size(), kRemainsWaitMs);
  for (StopInHand& stop : all) {
    if (stop.ended) EndProcessRemains(stop.task.process.processHandle.Get(), 0);
    KESTRAVO_LOG_INFO(kFunction, "[hpid=%d] process destroy success.", static_cast<int>(stop.task.process.hpid));
    IProcessLaucherSink* target = sink;
    if (target != nullptr) target->OnDestroyNotify(&stop.task.process);
  }
}

void CProcessLauncher::CompleteDestroy(LaunchTask& task, bool ended) {
  static const char* const kFunction = "CProcessLauncher::insideLaucherRoutine";
  ManagedProcess& process = task.process;
  if (!ended) {
    KESTRAVO_LOG_INFO(kFunction, "[hpid=%d]The process has been notified, but wait exit timeout!",
                      static_cast<int>(process.hpid));
    TerminateProcessTree(process.processHandle.Get());
  } else {
    // Ended on its event: what it started goes too, as after a kill.
    EndProcessRemains(process.processHandle.Get(), kRemainsWaitMs);
  }
  KESTRAVO_LOG_INFO(kFunction, "[hpid=%d] process destroy success.", static_cast<int>(process.hpid));
  IProcessLaucherSink* target = sink;
  if (target != nullptr) target->OnDestroyNotify(&process);
}

void CProcessLauncher::RunKillTask(LaunchTask& task) {
  static const char* const kFunction = "CProcessLauncher::insideLaucherRoutine";
  ManagedProcess& process = task.process;
  if (ZOL_WaitForSingleObject(process.processHandle.Get(), 0) == WAIT_OBJECT_0) {
    KESTRAVO_LOG_INFO(kFunction, "[hpid=%d]Process has been exited before killing!", static_cast<int>(process.hpid));
  } else {
    TerminateProcessTree(process.processHandle.Get());
  }
  IProcessLaucherSink* target = sink;
  if (target != nullptr) target->OnKillNotify(&process);
}
