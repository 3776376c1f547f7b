// The launcher: one worker thread that starts and stops child processes, one task at a time, in
// queue order, and reports each outcome to its sink.
#pragma once
#include <stdint.h>

#include <atomic>
#include <list>
#include <string>

#include "launcher/launch_task.h"
#include "platform/zol_mutex.h"

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
};

// Queue rules:
// - a stop task for a record whose start task is still queued (same command line) cancels that
//   start task and runs all the same, so that its stop is reported;
// - a start task for a record (same command line, which names hpid and guid) that already has
//   one queued is dropped;
// - a task runs when it is due, in queue order; a new task is due at once (or after the delay it
//   was queued with), a start that failed is queued again, due 30 s later, for as long as it
//   fails. The thread sleeps until a task is queued, the next task is due, or Stop.
// Lock order: the queue mutex is innermost but for the hpid pool's; nothing else is taken while
// it is held, and it is never held while a task runs or the sink is called.
class CProcessLauncher {
 public:
  CProcessLauncher();
  // Stops the thread; the queued tasks are dropped.
  ~CProcessLauncher();
  CProcessLauncher(const CProcessLauncher&) = delete;
  CProcessLauncher& operator=(const CProcessLauncher&) = delete;

  // Starts the thread with sink (not owned; it must outlive Stop). False, logged, when the sink
  // is null or the stop event or the thread cannot be made; the launcher is stopped then.
  bool Start(IProcessLaucherSink* sink);
  // Drops every queued task, signalling its sync event so that no caller waits for it, then
  // waits for the thread, which finishes the task in hand (a destroy up to its grace).
  // Called on the launcher thread itself (the host's callback called the last Uninit), it only
  // tells the thread to end; the next Start or the destructor waits for it. Always true.
  bool Stop();
  // Queues a copy of process as a task of the given type, due delayMs from now; a destroy gives
  // the child graceMs to end by itself. False, logged, only when the launcher is not running; a
  // task dropped by the queue rules still answers true. Any thread.
  bool Lauch(int32_t type, const ManagedProcess& process, uint32_t delayMs = 0,
             uint32_t graceMs = kDefaultStopGraceMs);
  // Runs a destroy or kill task on the calling thread at once, after cancelling the record's
  // queued start; the sink hears of it as of a queued one. For the launcher thread itself (a
  // callback that stops a child), and for a stopped launcher.
  void RunStopNow(int32_t type, const ManagedProcess& process, uint32_t graceMs = kDefaultStopGraceMs);
  // Takes the queued create task of hpid out of the queue, its record into *out: false when
  // there is none (the start is in hand, done, or was never asked for). Any thread.
  bool CancelStart(uint32_t hpid, ManagedProcess* out);
  // True on the launcher's own thread.
  bool OnLauncherThread() const;

  // The launcher thread's loop; returns 0 when Stop signals it.
  uint32_t insideLaucherRoutine();

 private:
  void RunStartTask(LaunchTask& task);
  void RunDestroyTask(LaunchTask& task);
  void RunKillTask(LaunchTask& task);
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
  ZOL_Mutex queueMutex;
};
