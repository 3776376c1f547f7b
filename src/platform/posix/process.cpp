#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "last_error.h"
#include "process_exit.h"
#include "process_remains.h"
#include "process_groups.h"

extern char** environ;

namespace kestravo::posix {

namespace {

constexpr idtype_t kIdPidfd = static_cast<idtype_t>(3);  // P_PIDFD, missing from older headers
constexpr uint32_t kTerminatedGraceMs = 500;
// How long the last handle waits for what is left of an ended tree to die, to remove its cgroup.
constexpr uint32_t kTreeGoneMs = 1000;

int PidfdOpen(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

int PidfdKill(int pidfd) {
  return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0));
}

// Collects an own child's status if it has ended. True once it is gone: reaped now (its status
// in *reaped when given; si_pid stays 0 otherwise), or earlier by the host (ECHILD). Other errors
// leave nothing more to try, so they count as gone too.
bool TryReap(int pidfd, siginfo_t* reaped = nullptr) {
  for (;;) {
    siginfo_t info{};
    if (waitid(kIdPidfd, static_cast<id_t>(pidfd), &info, WEXITED | WNOHANG) == 0) {
      if (reaped != nullptr) *reaped = info;
      return info.si_pid != 0;
    }
    if (errno != EINTR) return true;
  }
}

// Polls the pidfd until the process ends. 1 ended, 0 deadline passed, -1 error (errno set).
int PollEnded(int pidfd, const Deadline& deadline) {
  for (;;) {
    pollfd entry{pidfd, POLLIN, 0};
    int ready = poll(&entry, 1, deadline.RemainingMs());
    if (ready > 0) {
      if (entry.revents & POLLNVAL) {
        errno = EBADF;
        return -1;
      }
      return 1;
    }
    if (ready == 0) {
      if (deadline.RemainingMs() == 0) return 0;
      continue;  // poll takes at most INT_MAX ms; a longer deadline goes round again
    }
    if (errno != EINTR) return -1;
  }
}

// Own children whose last handle went while they still ran, with their trees. Leaked on purpose:
// a destructor running during exit may still add to it.
class AbandonedChildren {
 public:
  struct Child {
    int pidfd;
    pid_t pgid;
    std::string cgroup;
  };

  void Add(Child child) {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
      children_.push_back(std::move(child));
    } catch (const std::bad_alloc&) {
      // Nowhere to keep it: the descriptor stays open and the child unreaped.
    }
  }

  void Sweep() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (children_.empty()) return;
    auto gone = std::remove_if(children_.begin(), children_.end(), [](const Child& child) {
      pollfd entry{child.pidfd, POLLIN, 0};
      if (poll(&entry, 1, 0) != 1) return false;
      // Ended: its tree goes with it, as any own child's does.
      SignalGroup(child.pidfd, child.pgid, SIGKILL);
      if (!child.cgroup.empty()) KillCgroup(child.cgroup);
      if (!TryReap(child.pidfd)) return false;
      close(child.pidfd);
      RemoveCgroup(child.cgroup);
      return true;
    });
    children_.erase(gone, children_.end());
  }

 private:
  std::mutex mutex_;
  std::vector<Child> children_;  // guarded by mutex_
};

AbandonedChildren& Abandoned() {
  static AbandonedChildren* list = new AbandonedChildren;
  return *list;
}

// What the new process does between clone and exec. It shares the caller's memory while the
// calling thread waits, so it makes raw system calls only. On the clone3 path a failure goes back
// through that memory (failure); on the vfork path through the close-on-exec pipe report, since a
// plain fork (as a sanitizer may turn vfork into) shares no memory to report it in.
struct ExecPlan {
  const char* program;
  char* const* argv;
  char* const* envp;
  const char* cgroupProcs;  // null: stay where clone put it
  int maxFd;                // for closing descriptors where close_range is missing
  int report;               // write end of the pipe, 3 or above; -1 on the clone3 path
  bool sharedFiles;         // started on the caller's descriptor table (CLONE_FILES)
  int* failure;             // clone3 path: the error, written just before the child exits
};

constexpr int kCgroupFailure = 0x10000;   // added to errno when joining the cgroup failed
constexpr int kUnshareFailure = 0x20000;  // added to errno when the shared table could not be left
constexpr unsigned kCloseRangeUnshare = 2;  // CLOSE_RANGE_UNSHARE

// Not instrumented: on the clone3 path it runs on a stack no sanitizer knows.
#define KESTRAVO_CHILD_SIDE __attribute__((no_sanitize("address", "thread")))

[[noreturn]] KESTRAVO_CHILD_SIDE void ExitWithError(const ExecPlan& plan, int flag) {
  int code = (errno == 0 ? EIO : errno) + flag;
  if (plan.failure != nullptr) {
    *static_cast<volatile int*>(plan.failure) = code;
  } else {
    syscall(SYS_write, plan.report, &code, sizeof code);
  }
  for (;;) syscall(SYS_exit_group, 127);
}

[[noreturn]] KESTRAVO_CHILD_SIDE void ExecChild(const ExecPlan& plan) {
  // A table of its own holding 0 to 2 alone: the caller's other descriptors are neither copied
  // nor closed one by one, which with thousands of children held was most of a start's cost.
  if (plan.sharedFiles && syscall(SYS_close_range, 3u, ~0u, kCloseRangeUnshare) != 0) ExitWithError(plan, kUnshareFailure);
  // Into the cgroup before anything runs that could fork: none of its descendants starts
  // outside it.
  if (plan.cgroupProcs != nullptr) {
    int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, plan.cgroupProcs, O_WRONLY | O_CLOEXEC));
    if (fd < 0 || syscall(SYS_write, fd, "0", 1) != 1) ExitWithError(plan, kCgroupFailure);
    syscall(SYS_close, fd);
  }
  if (syscall(SYS_setsid) < 0) ExitWithError(plan, 0);
  // Every signal to its default: the caller's handlers live in memory that exec leaves behind.
  struct {
    void* handler;
    unsigned long flags;
    void* restorer;
    uint64_t mask;
  } defaults{};  // SIG_DFL
  for (int sig = 1; sig <= 64; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) syscall(SYS_rt_sigaction, sig, &defaults, nullptr, 8);
  }
  int in = static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/dev/null", O_RDONLY));
  if (in < 0 || (in != 0 && (syscall(SYS_dup2, in, 0) < 0 || syscall(SYS_close, in) < 0))) ExitWithError(plan, 0);
  int out = static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/dev/null", O_WRONLY));
  if (out < 0 || (out != 1 && (syscall(SYS_dup2, out, 1) < 0 || syscall(SYS_close, out) < 0))) ExitWithError(plan, 0);
  if (syscall(SYS_dup2, 1, 2) < 0) ExitWithError(plan, 0);
  if (!plan.sharedFiles) {
    // All but the report pipe, which exec closes.
    const unsigned report = plan.report < 0 ? ~0u : static_cast<unsigned>(plan.report);
    if ((report > 3 && syscall(SYS_close_range, 3u, report - 1, 0u) != 0) ||
        (plan.report >= 0 && syscall(SYS_close_range, report + 1, ~0u, 0u) != 0)) {
      for (int fd = 3; fd < plan.maxFd; ++fd) {
        if (fd != plan.report) syscall(SYS_close, fd);
      }
    }
  }
  uint64_t none = 0;
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, 8);
  syscall(SYS_execve, plan.program, plan.argv, plan.envp);
  ExitWithError(plan, 0);
}

[[noreturn]] KESTRAVO_CHILD_SIDE void ExecChildOnOwnStack(const ExecPlan* plan) { ExecChild(*plan); }

// clone3's arguments (linux/sched.h, which clashes with <sched.h>).
struct CloneArgs {
  uint64_t flags, pidfd, childTid, parentTid, exitSignal, stack, stackSize, tls, setTid, setTidSize, cgroup;
};
constexpr uint64_t kCloneVm = 0x100, kCloneFiles = 0x400, kClonePidfd = 0x1000, kCloneVfork = 0x4000;
constexpr uint64_t kCloneIntoCgroup = 0x200000000ull;

// Set once clone3 has been refused here (an old kernel, a seccomp filter): every later start
// takes vfork, and moves the child into its cgroup by writing cgroup.procs.
std::atomic<bool> clone3Refused{false};
// Set once a child could not leave the shared descriptor table (before Linux 5.9): later
// children get a copy of the table and close what they must not keep.
std::atomic<bool> unshareRefused{false};

#if defined(__x86_64__)
// clone3 whose child calls entry(plan) on the stack given and never returns; the caller gets
// the pid or -errno. No libc wrapper: the child must not return through frames it shares.
long Clone3Call(CloneArgs* args, void (*entry)(const ExecPlan*), const ExecPlan* plan) {
  long ret;
  register const ExecPlan* planReg asm("r8") = plan;  // both kept across syscall, in the child too
  register void (*entryReg)(const ExecPlan*) asm("r9") = entry;
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
      : "0"(static_cast<long>(SYS_clone3)), "D"(args), "S"(sizeof *args), "r"(planReg), "r"(entryReg)
      : "rcx", "r11", "memory", "cc");
  return ret;
}
#else
long Clone3Call(CloneArgs*, void (*)(const ExecPlan*), const ExecPlan*) { return -ENOSYS; }
#endif

// Waits for a child that failed before its exec, and lets its pidfd go.
void ReapFailedChild(pid_t child, int* pidfd) {
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(child), &info, WEXITED) != 0 && errno == EINTR) {
  }
  if (*pidfd >= 0) close(*pidfd);
  *pidfd = -1;
}

// The start through clone3, straight into the cgroup when one is given, with the pidfd made by
// the same call. 0 started, an errno value for a child that failed before its exec, or -1 when
// clone3 itself failed (*pidfd is -1 then): the caller takes the vfork path.
int SpawnByClone3(const char* program, char* const* argv, char* const* envp, int cgroupFd, int maxFd, pid_t* pid,
                  int* pidfd) {
  // The child's stack; this frame waits, unused, until the child has gone to exec.
  alignas(64) char stack[16384];
  for (;;) {
    const bool shareFiles = !unshareRefused.load(std::memory_order_relaxed);
    int failure = 0;
    const ExecPlan plan{program, argv, envp, nullptr, maxFd, -1, shareFiles, &failure};
    CloneArgs args{};
    args.flags = kCloneVm | kCloneVfork | kClonePidfd | (shareFiles ? kCloneFiles : 0) |
                 (cgroupFd >= 0 ? kCloneIntoCgroup : 0);
    args.pidfd = reinterpret_cast<uintptr_t>(pidfd);
    args.exitSignal = SIGCHLD;
    args.stack = reinterpret_cast<uintptr_t>(stack);
    args.stackSize = sizeof stack;
    args.cgroup = cgroupFd >= 0 ? static_cast<uint64_t>(cgroupFd) : 0;
    // Every signal blocked, glibc's own two included, so that no handler of the caller runs in
    // the child while it shares the caller's memory.
    uint64_t all = ~0ull, old = 0;
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &all, &old, 8);
    long made = Clone3Call(&args, ExecChildOnOwnStack, &plan);
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &old, nullptr, 8);
    if (made <= 0) {
      // Refused for good, or a failure the vfork path reports as it always has.
      const long err = -made;
      if (err == ENOSYS || err == EPERM || err == E2BIG || err == EINVAL) clone3Refused = true;
      *pidfd = -1;
      return -1;
    }
    // Back once the child has gone to exec or ended; an end before exec left its error here.
    const int code = *static_cast<volatile int*>(&failure);
    if (code == 0) {
      *pid = static_cast<pid_t>(made);
      return 0;
    }
    ReapFailedChild(static_cast<pid_t>(made), pidfd);
    if (code < kUnshareFailure) return code;
    unshareRefused = true;
  }
}

// Starts the program detached from the caller: own session, default signals, empty mask,
// standard streams on /dev/null, nothing else inherited, and in the cgroup given (cgroupFd, a
// descriptor of its directory, and cgroupProcs, its cgroup.procs; -1 and null for none). Sharing
// the caller's memory until exec, as posix_spawn does: a large host's memory is not copied. The
// child starts inside its cgroup through clone3 (CLONE_INTO_CGROUP), which needs no move; where
// that is refused, it moves itself in before exec. Returns 0 or an errno value; *pidfd gets the
// child's pidfd when clone3 made one, else -1; *cgroupFailed tells that joining the cgroup was
// what failed.
int Spawn(const char* program, char* const* argv, char* const* envp, int cgroupFd, const char* cgroupProcs, pid_t* pid,
          int* pidfd, bool* cgroupFailed) {
  struct rlimit files {};
  int maxFd = getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 65536 ? static_cast<int>(files.rlim_cur) : 65536;
  *cgroupFailed = false;
  *pidfd = -1;
  if (!clone3Refused.load(std::memory_order_relaxed)) {
    int rc = SpawnByClone3(program, argv, envp, cgroupFd, maxFd, pid, pidfd);
    if (rc >= 0) return rc;
  }
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return errno;
  // Above the standard streams, which the child sets up over whatever is there.
  if (pipeFds[1] < 3) {
    int moved = fcntl(pipeFds[1], F_DUPFD_CLOEXEC, 3);
    int err = errno;
    close(pipeFds[1]);
    if (moved < 0) {
      close(pipeFds[0]);
      return err;
    }
    pipeFds[1] = moved;
  }
  const ExecPlan plan{program, argv, envp, cgroupProcs, maxFd, pipeFds[1], false, nullptr};
  uint64_t all = ~0ull, old = 0;
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &all, &old, 8);
  pid_t child = vfork();
  if (child == 0) ExecChild(plan);
  int forkError = errno;
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &old, nullptr, 8);
  close(plan.report);
  if (child < 0) {
    close(pipeFds[0]);
    return forkError;
  }
  // Nothing to read once exec has closed the pipe: the program runs.
  int code = 0;
  ssize_t got;
  while ((got = read(pipeFds[0], &code, sizeof code)) < 0 && errno == EINTR) {
  }
  close(pipeFds[0]);
  if (got == static_cast<ssize_t>(sizeof code)) {
    ReapFailedChild(child, pidfd);
    *cgroupFailed = code >= kCgroupFailure;
    return *cgroupFailed ? code - kCgroupFailure : code;
  }
  *pid = child;
  return 0;
}

// For a child just started that cannot be handed out: better gone than unsupervised.
void KillAndReapNewChild(pid_t pid, int pidfd) {
  siginfo_t info{};
  if (pidfd >= 0) {
    PidfdKill(pidfd);
    while (waitid(kIdPidfd, static_cast<id_t>(pidfd), &info, WEXITED) != 0 && errno == EINTR) {
    }
    close(pidfd);
    return;
  }
  // No pidfd: only the pid, still ours and unreaped unless the host's waitpid(-1) got it in
  // the few instructions since the spawn.
  kill(pid, SIGKILL);
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED) != 0 && errno == EINTR) {
  }
}

}  // namespace

ProcessObject::ProcessObject(int pidfd, bool ownChild, pid_t pgid, std::string cgroup)
    : pidfd_(pidfd), own_(ownChild), pgid_(pgid), cgroup_(std::move(cgroup)), reaped_(pidfd < 0) {}

ProcessObject::~ProcessObject() {
  if (pidfd_ < 0) {
    // It ended before it could be watched: what it started goes now.
    EndTreeLocked();
    RemoveCgroup(cgroup_, Deadline(kTreeGoneMs));
    return;
  }
  if (own_ && !ReapIfEnded()) {
    bool gone = false;
    if (terminated_) {
      Deadline grace(kTerminatedGraceMs);
      gone = PollEnded(pidfd_, grace) == 1 && ReapIfEnded();
    }
    if (!gone) {
      // Still running: it lives on, in its cgroup, as the host let it.
      try {
        Abandoned().Add({pidfd_, pgid_, cgroup_});
      } catch (const std::bad_alloc&) {
      }
      return;
    }
  }
  // Killed a moment ago, its processes may still be dying.
  if (treeEnded_) RemoveCgroup(cgroup_, Deadline(kTreeGoneMs));
  close(pidfd_);
}

void ProcessObject::EndTreeLocked() {
  if (treeEnded_) return;
  treeEnded_ = true;
  // Once is enough: a process forking as its group or cgroup is killed cannot leave a new member
  // behind.
  SignalGroup(pidfd_, pgid_, SIGKILL);
  // Only what still holds members: a cgroup once killed kills what a later clone puts into it
  // on some kernels, so only one never killed is taken over by a relaunch.
  if (!cgroup_.empty() && !CgroupEmpty(cgroup_)) {
    KillCgroup(cgroup_);
    cgroupKilled_ = true;
  }
}

bool ProcessObject::ReapIfEnded() {
  std::lock_guard<std::mutex> lock(mutex_);
  return ReapIfEndedLocked();
}

bool ProcessObject::ReapIfEndedLocked() {
  if (reaped_) return true;
  Deadline now(0);
  if (PollEnded(pidfd_, now) != 1) return false;
  // Ours or adopted, a child that has ended takes its tree along.
  EndTreeLocked();
  if (!own_) return true;
  siginfo_t info{};
  reaped_ = TryReap(pidfd_, &info);
  if (info.si_pid != 0) {
    exitHow_ = info.si_code;
    exitStatus_ = info.si_status;
  }
  return reaped_;
}

bool ProcessObject::ExitStatus(ProcessExitStatus* status) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!ReapIfEndedLocked()) {
    // Not ours to reap: ended or not, how is not known.
    Deadline now(0);
    if (own_ || PollEnded(pidfd_, now) != 1) return Fail(ERROR_ACCESS_DENIED);
  }
  *status = ProcessExitStatus();
  status->known = exitHow_ != 0;
  if (exitHow_ == CLD_EXITED) {
    status->exitCode = exitStatus_;
  } else if (exitHow_ != 0) {
    status->signal = exitStatus_;
    status->coreDumped = exitHow_ == CLD_DUMPED;
  }
  return true;
}

DWORD ProcessObject::Wait(const Deadline& deadline) {
  SweepAbandonedChildren();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (reaped_) return WAIT_OBJECT_0;
  }
  int ended = PollEnded(pidfd_, deadline);
  if (ended < 0) {
    FailWithErrno(errno);
    return WAIT_FAILED;
  }
  if (ended == 0) return WAIT_TIMEOUT;
  ReapIfEnded();
  return WAIT_OBJECT_0;
}

int ProcessObject::PollFd() {
  std::lock_guard<std::mutex> lock(mutex_);
  return reaped_ ? -1 : pidfd_;
}

bool ProcessObject::Terminate() {
  if (!SignalTerminate()) return false;
  AwaitTerminated(Deadline(kTerminatedGraceMs));
  return true;
}

bool ProcessObject::SignalTerminate() {
  // Under the lock, so that no reap slips in between the check and the signal.
  std::lock_guard<std::mutex> lock(mutex_);
  if (reaped_) return Fail(ERROR_ACCESS_DENIED);
  if (PidfdKill(pidfd_) != 0) {
    return Fail(errno == ESRCH ? ERROR_ACCESS_DENIED : WindowsErrorFromErrno(errno));
  }
  // It was not reaped a moment ago, so its pid still names its group.
  EndTreeLocked();
  terminated_ = true;
  return true;
}

void ProcessObject::AwaitTerminated(const Deadline& deadline) {
  // The process holds its descriptors until it has died. The lock on its stop event is one of
  // them: were the caller to close the event first, the killed child would be its last holder,
  // and it could no longer remove the name.
  if (Wait(deadline) == WAIT_OBJECT_0) WaitTreeGone(deadline, false);
}

bool ProcessObject::EndRemains(const Deadline& deadline) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ReapIfEndedLocked()) return Fail(ERROR_ACCESS_DENIED);
    EndTreeLocked();  // for a child that ended before it could be watched
  }
  // A relaunch that follows takes the emptied cgroup over; the last handle removes it otherwise.
  return WaitTreeGone(deadline, own_);
}

bool ProcessObject::WaitTreeGone(const Deadline& deadline, bool keepCgroup) {
  std::string cgroup;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cgroup = cgroup_;
  }
  // The cgroup holds the group's members too, unless one was moved out by force.
  while (cgroup.empty() ? GroupHasLiveMembers(pidfd_, pgid_) : !CgroupEmpty(cgroup)) {
    if (deadline.RemainingMs() == 0) return Fail(ERROR_TIMEOUT);
    usleep(2000);
  }
  if (keepCgroup || cgroup.empty()) return true;
  RemoveCgroup(cgroup, deadline);
  std::lock_guard<std::mutex> lock(mutex_);
  cgroup_.clear();  // gone, or on the list of those to remove
  return true;
}

std::string ProcessObject::TakeEmptyCgroup() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!own_ || cgroup_.empty() || !ReapIfEndedLocked() || !treeEnded_ || cgroupKilled_ || access(cgroup_.c_str(), F_OK) != 0 ||
      !CgroupEmpty(cgroup_)) {
    return std::string();
  }
  std::string taken;
  taken.swap(cgroup_);
  return taken;
}

void UseClone3(bool use) { clone3Refused = !use; }

bool SweepAbandonedChildren() {
  Abandoned().Sweep();
  return SweepCgroups();
}

}  // namespace kestravo::posix

using kestravo::posix::Fail;
using kestravo::posix::FailWithErrno;
using kestravo::posix::ProcessObject;

namespace {

// CreateProcessA's work once its arguments are checked, in cgroup when one is given (an emptied
// one taken over), else in a new one where cgroups are used.
BOOL StartChild(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPVOID lpEnvironment,
                LPPROCESS_INFORMATION lpProcessInformation, std::string cgroup) {
  pid_t pid = 0;
  int pidfd = -1;
  try {
    // Made before the spawn: the new process may only make system calls until its exec.
    std::vector<std::string> args;
    if (lpCommandLine != nullptr && *lpCommandLine != '\0') args = kestravo::CommandLineArgv(lpCommandLine);
    if (args.empty()) args.push_back(lpApplicationName);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    std::vector<char*> block;
    for (char* entry = static_cast<char*>(lpEnvironment); entry != nullptr && *entry != '\0';
         entry += strlen(entry) + 1) {
      block.push_back(entry);
    }
    block.push_back(nullptr);
    char* const* envp = lpEnvironment != nullptr ? block.data() : environ;
    const bool takenOver = !cgroup.empty();
    if (!takenOver) cgroup = kestravo::posix::NewChildCgroup();
    int cgroupFd = cgroup.empty() ? -1 : open(cgroup.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (cgroupFd < 0 && takenOver) {
      kestravo::posix::RemoveCgroup(cgroup);
      cgroup = kestravo::posix::NewChildCgroup();
      cgroupFd = cgroup.empty() ? -1 : open(cgroup.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    if (cgroupFd < 0 && !cgroup.empty()) {
      // Without its descriptor the child would start outside it: none rather than one it is not in.
      kestravo::posix::RemoveCgroup(cgroup);
      cgroup.clear();
    }
    std::string procs = cgroup.empty() ? std::string() : cgroup + "/cgroup.procs";
    bool cgroupFailed = false;
    int rc = kestravo::posix::Spawn(lpApplicationName, argv.data(), envp, cgroupFd, cgroup.empty() ? nullptr : procs.c_str(),
                                    &pid, &pidfd, &cgroupFailed);
    if (cgroupFd >= 0) close(cgroupFd);
    if (cgroupFailed) {
      // Detected, never required: without cgroups the process group stands for the tree.
      kestravo::posix::GiveUpCgroups();
      kestravo::posix::RemoveCgroup(cgroup);
      cgroup.clear();
      rc = kestravo::posix::Spawn(lpApplicationName, argv.data(), envp, -1, nullptr, &pid, &pidfd, &cgroupFailed);
    }
    if (rc != 0) {
      kestravo::posix::RemoveCgroup(cgroup);
      return FailWithErrno(rc);
    }
  } catch (const std::bad_alloc&) {
    kestravo::posix::RemoveCgroup(cgroup);
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }

  // ESRCH: the child has ended and the host has reaped it already; the handle starts signalled.
  if (pidfd < 0) pidfd = kestravo::posix::PidfdOpen(pid);
  if (pidfd < 0 && errno != ESRCH) {
    int err = errno;
    kestravo::posix::KillAndReapNewChild(pid, -1);
    kestravo::posix::RemoveCgroup(cgroup);
    return FailWithErrno(err);
  }
  std::shared_ptr<ProcessObject> process;
  try {
    // It leads its own session, so its group too.
    process = std::make_shared<ProcessObject>(pidfd, true, pid, cgroup);
  } catch (const std::bad_alloc&) {
    kestravo::posix::KillAndReapNewChild(pid, pidfd);
    kestravo::posix::RemoveCgroup(cgroup);
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  HANDLE handle = nullptr;
  try {
    handle = kestravo::posix::RegisterHandle(process);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
  if (handle == nullptr) {
    DWORD error = GetLastError();
    process->Terminate();
    process.reset();  // reaps within the grace period
    return Fail(error);
  }
  lpProcessInformation->hProcess = handle;
  lpProcessInformation->hThread = kestravo::posix::ThreadPseudoHandle();
  lpProcessInformation->dwProcessId = static_cast<DWORD>(pid);
  lpProcessInformation->dwThreadId = static_cast<DWORD>(pid);
  return TRUE;
}

}  // namespace

BOOL CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL bInheritHandles, DWORD dwCreationFlags,
                    LPVOID lpEnvironment, LPCSTR lpCurrentDirectory, LPSTARTUPINFOA,
                    LPPROCESS_INFORMATION lpProcessInformation) {
  kestravo::posix::SweepAbandonedChildren();
  if (lpApplicationName == nullptr || lpCurrentDirectory != nullptr ||
      bInheritHandles != FALSE || (dwCreationFlags & ~CREATE_NO_WINDOW) != 0) {
    return Fail(ERROR_NOT_SUPPORTED);
  }
  if (*lpApplicationName == '\0' || lpProcessInformation == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return StartChild(lpApplicationName, lpCommandLine, lpEnvironment, lpProcessInformation, std::string());
}

BOOL TerminateProcess(HANDLE hProcess, DWORD) {
  auto process = kestravo::posix::LookupHandleAs<ProcessObject>(hProcess);
  if (!process) return FALSE;
  return process->Terminate() ? TRUE : FALSE;
}

HANDLE OpenProcess(DWORD, BOOL bInheritHandle, DWORD dwProcessId) {
  kestravo::posix::SweepAbandonedChildren();
  if (bInheritHandle != FALSE) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  if (dwProcessId == 0 || dwProcessId > static_cast<DWORD>(INT_MAX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  int pidfd = kestravo::posix::PidfdOpen(static_cast<pid_t>(dwProcessId));
  if (pidfd < 0) {
    // ESRCH: no such process; EINVAL: a thread id, not a process.
    int err = errno;
    SetLastError(err == ESRCH || err == EINVAL ? ERROR_INVALID_PARAMETER
                                               : kestravo::posix::WindowsErrorFromErrno(err));
    return nullptr;
  }
  std::shared_ptr<ProcessObject> process;
  try {
    // Its tree, if it leads a group (an adopted child does: it leads its session), with its
    // cgroup if that is one of ours. Read while the pidfd pins the pid: still this process's.
    pid_t pid = static_cast<pid_t>(dwProcessId);
    pid_t pgid = getpgid(pid) == pid ? pid : 0;
    std::string cgroup = pgid != 0 ? kestravo::posix::ChildCgroupOf(pid) : std::string();
    if (syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) != 0) pgid = 0, cgroup.clear();
    process = std::make_shared<ProcessObject>(pidfd, false, pgid, cgroup);
  } catch (const std::bad_alloc&) {
    close(pidfd);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  try {
    return kestravo::posix::RegisterHandle(std::move(process));  // NULL with the error set
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

BOOL TerminateProcesses(const HANDLE* handles, size_t count, DWORD timeoutMs) {
  if (count > 0 && handles == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::vector<std::shared_ptr<ProcessObject>> signalled;
  try {
    signalled.reserve(count);
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  BOOL all = TRUE;
  for (size_t i = 0; i < count; ++i) {
    auto process = kestravo::posix::LookupHandleAs<ProcessObject>(handles[i]);
    if (process && process->SignalTerminate()) {
      signalled.push_back(std::move(process));
    } else {
      all = FALSE;
    }
  }
  kestravo::posix::Deadline deadline(timeoutMs);
  for (const auto& process : signalled) process->AwaitTerminated(deadline);
  return all;
}

BOOL EndProcessRemains(HANDLE hProcess, DWORD timeoutMs) {
  auto process = kestravo::posix::LookupHandleAs<ProcessObject>(hProcess);
  if (!process) return FALSE;
  return process->EndRemains(kestravo::posix::Deadline(timeoutMs)) ? TRUE : FALSE;
}

BOOL GetProcessExitStatus(HANDLE hProcess, ProcessExitStatus* status) {
  if (status == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  auto process = kestravo::posix::LookupHandleAs<ProcessObject>(hProcess);
  if (!process) return FALSE;
  return process->ExitStatus(status) ? TRUE : FALSE;
}

BOOL CreateProcessTree(LPCSTR program, LPSTR commandLine, PROCESS_INFORMATION* info, HANDLE predecessor) {
  kestravo::posix::SweepAbandonedChildren();
  // Every child is started in a process group and cgroup of its own already.
  if (program == nullptr || *program == '\0' || info == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  // Made here, before the spawn, where allocating is still allowed. None of the host's own
  // KESTRAVO_* variables (its identity, its state directory) are the child's.
  std::string environment;
  std::string cgroup;
  try {
    for (char** entry = environ; *entry != nullptr; ++entry) {
      if (strncmp(*entry, "KESTRAVO_", 9) == 0) continue;
      environment.append(*entry).push_back('\0');
    }
    environment.append(2, '\0');
    // Its predecessor's cgroup once emptied: no removal and new directory between the two.
    if (auto previous = predecessor != nullptr ? kestravo::posix::LookupHandleAs<ProcessObject>(predecessor) : nullptr) {
      cgroup = previous->TakeEmptyCgroup();
    }
  } catch (const std::bad_alloc&) {
    return kestravo::posix::Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  return StartChild(program, commandLine, &environment[0], info, std::move(cgroup));
}

BOOL TerminateProcessTree(HANDLE hProcess) { return TerminateProcess(hProcess, 0); }
