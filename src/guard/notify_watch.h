// The notify watch: one worker thread that reads the children's notify channels and keeps their
// clocks (ready time-out, watchdog, kill after a stop's grace).
//
// A thread of its own rather than the running guard's: the guard's wait is over process handles
// and its reports are exits, which must not wait behind a child that floods its channel; here each
// pass takes a bounded number of messages per channel, so one child cannot delay another's pings
// either. It sleeps until a message comes, a change wakes it, or the nearest deadline is due;
// while no child has a clock running it waits without limit. The clocks are kept ordered by
// deadline, so a pass costs what changed, not the number of children.
// Under load it reads in batches: while messages stream in (a wake for messages came less than
// twice kNotifyCoalesceMs after the one before), the next read waits until that spacing has
// passed, unless a deadline or a change comes sooner. A READY or STATUS is then told up to that spacing late; pings lose
// nothing, as their clocks are seconds long.
#pragma once
#include <stdint.h>

#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "manager/child_settings.h"
#include "platform/notify_channel.h"
#include "platform/zol_mutex.h"
#include "platform/zol_runtime.h"

// What the watch reports, on its thread, with no lock of its own held. Each report names the
// process (pid) it is about: the sink ignores one whose hpid has another process by now.
class INotifyWatchSink {
 public:
  // The settings of hpid's process changed; becameReady: it said READY=1 for the first time (or
  // was adopted ready), so the host is told once.
  virtual void OnChildSettings(uint32_t hpid, uint32_t pid, const ChildSettings& settings, bool becameReady) = 0;
  virtual void OnChildStatus(uint32_t hpid, uint32_t pid, const std::string& status) = 0;
  // A clock ran out (cause KESTRAVO_CAUSE_WATCHDOG or NOT_READY, causeValue in ms): the child is
  // to get its stop event. The kill follows with OnChildKillDue after the grace, unless the
  // process ends first (ProcessEnded).
  virtual void OnChildOverdue(uint32_t hpid, uint32_t pid, uint32_t cause, uint64_t causeValue) = 0;
  virtual void OnChildKillDue(uint32_t hpid, uint32_t pid) = 0;
  virtual ~INotifyWatchSink() {}
};

// The least spacing of the watch's reads while messages stream in, in ms.
constexpr uint32_t kNotifyCoalesceMs = 40;

class CNotifyWatch {
 public:
  CNotifyWatch();
  ~CNotifyWatch();
  CNotifyWatch(const CNotifyWatch&) = delete;
  CNotifyWatch& operator=(const CNotifyWatch&) = delete;

  // Starts the thread with sink (not owned; it must outlive Stop). True also when it runs already.
  // False, logged, for a null sink or no thread.
  bool Start(INotifyWatchSink* sink);
  // Ends the thread and closes every channel. On the watch thread itself (the host's callback
  // called the last Uninit) it only asks; the next Start or the destructor waits. Always true.
  bool Stop();

  // Makes the channel of hpid under guid's name (before its child starts, or at its adoption),
  // replacing one the hpid had. False, logged, when it cannot be made: the child then runs
  // without one. Any thread.
  bool OpenChannel(uint32_t hpid, const std::string& guid);
  // Removes hpid's channel and forgets its clocks. Any thread.
  void CloseChannel(uint32_t hpid);
  // hpid's process pid runs from now with settings: the defaults after a start, the recorded ones
  // for an adopted child, whose clocks start now and which is reported ready again when it was.
  // Messages that came before from pid are taken now. Any thread.
  void ProcessStarted(uint32_t hpid, uint32_t pid, const ChildSettings& settings, bool adopted);
  // For the exit of hpid's process pid: takes what it sent before it ended and is still queued,
  // so that settings sent just before an exit decide that exit, and answers its settings, whether
  // it said READY=1 there for the first time, and the last STATUS line there (empty: none), which
  // the caller reports before the exit. False when hpid has no channel or another process. Any
  // thread.
  bool TakeFinalSettings(uint32_t hpid, uint32_t pid, ChildSettings* settings, bool* becameReady, std::string* lastStatus);
  // hpid's process pid has ended or is being replaced: its clocks stop, and its messages are no
  // longer heard. Any thread.
  void ProcessEnded(uint32_t hpid, uint32_t pid);

  // The thread's loop; returns once Stop has asked it to end.
  uint32_t insideWorkRoutine();

 private:
  using Clock = std::chrono::steady_clock;
  struct Message {
    std::string text;
    uint32_t sender;
    bool inTree;  // NotifyDatagram::senderInTree
  };
  struct Channel {
    uint32_t pid = 0;              // the process heard; 0 while none runs
    ChildSettings settings;
    Clock::time_point startedAt{};  // of the process, or its adoption
    Clock::time_point clockFrom{};  // the watchdog's: READY, the last ping or adoption
    Clock::time_point killAt{};
    bool stopAsked = false;
    bool killSent = false;
    bool announceReady = false;     // an adopted ready child, to be reported once
    bool refusedLogged = false;
    bool ignoredLogged = false;
    std::vector<Message> early;     // messages that came before the process was known
    Clock::time_point due = Clock::time_point::max();  // its entry in deadlines_; max: none
  };
  struct Event {
    enum Kind { kSettings, kReady, kStatus, kOverdue, kKill } kind;
    uint32_t hpid;
    uint32_t pid;
    ChildSettings settings;
    std::string status;
    uint32_t cause = 0;
    uint64_t causeValue = 0;
  };
  // With mutex_ held: reads up to count messages of hpid's channel and applies or keeps them.
  void ReceiveLocked(uint32_t hpid, int count, std::vector<Event>* events);
  // With mutex_ held: applies one message of ch's process.
  void TakeLocked(uint32_t hpid, Channel& ch, const std::string& text, Clock::time_point now, std::vector<Event>* events);
  void OverdueLocked(uint32_t hpid, Channel& ch, uint32_t cause, uint64_t causeValue, Clock::time_point now,
                     std::vector<Event>* events);
  // With mutex_ held: reports what is due and answers the next deadline (max: none).
  Clock::time_point CheckClocksLocked(Clock::time_point now, std::vector<Event>* events);
  // With mutex_ held: files ch under the deadline its state gives (after every change of it).
  void ScheduleLocked(uint32_t hpid, Channel& ch);
  // With mutex_ held: ch's entry out of deadlines_, before it is reset or erased.
  void UnscheduleLocked(uint32_t hpid, Channel& ch);

  ZOL_NotifySet set_;                    // its own lock, a leaf, taken after mutex_
  ZOL_Mutex mutex_;                      // after the manager lock and the launcher's queue mutex
  // The children whose messages the thread has taken and not yet passed on, and an event set
  // whenever it has passed them all on: an exit waits for them, so that they come before it.
  std::set<uint32_t> passing_;  // guarded by mutex_
  // Made at the first Start, not while the library loads, and kept for the process's life.
  HANDLE passed_ = nullptr;
  std::map<uint32_t, Channel> channels_;  // guarded by mutex_
  // Each channel with a clock running, by its deadline; guarded by mutex_.
  std::set<std::pair<Clock::time_point, uint32_t>> deadlines_;
  // Channels with early messages or a ready to announce, for the next pass; guarded by mutex_.
  std::set<uint32_t> pending_;
  void* thread_ = nullptr;               // written by Start and Stop only
  bool running_ = false;                 // written by Start and Stop only
  std::atomic<bool> quitRequested_{false};
  std::atomic<INotifyWatchSink*> sink_{nullptr};
};
