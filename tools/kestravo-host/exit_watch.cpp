#include "exit_watch.h"

namespace kestravo_host {

bool ExitWatch::EndedAt(uint32_t pid, Clock::time_point* when, bool* timed) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(pid);
  if (it == entries_.end() || !it->second.ended) return false;
  *when = it->second.endedAt;
  if (timed != nullptr) *timed = it->second.timed;
  return true;
}

void ExitWatch::Forget(uint32_t pid) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(pid);
  if (it == entries_.end()) return;
  if (it->second.watched) {
    it->second.forgotten = true;
  } else {
    entries_.erase(it);
  }
}

void ExitWatch::Ended(uint32_t pid, bool timed) {
  Entry& entry = entries_[pid];
  if (entry.forgotten) {
    entries_.erase(pid);
    return;
  }
  entry.watched = false;
  entry.ended = true;
  entry.timed = timed;
  entry.endedAt = Clock::now();
}

}  // namespace kestravo_host
