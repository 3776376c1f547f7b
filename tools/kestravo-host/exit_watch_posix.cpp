#include "exit_watch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <vector>

namespace kestravo_host {

struct ExitWatch::Waiter {
  void Run(ExitWatch* watch);

  void Wake() {
    uint64_t one = 1;
    (void)!write(wake, &one, sizeof one);
  }

  std::map<uint32_t, int> pidfds;  // of the pids being watched; guarded by the watch's mutex_
  int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);  // readable: the set grew, or the watch ends
  std::atomic<bool> stop{false};
  std::thread thread;
};

ExitWatch::ExitWatch() : waiter_(new Waiter) {
  waiter_->thread = std::thread([this] { waiter_->Run(this); });
}

ExitWatch::~ExitWatch() {
  waiter_->stop = true;
  waiter_->Wake();
  waiter_->thread.join();
  for (auto& [pid, pidfd] : waiter_->pidfds) close(pidfd);
  close(waiter_->wake);
}

bool ExitWatch::Watch(uint32_t pid) {
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
  pollfd now{pidfd, POLLIN, 0};
  bool running = pidfd >= 0 && poll(&now, 1, 0) == 0;
  std::lock_guard<std::mutex> lock(mutex_);
  Entry& entry = entries_[pid];
  if (entry.watched) {
    if (pidfd >= 0) close(pidfd);  // watched already; its descriptor may be in a poll right now
    return true;
  }
  if (running) {
    entry = Entry{};
    entry.watched = true;
    waiter_->pidfds[pid] = pidfd;
    waiter_->Wake();
  } else {
    if (pidfd >= 0) close(pidfd);
    Ended(pid, false);
  }
  return running;
}

void ExitWatch::Waiter::Run(ExitWatch* watch) {
  std::vector<pollfd> fds;
  std::vector<uint32_t> pids;
  while (!stop) {
    fds.assign(1, {wake, POLLIN, 0});
    pids.assign(1, 0);
    {
      std::lock_guard<std::mutex> lock(watch->mutex_);
      for (auto& [pid, pidfd] : pidfds) {
        fds.push_back({pidfd, POLLIN, 0});
        pids.push_back(pid);
      }
    }
    // Without the wake descriptor, a slow look every 20 ms at what joined.
    if (poll(fds.data(), fds.size(), wake >= 0 ? -1 : 20) <= 0) continue;
    uint64_t count;
    if (fds[0].revents != 0) (void)!read(wake, &count, sizeof count);
    std::lock_guard<std::mutex> lock(watch->mutex_);
    for (size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      close(pidfds[pids[i]]);
      pidfds.erase(pids[i]);
      watch->Ended(pids[i], true);
    }
  }
}

}  // namespace kestravo_host
