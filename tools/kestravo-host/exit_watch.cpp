#include "exit_watch.h"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <vector>

namespace kestravo_host {

namespace {
constexpr int kPollMs = 20;  // how soon a newly watched pid joins the poll
}

ExitWatch::ExitWatch() : thread_([this] { Run(); }) {}

ExitWatch::~ExitWatch() {
  stop_ = true;
  thread_.join();
  for (auto& [pid, entry] : entries_) {
    if (entry.pidfd >= 0) close(entry.pidfd);
  }
}

bool ExitWatch::Watch(uint32_t pid) {
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
  pollfd now{pidfd, POLLIN, 0};
  bool running = pidfd >= 0 && poll(&now, 1, 0) == 0;
  std::lock_guard<std::mutex> lock(mutex_);
  Entry& entry = entries_[pid];
  if (entry.pidfd >= 0) {
    if (pidfd >= 0) close(pidfd);  // watched already; its descriptor may be in a poll right now
    return true;
  }
  if (running) {
    entry = Entry{pidfd, false, false, {}};
  } else {
    if (pidfd >= 0) close(pidfd);
    entry = Entry{-1, true, false, Clock::now()};
  }
  return running;
}

bool ExitWatch::EndedAt(uint32_t pid, Clock::time_point* when, bool* timed) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(pid);
  if (it == entries_.end() || !it->second.ended) return false;
  *when = it->second.endedAt;
  if (timed != nullptr) *timed = it->second.timed;
  return true;
}

void ExitWatch::Run() {
  std::vector<pollfd> fds;
  std::vector<uint32_t> pids;
  while (!stop_) {
    fds.clear();
    pids.clear();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto& [pid, entry] : entries_) {
        if (entry.ended) continue;
        fds.push_back({entry.pidfd, POLLIN, 0});
        pids.push_back(pid);
      }
    }
    if (poll(fds.data(), fds.size(), kPollMs) <= 0) continue;
    Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      Entry& entry = entries_[pids[i]];
      close(entry.pidfd);
      entry.pidfd = -1;
      entry.ended = true;
      entry.timed = true;
      entry.endedAt = now;
    }
  }
}

}  // namespace kestravo_host
