// What no supervisor can beat, measured in the same run as the library: the raw start loop
// (posix_spawn and pidfd_open), the start floor and the restart floor (clone3 as the library
// starts a child, with nothing around it). Each kills and reaps its own children before it returns.
#pragma once
#include <string>

namespace bench {

// Seconds from the first posix_spawn until n children have announced themselves.
double RawStart(int n);

// The same child started by clone3 as posix_spawn starts one (sharing this process's memory, the
// caller held until the child's exec) with CLONE_PIDFD, each straight into a new cgroup of its
// own where a cgroup v2 can be made here, on this process's descriptor table that it leaves for
// one holding 0 to 2 alone, in a session of its own: what the library does for a start.
class StartFloor {
 public:
  StartFloor();
  // Which of the two variants runs here, for the report.
  const std::string& Variant() const { return variant_; }
  // Seconds from the first start until all n children have announced themselves.
  double Run(int n);

 private:
  int Spawn(int cgroup);

  std::string parent_, variant_;
  unsigned next_ = 0;
  alignas(64) char stack_[65536];
};

// The restart floor, alone and beside 1023 other children: `kills` samples each, written as
// restart.floor.1 and restart.floor.1024.
void MeasureRestartFloors(int kills);

}  // namespace bench
