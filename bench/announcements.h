// The children's announcements: "pid seconds nanoseconds" lines (CLOCK_MONOTONIC) that bench_child
// writes to the FIFO named in BENCH_ANNOUNCE_FIFO once it runs. Shared by the bench programs; one
// thread reads.
#pragma once
#include <string>
#include <unordered_map>

namespace bench {

class Announcements {
 public:
  // Makes the FIFO at path (gone first if there) and sets BENCH_ANNOUNCE_FIFO for the children.
  // False when it cannot be made or opened.
  bool Open(const std::string& path);
  // The next announcement before the deadline (absolute), or false.
  bool Next(double deadline, double* at, int* pid = nullptr);
  // Reads what is waiting; the start times stay known.
  void Drain();
  // When the child with this pid announced itself, or 0 when it has not (yet).
  double StartedAt(int pid) const;

 private:
  int fd_ = -1;
  std::string buffer_;
  std::unordered_map<int, double> started_;  // pid -> announcement time; a reused pid overwrites
};

}  // namespace bench
