// Notes the moment each watched process ends. The library reaps its children itself, so the host
// cannot wait for them; it waits on a pidfd (readable at the exit whoever reaps) or on a process
// handle: exit_watch_posix.cpp, exit_watch_win32.cpp.
#pragma once

#include <stdint.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace kestravo_host {

using Clock = std::chrono::steady_clock;

class ExitWatch {
 public:
  ExitWatch();
  ~ExitWatch();
  ExitWatch(const ExitWatch&) = delete;
  ExitWatch& operator=(const ExitWatch&) = delete;

  // Starts watching pid; false when it has ended already (then its end time is unknown).
  bool Watch(uint32_t pid);
  // True once a watched pid has ended, with the time it was seen to end; *timed is false when
  // it had ended before it was watched.
  bool EndedAt(uint32_t pid, Clock::time_point* when, bool* timed = nullptr);
  // Drops what is known of pid, so that the watch does not grow with every restart; an end seen
  // later is not recorded.
  void Forget(uint32_t pid);
  // Waits until every pid of the list that is watched has ended; false at the deadline.
  template <typename Pids>
  bool WaitAllEnded(const Pids& pids, Clock::time_point deadline);

 private:
  struct Entry {
    bool watched = false;  // its end will be seen
    bool ended = false;
    bool timed = false;
    bool forgotten = false;
    Clock::time_point endedAt;
  };
  struct Waiter;  // the system's part: waits for the watched processes on a thread of its own

  // With mutex_ held: pid has ended, seen now when timed.
  void Ended(uint32_t pid, bool timed);

  std::mutex mutex_;  // taken by the waiter's threads too
  std::map<uint32_t, Entry> entries_;  // guarded by mutex_
  std::unique_ptr<Waiter> waiter_;
};

template <typename Pids>
bool ExitWatch::WaitAllEnded(const Pids& pids, Clock::time_point deadline) {
  for (;;) {
    bool all = true;
    Clock::time_point ignored;
    for (uint32_t pid : pids) all = all && EndedAt(pid, &ignored);
    if (all) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace kestravo_host
