#include "floors.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <linux/sched.h>

#include <algorithm>
#include <random>
#include <vector>

#include "bench_host.h"
#include "bench_stats.h"

extern char** environ;

namespace bench {

namespace {

struct Exec {
  const char* path;
  char* const* argv;
};

// The start floor's child, on its own stack in the bench's memory until its exec; the bench's
// thread waits meanwhile.
[[noreturn]] void FloorChild(const Exec* exec) {
  syscall(SYS_close_range, 3u, ~0u, 2u /* CLOSE_RANGE_UNSHARE */);
  setsid();
  uint64_t none = 0;
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, 8);
  syscall(SYS_execve, exec->path, exec->argv, environ);
  syscall(SYS_exit, 127);
  __builtin_unreachable();
}

// The restart floor's spawner: a child killed and started again into the same cgroup, as the
// library keeps a lone child's.
class FloorSpawner {
 public:
  FloorSpawner() {
    std::string own = OwnCgroup2();
    if (own.empty() || access((own + "/cgroup.procs").c_str(), W_OK) != 0) return;
    std::string dir = own + "/kestravo-bench-floor";
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return;
    cgroup_ = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (cgroup_ >= 0) dir_ = dir;
  }
  ~FloorSpawner() {
    if (cgroup_ >= 0) close(cgroup_);
    if (!dir_.empty()) rmdir(dir_.c_str());
  }
  // The pidfd of a new child, or -1.
  int Spawn() {
    char* argv[] = {const_cast<char*>(g_child.c_str()), nullptr};
    clone_args args{};
    int pidfd = -1;
    args.flags = CLONE_PIDFD | CLONE_FILES | (cgroup_ >= 0 ? CLONE_INTO_CGROUP : 0);
    args.pidfd = reinterpret_cast<uintptr_t>(&pidfd);
    args.exit_signal = SIGCHLD;
    args.cgroup = cgroup_ >= 0 ? static_cast<uint64_t>(cgroup_) : 0;
    long pid = syscall(SYS_clone3, &args, sizeof args);
    if (pid == 0) {
      // Only async-signal-safe calls in the copy of this multi-threaded process. Where the table
      // cannot be left here (before Linux 5.9), exec leaves it, closing the held pidfds.
      syscall(SYS_close_range, 3u, ~0u, 2u /* CLOSE_RANGE_UNSHARE */);
      setsid();
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      execve(g_child.c_str(), argv, environ);
      _exit(127);
    }
    return pid > 0 ? pidfd : -1;
  }
  bool InCgroup() const { return cgroup_ >= 0; }

 private:
  int cgroup_ = -1;
  std::string dir_;
};

// Killed with SIGKILL 1.0-1.2 s after its start, seen ended through its pidfd, reaped and started
// again until it announces itself; beside it others-1 children whose pidfds are held.
void MeasureRestartFloor(int kills, int children, const std::string& name) {
  g_announcements->Drain();
  FloorSpawner spawner;
  std::vector<int> held;
  char* argv[] = {const_cast<char*>(g_child.c_str()), nullptr};
  for (int i = 1; i < children; ++i) {
    pid_t pid;
    if (posix_spawn(&pid, g_child.c_str(), nullptr, nullptr, argv, environ) != 0) Die("posix_spawn failed");
    held.push_back(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    TrackRaw(held.back());
  }
  int pidfd = spawner.Spawn();
  if (pidfd < 0) Die("clone3 failed");
  TrackRaw(pidfd);
  WaitAnnounced(children);
  std::mt19937 random(1234);
  std::uniform_real_distribution<double> old(1.0, 1.2);
  std::vector<double> samples;
  double startedAt = Now();
  for (int k = 0; k < kills; ++k) {
    SleepSeconds(startedAt + old(random) - Now());
    double killedAt = Now();
    syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
    pollfd ended{pidfd, POLLIN, 0};
    while (poll(&ended, 1, -1) < 0) {
    }
    siginfo_t info{};
    waitid(static_cast<idtype_t>(3) /* P_PIDFD */, static_cast<id_t>(pidfd), &info, WEXITED);
    int next = spawner.Spawn();
    if (next < 0) Die("clone3 failed");
    ReplaceRaw(pidfd, next);
    close(pidfd);
    pidfd = next;
    if (!g_announcements->Next(killedAt + 10, &startedAt)) Die("the floor's child did not announce itself");
    samples.push_back((startedAt - killedAt) * 1000);
  }
  held.push_back(pidfd);
  KillRaw(held);
  g_announcements->Drain();
  WriteSamples(g_out, name, samples);
  auto s = Summarise(samples);
  Progress("%s (%s): median %.2f ms, p99 %.2f ms (%zu kills)", name.c_str(),
           spawner.InCgroup() ? "clone3 into a cgroup" : "clone3, no cgroup", s.median, s.p99, s.count);
}

}  // namespace

double RawStart(int n) {
  g_announcements->Drain();
  char* argv[] = {const_cast<char*>(g_child.c_str()), nullptr};
  std::vector<int> pidfds;
  pidfds.reserve(static_cast<size_t>(n));
  CpuMeter meter;
  meter.Begin();
  double start = Now();
  for (int i = 0; i < n; ++i) {
    pid_t pid;
    if (posix_spawn(&pid, g_child.c_str(), nullptr, nullptr, argv, environ) != 0) Die("posix_spawn failed");
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) Die("pidfd_open failed");
    pidfds.push_back(pidfd);
    TrackRaw(pidfd);
  }
  // Ends when the bench has read the last announcement, as the library's start must, which then
  // asks for the pids: both rows pay the same for the reading.
  std::vector<int> pids;
  double elapsed = std::max(WaitAnnounced(n, &pids), Now()) - start;
  if (n > 1) meter.End("raw." + std::to_string(n), pids);
  KillRaw(pidfds);
  g_announcements->Drain();
  return elapsed;
}

StartFloor::StartFloor() {
  std::string own = OwnCgroup2();
  if (!own.empty()) {
    std::string probe = own + "/kestravo-bench-start.probe";
    if (mkdir(probe.c_str(), 0755) == 0 || errno == EEXIST) {
      bool writable = access((probe + "/cgroup.procs").c_str(), W_OK) == 0;
      rmdir(probe.c_str());
      if (writable) parent_ = own;
    }
  }
  variant_ = parent_.empty() ? "clone3 with CLONE_PIDFD, no cgroup (no cgroup v2 can be made here)"
                             : "clone3 with CLONE_PIDFD and CLONE_INTO_CGROUP, a new cgroup v2 each, under " + parent_;
}

double StartFloor::Run(int n) {
  RandomPhase();
  g_announcements->Drain();
  std::vector<int> pidfds;
  std::vector<std::string> dirs;
  pidfds.reserve(static_cast<size_t>(n));
  dirs.reserve(static_cast<size_t>(n));
  const std::string prefix = parent_ + "/kestravo-bench-start." + std::to_string(getpid()) + ".";
  CpuMeter meter;
  meter.Begin();
  double start = Now(), inCgroup = 0, inSpawn = 0;
  for (int i = 0; i < n; ++i) {
    int cgroup = -1;
    const double before = Now();
    if (!parent_.empty()) {
      dirs.push_back(prefix + std::to_string(next_++));
      if (mkdir(dirs.back().c_str(), 0755) != 0) Die("mkdir of a floor cgroup failed");
      cgroup = open(dirs.back().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      if (cgroup < 0) Die("open of a floor cgroup failed");
    }
    const double made = Now();
    int pidfd = Spawn(cgroup);
    inCgroup += made - before;
    inSpawn += Now() - made;
    if (cgroup >= 0) close(cgroup);
    if (pidfd < 0) Die("clone3 of the start floor failed");
    pidfds.push_back(pidfd);
    TrackRaw(pidfd);
  }
  std::vector<int> pids;
  double elapsed = std::max(WaitAnnounced(n, &pids), Now()) - start;  // as RawStart's
  if (n > 1) meter.End("floor." + std::to_string(n), pids);
  if (n == 1 || n == 1024) {
    // Beside the library's own phases of the same name.
    WriteSamples(g_out, "floorphases." + std::to_string(n) + ".cgroup", {inCgroup * 1000});
    WriteSamples(g_out, "floorphases." + std::to_string(n) + ".spawn", {inSpawn * 1000});
  }
  KillRaw(pidfds);
  for (const std::string& dir : dirs) {
    for (int tries = 0; rmdir(dir.c_str()) != 0 && errno == EBUSY && tries < 1000; ++tries) SleepSeconds(0.001);
  }
  g_announcements->Drain();
  return elapsed;
}

// The pidfd of a new child, or -1.
int StartFloor::Spawn(int cgroup) {
  char* argv[] = {const_cast<char*>(g_child.c_str()), nullptr};
  const Exec exec{g_child.c_str(), argv};
  int pidfd = -1;
  clone_args args{};
  args.flags = CLONE_VM | CLONE_VFORK | CLONE_PIDFD | CLONE_FILES | (cgroup >= 0 ? CLONE_INTO_CGROUP : 0);
  args.pidfd = reinterpret_cast<uintptr_t>(&pidfd);
  args.exit_signal = SIGCHLD;
  args.stack = reinterpret_cast<uintptr_t>(stack_);
  args.stack_size = sizeof stack_;
  args.cgroup = cgroup >= 0 ? static_cast<uint64_t>(cgroup) : 0;
  // No handler of this process may run in the child while it shares this memory.
  uint64_t all = ~0ull, old = 0;
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &all, &old, 8);
  long ret;
  register const Exec* execReg asm("r8") = &exec;
  register void (*entryReg)(const Exec*) asm("r9") = FloorChild;
  asm volatile(
      "syscall\n\t"
      "test %%rax, %%rax\n\t"
      "jnz 1f\n\t"
      "xor %%ebp, %%ebp\n\t"
      "mov %%r8, %%rdi\n\t"
      "call *%%r9\n\t"
      "ud2\n"
      "1:"
      : "=a"(ret)
      : "0"(static_cast<long>(SYS_clone3)), "D"(&args), "S"(sizeof args), "r"(execReg), "r"(entryReg)
      : "rcx", "r11", "memory", "cc");
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &old, nullptr, 8);
  return ret > 0 ? pidfd : -1;
}

void MeasureRestartFloors(int kills) {
  Progress("the restart floor: 1 child, then 1024");
  MeasureRestartFloor(kills, 1, "restart.floor.1");
  MeasureRestartFloor(kills, 1024, "restart.floor.1024");
}

}  // namespace bench
