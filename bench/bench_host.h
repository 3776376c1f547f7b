// What the library bench's measurements share: the children's announcements, the children
// started without the library (which an interrupt must still end), the host's own CPU and
// memory, and where this process may make cgroups. Everything here runs on the bench's main
// thread but SignalRaw, which the interrupt thread calls.
#pragma once
#include <string>
#include <vector>

#include "announcements.h"

namespace bench {

// The results directory and the child program, from the command line.
extern std::string g_out;
extern std::string g_child;

// Prints what failed and exits 1: a bench that cannot measure has no figure to give.
[[noreturn]] void Die(const char* what);

extern Announcements* g_announcements;

// Waits until n children have announced themselves; the time of the last announcement. The
// children's pids go to *pids when given.
double WaitAnnounced(int n, std::vector<int>* pids = nullptr);

// Where the machine's CPU went during one start row: this process (every thread, the library's
// included), the children it started (their own time, the part before exec included, read a
// moment after the last one announced itself) and what was left idle. Written as samples
// cpu.<name>.host, .children and .idle, in microseconds per start.
class CpuMeter {
 public:
  // At the first start.
  void Begin();
  // When the last child has announced itself; pids are the children's.
  void End(const std::string& name, const std::vector<int>& pids);

 private:
  double host_ = 0, idle_ = 0;
};

// A random pause of 0-20 ms, so that timed calls do not fall in step with anything periodic the
// library or the machine does.
void RandomPhase();

// Children started without the library, known by their pidfds so that an interrupt ends them.
void TrackRaw(int pidfd);
void ReplaceRaw(int before, int after);
// SIGKILLs, reaps and closes these pidfds, then forgets every tracked one.
void KillRaw(const std::vector<int>& pidfds);
// SIGKILL to every tracked child, and to each tracked from then on (the main thread may still be
// starting some); for the interrupt thread.
void SignalRaw();

// This process's own cgroup v2 directory (under /sys/fs/cgroup, or .../unified on a hybrid
// host), or empty when there is no cgroup2 hierarchy.
std::string OwnCgroup2();

// A "Field:" of /proc/self/status in kB.
long StatusKb(const char* field);
// CPU time of this process's threads but the calling one, from their schedstat, the way the
// peers' CPU is measured. The caller is the bench itself, which only sleeps through the window.
double CpuSeconds();
// CPU share of one core, in percent, that this process used over a window of wall time.
double IdleWindow(double seconds);

}  // namespace bench
