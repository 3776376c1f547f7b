#include "announcements.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bench_stats.h"

namespace bench {

bool Announcements::Open(const std::string& path) {
  unlink(path.c_str());
  if (mkfifo(path.c_str(), 0600) != 0) return false;
  fd_ = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);  // never EOF: we write-hold it too
  if (fd_ < 0) return false;
  setenv("BENCH_ANNOUNCE_FIFO", path.c_str(), 1);
  return true;
}

bool Announcements::Next(double deadline, double* at, int* pid) {
  for (;;) {
    size_t end = buffer_.find('\n');
    if (end != std::string::npos) {
      long long who = 0, sec = 0, nsec = 0;
      sscanf(buffer_.c_str(), "%lld %lld %lld", &who, &sec, &nsec);
      buffer_.erase(0, end + 1);
      *at = static_cast<double>(sec) + static_cast<double>(nsec) * 1e-9;
      started_[static_cast<int>(who)] = *at;
      if (pid != nullptr) *pid = static_cast<int>(who);
      return true;
    }
    char chunk[4096];
    ssize_t n = read(fd_, chunk, sizeof chunk);
    if (n > 0) {
      buffer_.append(chunk, static_cast<size_t>(n));
      continue;
    }
    double left = deadline - Now();
    if (left <= 0) return false;
    pollfd entry{fd_, POLLIN, 0};
    poll(&entry, 1, static_cast<int>(left * 1000) + 1);
  }
}

void Announcements::Drain() {
  double at;
  while (Next(Now(), &at)) {
  }
}

double Announcements::StartedAt(int pid) const {
  auto found = started_.find(pid);
  return found == started_.end() ? 0 : found->second;
}

}  // namespace bench
