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

void ExitWatch::Ended(uint32_t pid, bool timed) {
  Entry& entry = entries_[pid];
  entry.watched = false;
  entry.ended = true;
  entry.timed = timed;
  entry.endedAt = Clock::now();
}

}  // namespace kestravo_host
