// The launcher: one worker thread that starts and stops child processes and reports each outcome
// to its sink. It takes tasks one at a time, in queue order, but never waits on one child: a
// destroy asks the child to end and is then carried beside the other tasks until the child ends
// or its grace runs out.
#pragma once
#include <stdint.h>

#include <atomic>
#include <list>
#include <string>
#include <vector>

#include "launcher/launch_task.h"
#include "platform/zol_mutex.h"
#include "platform/zol_runtime.h"

// What the launcher reports, on the launcher thread. The record is the launcher's own working
// copy, valid during the call only; results are ignored.
class IProcessLaucherSink {
 public:
  virtual ~IProcessLaucherSink() {}
  // A create or relaunch task ran; ok tells whether the process started (then the record holds
  // the new pid and process handle). A failed start is already queued again.
  virtual int32_t OnCreateNotify(ManagedProcess* process, bool ok) = 0;
  virtual int32_t OnRelaunchNotify(ManagedProcess* process, bool ok) = 0;
  // A kill or destroy task ran.
  virtual int32_t OnKillNotify(ManagedProcess* process) = 0;
  virtual int32_t OnDestroyNotify(ManagedProcess* process) = 0;
  // The launcher has a moment between tasks: the sink does its own deferred work now if it has
  // waited maxDelayMs (0: before the thread waits or stops, before a kill, or when a call asked
  // for by CallIdleWithin or an earlier answer is due; more right after a start, when more may
  // follow). Answers in how many ms it wants to be called again, INFINITE for no call.
  virtual uint32_t OnLauncherIdle(uint32_t /*maxDelayMs*/) { return INFINITE; }
};

// Queue rules:
// - a stop task for a record whose start task is still queued (same command line) cancels that
//   start task and runs all the same, so that its stop is reported;
// - a start task for a record (same command line, which names hpid and guid) that already has
//   one queued is dropped;
// - a task runs when it is due, in queue order; a new task is due at once (or after the delay it
//   was queued with), a start that failed is queued again, due 30 s later, for as long as it
//   fails. The thread sleeps until a task is queued, the next task is due, a child in a destroy
//   ends, a destroy's grace runs out, or Stop;
// - a destroy signals the child's stop event and stays in hand, beside later tasks, until the
//   child ends (its leftovers are ended then) or its grace runs out (its tree is terminated);
//   either way it is reported then. A relaunch of a record whose destroy is in hand is dropped;
// - creates due one right behind the other are spawned side by side, two at once, the first on
//   the launcher thread and the second on a side thread kept for the launcher thread's life: a
//   spawn mostly waits for its child to reach exec. The next task is taken, and the starts reported
//   in queue order, only once all of them are done, so that they are one task to the queue.
// Lock order: the queue mutex is innermost but for the hpid pool's; nothing else is taken while
// it is held, and it is never held while a task runs or the sink is called.
class CProcessLauncher {
 public:
  // How many creates are spawned at once at most.
  static constexpr size_t kStartsAtOnce = 2;

  CProcessLauncher();
  // Stops the thread; the queued tasks are dropped.
  ~CProcessLauncher();
  CProcessLauncher(const CProcessLauncher&) = delete;
  CProcessLauncher& operator=(const CProcessLauncher&) = delete;

  // Starts the thread with sink (not owned; it must outlive Stop). False, logged, when the sink
  // is null or the stop event or the thread cannot be made; the launcher is stopped then.
  bool Start(IProcessLaucherSink* sink);
  // Drops every queued task, signalling its sync event so that no caller waits for it, then
  // waits for the thread, which finishes the task in hand and terminates the children of the
  // destroys in hand at once, reporting each.
  // Called on the launcher thread itself (the host's callback called the last Uninit), it only
  // tells the thread to end; the next Start or the destructor waits for it. Always true.
  bool Stop();
  // Queues a copy of process as a task of the given type, due delayMs from now; a destroy gives
  // the child graceMs to end by itself. False, logged, only when the launcher is not running; a
  // task dropped by the queue rules still answers true. Any thread.
  bool Lauch(int32_t type, const ManagedProcess& process, uint32_t delayMs = 0,
             uint32_t graceMs = kDefaultStopGraceMs);
  // Runs a destroy or kill task on the calling thread at once, after cancelling the record's
  // queued start, and returns once it is reported (as a queued one is). For the launcher thread
  // itself (a callback that stops a child), where the destroys already in hand meanwhile end on
  // time too, and for a stopped launcher.
  void RunStopNow(int32_t type, const ManagedProcess& process, uint32_t graceMs = kDefaultStopGraceMs);
  // Takes the queued create task of hpid out of the queue, its record into *out: false when
  // there is none (the start is in hand, done, or was never asked for). Any thread.
  bool CancelStart(uint32_t hpid, ManagedProcess* out);
  // Has the sink's OnLauncherIdle called within ms, even when no task comes, for deferred work of
  // another thread (later only while a task is in hand). Wakes the thread only when that call is
  // sooner than the one already due, so that a stream of requests costs one call, not one each.
  // A stopped launcher ignores it. Any thread.
  void CallIdleWithin(uint32_t ms);
  // True on the launcher's own thread.
  bool OnLauncherThread() const;

  // The launcher thread's loop; returns 0 when Stop signals it.
  uint32_t insideLaucherRoutine();

 private:
  // A destroy in hand: its child was asked to end and has until deadline.
  struct StopInHand {
    LaunchTask task;
    std::chrono::steady_clock::time_point deadline;
    uint64_t id;
    bool watched;         // in stopWaits; otherwise looked at on each pass
    bool ended = false;   // found ended when it completed
  };

  // One start: the creates of tasks spawned side by side, then each reported in order.
  void RunStartTasks(std::list<LaunchTask>& tasks);
  // Spawns task's process, with a relaunch's wait for its predecessor's remains, and logs the
  // outcome. Any thread: it touches nothing of the launcher's.
  bool SpawnStart(LaunchTask& task);
  // Queues a failed start again, then tells the sink how the start went. Launcher thread.
  void ReportStart(LaunchTask& task, bool ok);
  // The side thread, which spawns the second create of a pair beside the launcher's own spawn:
  // started at the first pair, ended with the launcher's loop. Its routine spawns each task
  // handed to it and ends at a null one, or when its events fail.
  static uint32_t SideEntry(void* param);
  // Hands task to the side thread, starting it first if need be; false when it cannot be started.
  bool HandToSide(LaunchTask* task);
  // Waits until the side thread has spawned task, and answers how that went. Launcher thread.
  bool SideResult(LaunchTask* task);
  // Ends the side thread and closes its events; the task handed to it that it had not taken
  // yet, if any. Launcher thread.
  LaunchTask* EndSide();
  void RunKillTask(LaunchTask& task);
  // Signals the stop event and takes the destroy into stopsInHand, or completes it at once when
  // the child has ended already. Its id. Launcher thread.
  uint64_t BeginDestroy(LaunchTask& task);
  // Waits up to ms, at most until the nearest deadline, for event (may be null) or the end of a
  // child in a destroy, then completes the destroys whose child ended or whose grace ran out.
  // False when event cannot be waited on. Launcher thread.
  bool ServiceStops(HANDLE event, uint32_t ms);
  // Terminates the children of every destroy in hand together and completes them. Launcher thread.
  void EndAllStops();
  // Logs and reports a destroy: ended, its leftovers go; not ended, its tree is terminated.
  void CompleteDestroy(LaunchTask& task, bool ended);
  // Calls the sink's OnLauncherIdle and keeps the call it asks for next; answers the ms until
  // that call, INFINITE for none. Launcher thread, or the thread that stopped it once it ended.
  uint32_t NotifyIdle(uint32_t maxDelayMs);
  // Makes the idle call due ms from now, unless one is due sooner; wake: tell the thread.
  void ScheduleIdle(uint32_t ms, bool wake);
  // With the queue mutex held: moves the due creates right behind next, up to kStartsAtOnce - 1
  // of them, into *into, skipping tasks not due yet.
  void TakeCreatesBehind(std::list<LaunchTask>::iterator next, std::chrono::steady_clock::time_point now,
                         std::list<LaunchTask>* into);
  // With the queue mutex held: moves the queued start task of the record with that command line
  // into *into (to be released after the lock); false when there is none.
  bool TakeQueuedStart(const std::string& cmdLine, std::list<LaunchTask>* into);
  // Signals the sync event of every queued task and empties the queue.
  void DropQueuedTasks();

  std::atomic<bool> running;
  std::atomic<bool> quitRequested;         // set by Stop; cleared by Start once the old thread ended
  std::atomic<IProcessLaucherSink*> sink;  // set before the thread starts, cleared after it ends
  void* thread;                            // written by Start and Stop only; kept by a Stop on
                                           // the thread itself, for the next Start to wait for
  HANDLE wakeEvent;                        // set on a new task and by Stop; made by the first
                                           // Start, closed by the destructor
  std::list<LaunchTask> taskQueue;         // guarded by queueMutex
  bool idleCallSet = false;                // an idle call is due at idleCallDue; both guarded by queueMutex
  std::chrono::steady_clock::time_point idleCallDue;
  ZOL_Mutex queueMutex;
  // The launcher thread's own: no lock.
  std::list<StopInHand> stopsInHand;
  ZOL_WaitSet* stopWaits = nullptr;        // the process handles of stopsInHand (kept open
                                           // there); lives while the thread's loop runs
  std::vector<HANDLE> endedChildren;       // scratch of ServiceStops
  // The side thread and its handoff: made and ended by the launcher thread. The task is handed
  // through sideTask (null: end), its outcome comes back in sideOk before sideDone is set.
  void* sideThread = nullptr;
  HANDLE sideGo = nullptr;                 // set for each task handed, and to end
  HANDLE sideDoneEvent = nullptr;          // set with sideDone
  std::atomic<LaunchTask*> sideTask{nullptr};
  std::atomic<bool> sideOk{false};
  std::atomic<bool> sideDone{false};
  uint64_t lastStopId = 0;
};
