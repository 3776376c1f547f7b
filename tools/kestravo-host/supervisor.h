// kestravo-host's work: adopt what an earlier run left, start the commands, show what the
// library reports, and at the end stop everything and sum it up.
#pragma once

#include <stdint.h>

#include <array>
#include <deque>
#include <ios>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "command_list.h"
#include "exit_watch.h"
#include "host_os.h"
#include "library.h"

namespace kestravo_host {

// A message from the library's callback, as the callback recorded it.
struct Message {
  uint32_t hpid = 0, type = 0;
  Clock::time_point at;
  std::chrono::system_clock::time_point wallAt;
  uint32_t pid = 0;        // MSG_ATTACHABLE, MSG_EXITED
  std::string cmdLine, exePath;
  // MSG_EXITED, from its ExitedProcInfo when the library gave one.
  bool haveExit = false, exitKnown = false, coreDumped = false;
  int32_t exitCode = 0, signal = 0;
  uint64_t runMs = UINT64_MAX;  // UINT64_MAX: not given
};

// Filled by the callback on the library's threads, emptied by the main thread. The callback only
// records: calling the library from a worker thread while the main thread uninitialises it
// would deadlock.
class MessageQueue {
 public:
  void Push(Message message);
  std::deque<Message> TakeAll();
  // Whether a message of this type about hpid waits; *pid gets the first one's pid.
  bool Pending(uint32_t hpid, uint32_t type, uint32_t* pid);
  // Returns as soon as a message waits, so that the main thread handles each at once (the pid
  // it then asks for is still the one the message is about), or a stop is requested: then its
  // name. Empty after ms without either.
  std::string Wait(int ms) { return wake_.Wait(ms); }

 private:
  std::mutex mutex_;
  std::deque<Message> messages_;  // guarded by mutex_
  Wake wake_;
};

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

class Supervisor {
 public:
  Supervisor(Library library, Options options);
  // Runs until the time is up or a stop is requested (see CatchStopRequests, which the caller
  // calls first). 0 when every command was accepted, 1 otherwise.
  int Run();

 private:
  struct Child {
    std::string name;  // its command's; empty for an adopted child that none of this run's commands is
    std::string shown;
    uint32_t pid = 0;      // 0 until known
    bool running = false;  // false between MSG_EXITED and MSG_RESTARTED
    bool adopted = false;
    bool startCounted = false;  // by a look at its pid, its adoption or its exit, whichever came first
    bool exitShown = false;     // its current process's end is shown; a second report of it is not
    bool viaAdapter = false;  // its stop event reaches the program as its stop signal or Ctrl-Break
    std::string output;       // its output file; empty: not kept
    std::streamoff outputFrom = 0;  // the file's size when this run started it: older lines are not its
    std::string stopSignal;   // as kestravo-run takes it; empty: its default
    uint32_t graceMs = 0;     // 0: the library's default
    bool slowStartNoted = false;
    bool earlyEndShown = false;  // the cause and output of an end soon after a start, shown once
    Clock::time_point runningSince;  // when its current process was seen to start
    Clock::time_point createdAt;
    std::chrono::system_clock::time_point createdWallAt;  // for a start shown late
    Clock::time_point nextLook;  // when to ask for its pid again
    Clock::duration lookInterval{};
    uint32_t exitedPid = 0;
    Clock::time_point exitedAt;  // when the library reported the last exit
  };

  void Adopt();
  void StartCommands();
  void Supervise();
  void HandleMessages();
  // The pid of the process that the restart of hpid at batch[at] started.
  uint32_t RestartedPid(uint32_t hpid, const std::deque<Message>& batch, size_t at, uint32_t endedPid);
  void LearnStarts();
  // Counts and shows the first start of a child, with pid, once.
  void ShowStart(uint32_t hpid, Child& child, uint32_t pid, std::chrono::system_clock::time_point when);
  void StopAll();
  void PrintSummary();
  void ShowEarlyEnd(uint32_t hpid, Child& child, const std::string& cause);

  void Line(const std::string& text, std::chrono::system_clock::time_point when);
  void Line(const std::string& text) { Line(text, std::chrono::system_clock::now()); }
  void Status();

  Library library_;
  Options options_;
  MessageQueue queue_;
  ExitWatch watch_;
  std::map<uint32_t, Child> children_;  // by hpid
  std::vector<Message> adoptable_;
  bool tty_ = false, statusShown_ = false;
  Clock::time_point startedAt_;
  int refused_ = 0;
  int starts_ = 0, adopted_ = 0, restarts_ = 0, failedRestarts_ = 0;
  int onSignal_ = 0, onStopEvent_ = 0, killed_ = 0, alreadyEnded_ = 0;
  RestartTimes restartTimes_;
};

}  // namespace kestravo_host
