// The process manager: the table of managed children and every operation on it, on requests of
// the host (exported functions) and on reports of the workers (the sink interfaces).
//
// Locks, outermost first: the global lock (held by the exported functions, but not while a
// destroy or kill waits for its stop), the store's lock, the manager lock (processMap and the
// stops in hand), the launcher's queue mutex, the notify watch's mutex, the hpid pool's lock. The
// manager lock is never held while the launcher, the notify watch, the store or the host's
// callback is called, nor while a child is waited on, except by Uninit after the workers have
// stopped.
#pragma once
#include <stdint.h>

#include <atomic>
#include <chrono>
#include <list>
#include <string>

#include "state/kestravo_config.h"
#include "guard/notify_watch.h"
#include "guard/running_guard.h"
#include "kestravo.h"
#include "launcher/process_launcher.h"
#include "manager/managed_process.h"
#include "platform/zol_mutex.h"

class CProcessMgr : public IRunningGuardSink, public IProcessLaucherSink, public IConfigSink, public INotifyWatchSink {
 public:
  CProcessMgr();
  // Releases the records (closing the handles no one else shares); stops no child.
  ~CProcessMgr() override;
  CProcessMgr(const CProcessMgr&) = delete;
  CProcessMgr& operator=(const CProcessMgr&) = delete;

  // Loads the state file (reporting surviving children to the callback on this thread), then
  // starts the launcher and the running guard. 0, or -1 after a full Uninit when a worker would
  // not start. Host thread, global lock held.
  int32_t Init();
  // Clears the callback, stops both workers, asks every child still running to stop (all stop
  // events at once, then termination of those still running after one shared grace of 1000 ms),
  // the children of stops that timed out included, frees
  // every hpid and empties the table. The state file keeps its entries. Always 0. Global lock
  // held; a host thread, or a worker's thread when the host's callback calls the last Uninit.
  int32_t Uninit();
  // Ends the workers (running guard, launcher, notify watch, in that order) and touches no child:
  // the first step of Uninit, and all that the exit of a host without Uninit does. A worker's own
  // thread is told to end and ends once the host's callback returns.
  void StopWorkers();

  // The operations behind the exported functions; host threads, global lock held.
  // Queues the start of a new child and writes its hpid: 0, 1 (bad argument), 4 (no resource).
  int32_t CreateProcess(const std::string& exePath, const std::string& cmdLine, uint32_t* hpidOut, uint64_t userData);
  // Removes the record and waits for the launcher to stop the child, which gets graceMs (0: the
  // default of 3000, at most 600000) to end by itself: 0, 1, 3 when not confirmed within the
  // grace and 2000 ms more (5000 ms at least). On 3 the stop goes on; when it is done the entry
  // leaves the state file and the hpid is freed. A start that has not happened yet is cancelled
  // (0), one under way is waited for first. On the launcher thread (the host's callback) the stop
  // is done at once, on that thread. Each is BeginStop (again after WaitForStart while it finds
  // the start under way) and, when it answers a pending stop, FinishStop.
  int32_t DestroyProcess(uint32_t hpid, uint32_t graceMs);
  int32_t KillProcess(uint32_t hpid, const std::string& reserved);

  // A stop handed to the launcher, for its caller to wait on.
  struct PendingStop {
    bool active = false;     // there is a stop to wait for
    bool runHere = false;    // the waiting thread carries it out itself (the launcher's own
                             // thread, or a stopped launcher)
    int32_t taskType = 0;
    uint32_t graceMs = 0;
    ManagedProcess process;  // shares the sync event with the stop in hand
    SharedEvent startInHand; // set when the child's first start is on the launcher right now
  };
  // The first half of a destroy (TASK_DESTROY, graceMs as given to DestroyProcess) or kill
  // (TASK_KILL): the record leaves the table and its stop is queued; *pending is then active and
  // the result is 0, to be replaced by FinishStop's. Otherwise the final result (1, or 0 for a
  // cancelled start). A child whose first start the launcher has taken but not yet reported
  // answers 1 with pending->startInHand set: the caller waits for that start (WaitForStart) and
  // begins again, so that a stop right after a create stops the child. Global lock held.
  int32_t BeginStop(uint32_t hpid, int32_t taskType, uint32_t graceMs, PendingStop* pending);
  // Waits a little, without the global lock, for the start BeginStop found in hand to be
  // reported: false once deadline has passed (the stop then answers what BeginStop did).
  bool WaitForStart(const PendingStop& pending, std::chrono::steady_clock::time_point deadline);
  // How long a stop waits at most for a start in hand: beyond the launcher's wait for an exec.
  static constexpr std::chrono::seconds kStartInHandWait{15};
  // The second half: waits for the stop's report, within its bound, and frees the hpid. 0, or 3
  // when not confirmed in time (the stop goes on and frees the hpid when it is done; also on a
  // library thread told to end meanwhile). 0 when the last Uninit ended the child meanwhile.
  // Made without the global lock, so that no call waits for another's child; the objects it
  // touches live as long as the library. Any thread.
  int32_t FinishStop(PendingStop& pending);
  // Queues a kill and a relaunch of the same record: 0, 1.
  int32_t RestartProcess(uint32_t hpid);
  int32_t GetOSPid(uint32_t hpid, uint32_t* osPid);
  // The lowest hpid whose record has OS pid osPid, a child left ended aside.
  bool IsManaged(uint32_t osPid, uint32_t* hpid);
  // Any thread; the pair is set and read as one.
  int32_t SetMsgCallBack(MsgCallBack callback, void* userValue);
  // Adopts a child reported at the last load, once it is shown to be that child: 0; 1 (unknown
  // pair, hpid beyond 1023, or the process has ended or is another program); 4 (no resource, or
  // the process cannot be checked now); 6.
  int32_t Attach(uint32_t hpid, uint32_t pid);

  // Replaces out with a copy of processMap (records share their handles). Always true. Any thread.
  bool GetProcessMap(ProcessMap& out);
  // IRunningGuardSink: the guard's fields of every record, in ascending hpid, reusing out's
  // elements. Their handles must be empty already: none is then closed under the manager lock.
  // Any thread.
  void GetGuardSnapshot(std::vector<GuardRecord>& out) override;

  // Creates the named stop event (CreateStopEvent); an existing one is reset and reused. Null on
  // failure.
  HANDLE createNamedEvent(const std::string& name);

  // IRunningGuardSink, on the guard thread: the process of hpid ended.
  int32_t OnGuardNotify(uint32_t notifyType, uint32_t hpid) override;
  // INotifyWatchSink, on the notify watch's thread: each acts only while hpid's record still has
  // process pid running. Settings are kept in the record and its entry; MSG_READY and MSG_STATUS
  // go to the host; an overdue child gets its stop event and, after its grace, is terminated.
  void OnChildSettings(uint32_t hpid, uint32_t pid, const ChildSettings& settings, bool becameReady) override;
  void OnChildStatus(uint32_t hpid, uint32_t pid, const std::string& status) override;
  void OnChildOverdue(uint32_t hpid, uint32_t pid, uint32_t cause, uint64_t causeValue) override;
  void OnChildKillDue(uint32_t hpid, uint32_t pid) override;
  // IProcessLaucherSink, on the launcher thread.
  int32_t OnCreateNotify(ManagedProcess* process, bool ok) override;
  int32_t OnRelaunchNotify(ManagedProcess* process, bool ok) override;
  int32_t OnKillNotify(ManagedProcess* process) override;
  int32_t OnDestroyNotify(ManagedProcess* process) override;
  // Wakes the running guard for the children started since its last wake, and writes the state
  // file's deferred changes, once they have waited maxDelayMs or a settings change is due;
  // answers when the one still pending is due.
  uint32_t OnLauncherIdle(uint32_t maxDelayMs) override;
  // IConfigSink, on the thread in KESTRAVO_Init: drops the entries whose process has ended or is
  // another program now, keeps those that cannot be checked (unreported), and reports each of the
  // others once, in file order, with MSG_ATTACHABLE.
  int32_t OnConfigNotify(std::list<ProcConfig>& list) override;

 private:
  struct Callback {
    MsgCallBack function = nullptr;
    void* userValue = nullptr;
  };
  // The callback pair as it is now.
  Callback GetCallback();
  // Calls the host's callback, if one is set.
  void Notify(uint32_t hpid, uint32_t msgType, void* msgData);
  // A stop whose record has left the table, from BeginStop until its hpid is freed.
  struct StopInHand {
    ManagedProcess process;
    bool done = false;       // the launcher reported it: the waiter frees the hpid
    bool abandoned = false;  // the waiter gave up (3): the report frees the hpid
  };
  // DestroyProcess and KillProcess: BeginStop, again while a start under way is waited for, then
  // FinishStop.
  int32_t Stop(uint32_t hpid, int32_t taskType, uint32_t graceMs);
  // A stop task is done: the entry leaves the file, a stop that timed out frees its hpid, and the
  // waiting thread (if any) is released.
  int32_t OnStopNotify(ManagedProcess* process);
  // The waiter stopped waiting for process's stop: the report frees the hpid. 3, or 0 when the
  // report came meanwhile (the hpid is freed here then).
  int32_t AbandonStop(const ManagedProcess& process, const char* function);
  // With the manager lock held: true when the stop of process is over, because the last Uninit
  // ended it or because it is done (its entry then goes and its hpid is freed here).
  bool StopOverLocked(const ManagedProcess& process);
  // With the manager lock held: the record of hpid, or processMap.end() after logging, under
  // function's name, that it is not managed.
  ProcessMap::iterator FindManaged(uint32_t hpid, const char* function);
  // With the manager lock held: the record of hpid while it has process pid running, else null.
  ManagedProcess* RunningRecordLocked(uint32_t hpid, uint32_t pid);
  // Persists a record's pid, hpid, path, command line, guid and notify settings. On the launcher thread the
  // rewrite is deferred to the launcher's next flush (within a few milliseconds).
  static void SaveProcConfig(const ManagedProcess& process);

  ZOL_Mutex lock_;                        // the manager lock
  ProcessMap processMap;                  // guarded by the manager lock
  // Stops in hand by hpid: one at most per hpid, which stays taken until the entry goes. Whoever
  // takes an entry out frees its hpid: the waiter (done), the report (abandoned), or Uninit.
  std::map<uint32_t, StopInHand> stops_;  // guarded by the manager lock
  // The sync events of first starts not yet reported (queued, in hand, or failed and queued
  // again), by hpid: a stop of one of them waits for its start or cancels it.
  std::map<uint32_t, SharedEvent> startsPending_;  // guarded by the manager lock
  ZOL_Mutex callbackLock_;                // a leaf: held only to copy or set the pair
  Callback callback_;                     // guarded by callbackLock_
  std::list<ProcConfig> attachableList;   // guarded by the global lock
  // Children started since the running guard's last wake, and since when: the launcher thread's
  // own (its sink calls), or the thread that stopped it once it has ended.
  bool guardWakeDeferred_ = false;
  std::chrono::steady_clock::time_point guardWakeSince_{};
  std::chrono::steady_clock::time_point lastStartAt_{};  // the last child started; the same thread's
};
