// kestravo-host's work: adopt what an earlier run left, start the commands, show what the
// library reports, and at the end stop everything and sum it up.
#pragma once

#include <stdint.h>

#include <array>
#include <atomic>
#include <deque>
#include <functional>
#include <ios>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "command_list.h"
#include "control_socket.h"
#include "exit_watch.h"
#include "host_state.h"
#include "host_os.h"
#include "library.h"
#include "message_queue.h"
#include "status.h"

namespace kestravo_host {

// The exit-to-restart times in a fixed size, however many restarts there are: their count and
// maximum, and the last kSamples of them for the median.
class RestartTimes {
 public:
  static constexpr size_t kSamples = 1024;
  void Add(double ms);
  // "median 1.2 ms, maximum 3.4 ms (5 restarts timed)", or "none".
  std::string Text() const;
  const double& Last() const { return samples_[(count_ - 1) % kSamples]; }

 private:
  uint64_t count_ = 0;
  double max_ = 0;
  std::array<double, kSamples> samples_{};  // a ring: the sample of restart n is at n % kSamples
};

// What a stop of every command takes at most. A program gets its stop once the programs whose
// after names it have stopped, so this is the longest such chain, each program's grace and the
// 2 s the host waits past it.
struct StopTime {
  uint64_t ms = 0;
  // "3.00 s, of web" (no command is after another); "35.0 s: app, then db" (the chain, in the
  // order it stops); "none" for no command.
  std::string text;
  bool ordered = false;  // some command is after another
};
StopTime StopTimeOf(const std::vector<Command>& commands);

// How often the main loop looks around at least while nothing is reported.
constexpr auto kTick = std::chrono::milliseconds(100);
double Ms(Clock::duration d);
// value with that many decimals.
std::string Fixed(double value, int decimals);
// "hpid 3  pid 1234  what" (pid "?" when 0), as every line about a child begins.
std::string ChildText(uint32_t hpid, uint32_t pid, const std::string& what);

class Supervisor {
 public:
  // args: the host's command line, parsed again at a reload.
  Supervisor(Library library, Options options, std::vector<std::string> args);
  // Runs until the time is up or a stop is requested (see CatchStopRequests, which the caller
  // calls first), answering control requests and reloading on SIGHUP meanwhile. 0 when every
  // command was accepted, 1 otherwise.
  int Run();

 private:
  struct Child {
    // Its command; an adopted child that none of this run's commands is gets the program and
    // arguments it was recorded with, and a name of its own.
    Command command;
    bool ofThisRun = true;  // false for such an adopted child: once stopped it is gone
    uint32_t pid = 0;      // 0 until known
    bool running = false;  // false between MSG_EXITED and MSG_RESTARTED
    bool restartFailed = false;  // since its last MSG_RESTART_FAILED, until it restarts
    bool adopted = false;
    bool startCounted = false;  // by a look at its pid, its adoption or its exit, whichever came first
    bool exitShown = false;     // its current process's end is shown; a second report of it is not
    std::streamoff outputFrom = 0;  // the output file's size when this run started it: older lines are not its
    uint64_t restarts = 0;
    std::string lastExit;  // how its last process ended, or how it was stopped
    std::string lastCause;  // that end's cause as status --json names it; empty: not known
    bool ready = false;     // its current process said it is ready (MSG_READY)
    bool leftEnded = false;  // its restart policy left its last process ended: no restart follows
    std::string statusText;  // the last STATUS line it sent
    // In stopped_: not started yet, until the programs its after names are ready.
    bool waiting = false;
    bool slowStartNoted = false;
    bool earlyEndShown = false;  // the cause and output of an end soon after a start, shown once
    Clock::time_point runningSince;  // when its current process was seen to start
    std::chrono::system_clock::time_point runningSinceWall;  // the same on the wall clock, for the host's state file
    uint64_t ends = 0;          // the MSG_EXITED of its processes so far
    uint64_t lastRunMs = 0;     // how long the last of them ran
    Clock::time_point nextTryAt;  // when the library starts it again; none before runningSince
    // In stopped_: stopped on request (and kept so across the host's restarts); or why it could
    // not be started, shown as failed and tried again at a reload or a start by name.
    bool byHand = false;
    std::string failedWhy;
    Clock::time_point createdAt;
    std::chrono::system_clock::time_point createdWallAt;  // for a start shown late
    Clock::time_point nextLook;  // when to ask for its pid again
    Clock::duration lookInterval{};
    uint32_t exitedPid = 0;
    Clock::time_point exitedAt;  // when the library reported the last exit
  };

  // How a stop went, for the summary's counts.
  enum class Outcome { kNeverStarted, kAlreadyEnded, kStillRuns, kKilled, kOnSignal, kOnStopEvent };
  // Stops that end together: then runs on the main thread once the last of them is done, with
  // the children stopped, by name (lastExit says how each was stopped; how, the same shorter).
  struct Batch {
    struct Ended {
      Child child;
      std::string how;
    };
    size_t left = 0;  // the stops not done yet, those still waiting among them
    std::map<std::string, Ended> ended;
    std::function<void(Batch&)> then;
    // Not begun yet, by hpid, with the name they had (a stop by name or a new start may take the
    // hpid meanwhile): each begins once no program after it is waiting or being stopped.
    std::map<uint32_t, std::string> waiting;
    bool onRequest = false;
  };
  // A child being stopped, out of children_ (its hpid may be handed out again before the stop
  // is done). Its worker thread destroys it and fills in the results; once done is set the whole
  // record is the main thread's again, which joins the worker.
  struct Stop {
    uint32_t hpid = 0;
    Child child;              // read by the worker and the main thread, written by neither until done
    bool onRequest = false;   // shown as "stopped on request"
    std::shared_ptr<Batch> batch;
    std::thread worker;
    // Written by the worker before done.
    uint32_t pidNow = 0;  // the pid the library gave when asked at the stop; 0: none
    std::chrono::system_clock::time_point pidSeenAt;
    Outcome outcome = Outcome::kNeverStarted;
    std::string how;
    std::atomic<bool> done{false};
  };

  // A start or restart by name, answered once the program has run for the young-exit time or
  // has ended before it (or when the wait is up).
  struct StartWait {
    ControlRequest request;
    std::string name;
    uint32_t hpid = 0;
    uint64_t ends = 0;        // the child's ends when the wait began
    std::string restartHow;   // a restart's: how the old process was stopped; empty for a start
    Clock::time_point deadline;
    // For a program with a ready setting: answered once it is ready, not once it has run a while.
    bool untilReady = false;
  };

  void Adopt();
  void StartCommands();
  // Whether the child counts as ready for the programs after it and the service manager: it said
  // so, or, without a ready setting, it runs.
  static bool IsReady(const Child& child);
  // Whether every program that command's after names is ready.
  bool AfterReady(const Command& command) const;
  // Starts the waiting programs whose after programs are all ready now.
  void StartWaiting();
  // Tells the service manager once that the host is ready: every program it started with is
  // ready, has failed or is stopped.
  void NotifyWhenReady();
  // The StartWait of a start or restart of the child now at hpid.
  StartWait WaitFor(const ControlRequest& request, uint32_t hpid, uint64_t ends, const std::string& restartHow) const;
  void Supervise();
  void HandleMessages();
  // The pid of the process that the restart of hpid at batch[at] started.
  uint32_t RestartedPid(uint32_t hpid, const std::deque<Message>& batch, size_t at, uint32_t endedPid);
  void LearnStarts();
  // Counts and shows the first start of a child, with pid, once.
  void ShowStart(uint32_t hpid, Child& child, uint32_t pid, std::chrono::system_clock::time_point when);
  // Starts a command as a new child; false, with *why, when the library refuses.
  bool StartCommand(const Command& command, std::string* why);
  // Takes the child out of children_ and gives it its stop on a worker thread of its own; the
  // batch's then runs once it and the batch's other stops are done. The caller has counted it
  // in batch->left. Reports of it that come in meanwhile are dropped.
  void BeginStop(uint32_t hpid, bool onRequest, const std::shared_ptr<Batch>& batch);
  // On the stop's worker: destroys the child with its grace and finds out how it ended. Touches
  // only the stop, the library and the exit watch, which take their own locks. The library waits
  // for the child without its lock, so the workers' destroys run side by side, and each grace
  // is timed from the worker's own call.
  void RunStop(Stop& stop);
  // Stops the children at hpids in the reverse of their start order (see BeginFreeStops); the
  // batch's then runs once every one is done, at once when there is none.
  void StopInOrder(const std::vector<uint32_t>& hpids, bool onRequest, const std::shared_ptr<Batch>& batch);
  // Begins the waiting stops of the ordered batches that no program waiting or being stopped is
  // after; a waiting child gone meanwhile is counted done.
  void BeginFreeStops();
  // Shows and counts the stops that are done, and runs the batches they complete.
  void FinishStops();
  // The stop in hand of the program so named; null when none.
  const Stop* FindStop(const std::string& name) const;
  void StopAll();
  void PrintSummary();
  void ShowEarlyEnd(uint32_t hpid, Child& child, const std::string& cause);
  // "; the last lines of FILE:" and those lines of its output since its start, each on a line of
  // its own; empty when there are none.
  static std::string OutputTail(const Child& child);

  void Line(const std::string& text, std::chrono::system_clock::time_point when);
  void Line(const std::string& text) { Line(text, std::chrono::system_clock::now()); }
  void Status();

  // Control, in control_commands.cpp: answers the requests that wait. A request that stops
  // programs is answered once they are stopped; the main loop runs on meanwhile.
  void HandleRequests();
  // Answers a request (one of SIGHUP, with no connection, is shown only).
  void Reply(const ControlRequest& request, const Answer& answer);
  // False when the answer comes later, through Reply.
  bool Control(const ControlRequest& request, Answer* answer);
  // Starts the program so named; false when the answer comes later, through Reply.
  bool StartByName(const ControlRequest& request, const std::string& name, Answer* answer);
  // Starts old's command anew as old's successor, and answers request once it runs or has
  // failed (see StartWait); one that cannot be started stays in stopped_ as failed.
  void StartAgain(const ControlRequest& request, Child old, const std::string& restartHow);
  // Answers the start waits that are settled.
  void AnswerStarts();
  // A stopped_ entry for command that could not be started, with its record so far.
  static Child Failed(const Command& command, const Child* before, const std::string& why);
  // The host's state file, read at the start and written whenever what it keeps has changed.
  void RestoreRecords();
  void SaveRecords();
  bool StopByName(const ControlRequest& request, const std::string& name, bool restart, Answer* answer);
  // Re-reads the program lists; everything keeps running when they no longer read. The stops
  // it needs run together; the starts follow once they are done.
  bool Reload(const ControlRequest& request, Answer* answer);
  std::vector<ProgramStatus> Programs() const;
  // In control_observe.cpp: status of the programs named (all when none), with the exit code
  // systemctl is-active would give; a signal to a running program itself; its output (see LogOf).
  Answer StatusOf(const std::vector<std::string>& names) const;
  Answer SignalByName(const std::string& name, const std::string& signalText);
  Answer LogOf(const std::vector<std::string>& words) const;
  // The program's own pid (kestravo-run's child); -1 when not known.
  static int64_t ProgramPid(const Child& child);
  // The child so named, running, being stopped or stopped; null when none.
  const Child* FindAnyChild(const std::string& name) const;
  // The hpid of the child so named; false when none runs by that name.
  bool FindChild(const std::string& name, uint32_t* hpid) const;
  std::string KnownNames() const;
  static void Carry(const Child& from, Child* to);

  Library library_;
  Options options_;
  MessageQueue queue_;
  ExitWatch watch_;
  std::vector<std::string> args_;
  ControlSocket control_;
  std::map<uint32_t, Child> children_;  // by hpid
  std::map<std::string, Child> stopped_;  // stopped on request, by name: they have no hpid
  std::list<Stop> stopping_;  // the stops in hand; the list itself is the main thread's
  std::vector<std::shared_ptr<Batch>> ordered_;  // batches with stops still waiting to begin
  bool ending_ = false;       // the host's own stop has begun: nothing starts any more
  std::string serviceNotify_;  // the service manager's notify socket; empty: none, or told already
  std::vector<StartWait> startWaits_;
  std::map<std::string, ProgramRecord> records_;  // read back at the start
  std::string stateFile_, savedRecords_;
  bool recordsFailing_ = false;  // the last write failed: said once until one works
  std::vector<Message> adoptable_;
  bool tty_ = false, statusShown_ = false;
  Clock::time_point startedAt_;
  int refused_ = 0;
  int starts_ = 0, adopted_ = 0, restarts_ = 0, failedRestarts_ = 0;
  int onSignal_ = 0, onStopEvent_ = 0, killed_ = 0, alreadyEnded_ = 0;
  RestartTimes restartTimes_;
};

}  // namespace kestravo_host
