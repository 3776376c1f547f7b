#include "spawn.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <new>

#include "deadline.h"

namespace kestravo::posix {

namespace {

// What the new process does between clone and exec. It shares the caller's memory while the
// calling thread waits, so it makes raw system calls only. On the clone3 path a failure goes back
// through that memory (failure); on the fallback path (clone without clone3's extras, still
// called the vfork path) through the close-on-exec pipe report, as it always has.
struct ExecPlan {
  const char* program;
  char* const* argv;
  char* const* envp;
  const char* cgroupProcs;  // null: stay where clone put it
  int maxFd;                // for closing descriptors where close_range is missing
  int report;               // write end of the pipe, 3 or above; -1 on the clone3 path
  bool sharedFiles;         // started on the caller's descriptor table (CLONE_FILES)
  int* failure;             // clone3 path: the error, written just before the child exits
  const char* statusPath;   // where the child reads its signal dispositions; null: reset them all
};

constexpr int kCgroupFailure = 0x10000;   // added to errno when joining the cgroup failed
constexpr int kUnshareFailure = 0x20000;  // added to errno when the shared table could not be left
constexpr unsigned kCloseRangeUnshare = 2;  // CLOSE_RANGE_UNSHARE

// Not instrumented: on the clone3 path it runs on a stack no sanitizer knows.
#define KESTRAVO_CHILD_SIDE __attribute__((no_sanitize("address", "thread")))

// A system call that leaves errno alone, -errno on failure. Until its exec the child shares the
// caller's memory and thread-local storage (errno, a sanitizer's state) with the calling thread,
// which runs on meanwhile: the child touches neither.
KESTRAVO_CHILD_SIDE __attribute__((always_inline)) inline long Sys(long number, long a = 0, long b = 0, long c = 0, long d = 0) {
#if defined(__x86_64__)
  long result;
  register long r10 asm("r10") = d;
  asm volatile("syscall" : "=a"(result) : "0"(number), "D"(a), "S"(b), "d"(c), "r"(r10) : "rcx", "r11", "memory");
  return result;
#else
  long result = syscall(number, a, b, c, d);
  return result < 0 ? -errno : result;
#endif
}

template <typename T>
KESTRAVO_CHILD_SIDE inline long Arg(T* pointer) {
  return reinterpret_cast<long>(pointer);
}

// result: what the failed call returned (-errno; anything else counts as EIO).
[[noreturn]] KESTRAVO_CHILD_SIDE void ExitWithError(const ExecPlan& plan, long result, int flag) {
  int code = (result < 0 ? static_cast<int>(-result) : EIO) + flag;
  if (plan.failure != nullptr) {
    *static_cast<volatile int*>(plan.failure) = code;
  } else {
    Sys(SYS_write, plan.report, Arg(&code), sizeof code);
  }
  for (;;) Sys(SYS_exit_group, 127);
}

// The 16 hex digits after "\nName:\t" in text, or false.
KESTRAVO_CHILD_SIDE bool HexField(const char* text, long length, const char* name, uint64_t* value) {
  for (long i = 0; i < length; ++i) {
    if (text[i] != '\n') continue;
    long j = i + 1, k = 0;
    while (name[k] != '\0' && j < length && text[j] == name[k]) ++j, ++k;
    if (name[k] != '\0') continue;
    uint64_t parsed = 0;
    int digits = 0;
    for (; j < length && digits < 16; ++j, ++digits) {
      const char c = text[j];
      const int nibble = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (nibble < 0) return false;
      parsed = parsed << 4 | static_cast<uint64_t>(nibble);
    }
    if (digits != 16) return false;
    *value = parsed;
    return true;
  }
  return false;
}

// The signals this new process ignores or catches (its copy of the caller's dispositions), bit
// sig-1 each, read from its own status file; all of them where that cannot be read.
KESTRAVO_CHILD_SIDE uint64_t SignalsNotDefault(const char* statusPath) {
  char text[4096];
  long length = 0;
  const long fd = statusPath == nullptr ? -1 : Sys(SYS_openat, AT_FDCWD, Arg(statusPath), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ~0ull;
  for (long n; length < static_cast<long>(sizeof text) &&
               (n = Sys(SYS_read, fd, Arg(text + length), static_cast<long>(sizeof text) - length)) > 0;) {
    length += n;
  }
  Sys(SYS_close, fd);
  uint64_t ignored = 0, caught = 0;
  if (!HexField(text, length, "SigIgn:\t", &ignored) || !HexField(text, length, "SigCgt:\t", &caught)) return ~0ull;
  return ignored | caught;
}

[[noreturn]] KESTRAVO_CHILD_SIDE void ExecChild(const ExecPlan& plan) {
  long r = 0;
  // A table of its own holding 0 to 2 alone: the caller's other descriptors are neither copied
  // nor closed one by one, which with thousands of children held was most of a start's cost.
  if (plan.sharedFiles && (r = Sys(SYS_close_range, 3, ~0u, kCloseRangeUnshare)) != 0) ExitWithError(plan, r, kUnshareFailure);
  // Into the cgroup before anything runs that could fork: none of its descendants starts
  // outside it.
  if (plan.cgroupProcs != nullptr) {
    const long fd = Sys(SYS_openat, AT_FDCWD, Arg(plan.cgroupProcs), O_WRONLY | O_CLOEXEC);
    r = fd < 0 ? fd : Sys(SYS_write, fd, Arg("0"), 1);
    if (r != 1) ExitWithError(plan, r, kCgroupFailure);
    Sys(SYS_close, fd);
  }
  if ((r = Sys(SYS_setsid)) < 0) ExitWithError(plan, r, 0);
  // Every signal to its default: the caller's handlers live in memory that exec leaves behind,
  // and what it ignores would stay ignored. Only those set otherwise are reset: one call per
  // signal, 62 of them, was the longest part of the child's way to its exec.
  struct {
    void* handler;
    unsigned long flags;
    void* restorer;
    uint64_t mask;
  } defaults{};  // SIG_DFL
  const uint64_t set = SignalsNotDefault(plan.statusPath);
  for (int sig = 1; sig <= 64; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP && (set >> (sig - 1) & 1) != 0) Sys(SYS_rt_sigaction, sig, Arg(&defaults), 0, 8);
  }
  const long in = Sys(SYS_openat, AT_FDCWD, Arg("/dev/null"), O_RDONLY);
  if (in < 0) ExitWithError(plan, in, 0);
  if (in != 0 && ((r = Sys(SYS_dup2, in, 0)) < 0 || (r = Sys(SYS_close, in)) < 0)) ExitWithError(plan, r, 0);
  const long out = Sys(SYS_openat, AT_FDCWD, Arg("/dev/null"), O_WRONLY);
  if (out < 0) ExitWithError(plan, out, 0);
  if (out != 1 && ((r = Sys(SYS_dup2, out, 1)) < 0 || (r = Sys(SYS_close, out)) < 0)) ExitWithError(plan, r, 0);
  if ((r = Sys(SYS_dup2, 1, 2)) < 0) ExitWithError(plan, r, 0);
  if (!plan.sharedFiles) {
    // All but the report pipe, which exec closes.
    const unsigned report = plan.report < 0 ? ~0u : static_cast<unsigned>(plan.report);
    if ((report > 3 && Sys(SYS_close_range, 3, report - 1, 0) != 0) ||
        (plan.report >= 0 && Sys(SYS_close_range, report + 1, ~0u, 0) != 0)) {
      for (int fd = 3; fd < plan.maxFd; ++fd) {
        if (fd != plan.report) Sys(SYS_close, fd);
      }
    }
  }
  uint64_t none = 0;
  Sys(SYS_rt_sigprocmask, SIG_SETMASK, Arg(&none), 0, 8);
  r = Sys(SYS_execve, Arg(plan.program), Arg(plan.argv), Arg(plan.envp));
  ExitWithError(plan, r, 0);
}

[[noreturn]] KESTRAVO_CHILD_SIDE void ExecChildOnOwnStack(const ExecPlan* plan) { ExecChild(*plan); }

// clone3's arguments (linux/sched.h, which clashes with <sched.h>).
struct CloneArgs {
  uint64_t flags, pidfd, childTid, parentTid, exitSignal, stack, stackSize, tls, setTid, setTidSize, cgroup;
};
constexpr uint64_t kCloneVm = 0x100, kCloneFiles = 0x400, kClonePidfd = 0x1000, kCloneChildClearTid = 0x200000;
constexpr uint64_t kCloneIntoCgroup = 0x200000000ull;

// How long a start waits for its child to reach exec. A child frozen before it (its cgroup frozen
// by an operator in between) would hold the start for as long as the freeze lasts.
std::atomic<uint32_t> execWaitMs{10000};
// Testing: moves into a cgroup planted to fail.
std::atomic<int> failedMovesToPlant{0};
// Testing: null makes every child reset all its signals, as where /proc is missing.
std::atomic<const char*> statusPath{"/proc/thread-self/status"};

// What the parent and its child share until the child's exec: on the heap, since a child that
// does not let go in time is left the block (the kernel clears its word when the child's exec or
// end releases the memory, which may be after the start has returned).
struct Handshake {
  int32_t running = 1;  // cleared with a futex wake at the child's exec or end (CLONE_CHILD_CLEARTID)
  int failure = 0;      // the child's error before exec
};

// Waits until the child has let go of the shared memory. False when the deadline came first.
bool WaitForRelease(Handshake* handshake, const Deadline& deadline) {
  while (__atomic_load_n(&handshake->running, __ATOMIC_ACQUIRE) != 0) {
    const uint32_t left = deadline.RemainingMs();
    if (left == 0) return false;
    timespec wait{static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000L};
    // Not private: the kernel's wake at exec or exit is a shared one.
    syscall(SYS_futex, &handshake->running, FUTEX_WAIT, 1, &wait, nullptr, 0);
  }
  return true;
}

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
// The same with clone, for where clone3 is refused: the child runs entry(plan) on stackTop. Not
// glibc's clone, which a sanitizer wraps as for a fork, touching state the caller still uses.
long CloneCall(unsigned long flags, char* stackTop, int32_t* childTid, void (*entry)(const ExecPlan*), const ExecPlan* plan) {
  long ret;
  register int32_t* tidReg asm("r10") = childTid;
  register const ExecPlan* planReg asm("r8") = plan;  // the tls argument, unused without CLONE_SETTLS
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
      : "0"(static_cast<long>(SYS_clone)), "D"(flags), "S"(stackTop), "d"(0L), "r"(tidReg), "r"(planReg), "r"(entryReg)
      : "rcx", "r11", "memory", "cc");
  return ret;
}
#else
long Clone3Call(CloneArgs*, void (*)(const ExecPlan*), const ExecPlan*) { return -ENOSYS; }
long CloneCall(unsigned long, char*, int32_t*, void (*)(const ExecPlan*), const ExecPlan*) { return -ENOSYS; }
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
// clone3 itself failed (*pidfd is -1 then): the caller takes the vfork path. ETIMEDOUT for a
// child that did not reach its exec in time: it has been sent SIGKILL, and *pid and *pidfd are
// left to the caller to reap.
int SpawnByClone3(const char* program, char* const* argv, char* const* envp, int cgroupFd, int maxFd, pid_t* pid,
                  int* pidfd) {
  // The child's stack; this frame waits, unused, until the child has gone to exec. Not
  // CLONE_VFORK: the kernel's wait for the exec has no time limit, this one has.
  alignas(64) char stack[16384];
  for (;;) {
    const bool shareFiles = !unshareRefused.load(std::memory_order_relaxed);
    Handshake* handshake = new (std::nothrow) Handshake;
    if (handshake == nullptr) return -1;
    const ExecPlan plan{program, argv, envp, nullptr, maxFd, -1, shareFiles, &handshake->failure, statusPath.load()};
    CloneArgs args{};
    args.flags = kCloneVm | kCloneChildClearTid | kClonePidfd | (shareFiles ? kCloneFiles : 0) |
                 (cgroupFd >= 0 ? kCloneIntoCgroup : 0);
    args.pidfd = reinterpret_cast<uintptr_t>(pidfd);
    args.childTid = reinterpret_cast<uintptr_t>(&handshake->running);
    args.exitSignal = SIGCHLD;
    args.stack = reinterpret_cast<uintptr_t>(stack);
    args.stackSize = sizeof stack;
    args.cgroup = cgroupFd >= 0 ? static_cast<uint64_t>(cgroupFd) : 0;
    // Every signal blocked, glibc's own two included, so that no handler of the caller runs in
    // the child while it shares the caller's memory.
    uint64_t all = ~0ull, old = 0;
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &all, &old, 8);
    long made = Clone3Call(&args, ExecChildOnOwnStack, &plan);
    if (made <= 0) {
      syscall(SYS_rt_sigprocmask, SIG_SETMASK, &old, nullptr, 8);
      delete handshake;
      // Refused for good, or a failure the vfork path reports as it always has.
      const long err = -made;
      if (err == ENOSYS || err == EPERM || err == E2BIG || err == EINVAL) clone3Refused = true;
      *pidfd = -1;
      return -1;
    }
    if (!WaitForRelease(handshake, Deadline(execWaitMs.load()))) {
      // Frozen or stuck before its exec. Once killed it runs none of its code again, so neither
      // stack nor plan is touched after this; the block stays its own until the kernel is done.
      syscall(SYS_pidfd_send_signal, *pidfd, SIGKILL, nullptr, 0);
      if (WaitForRelease(handshake, Deadline(1000))) delete handshake;
      syscall(SYS_rt_sigprocmask, SIG_SETMASK, &old, nullptr, 8);
      *pid = static_cast<pid_t>(made);
      return ETIMEDOUT;
    }
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &old, nullptr, 8);
    // The child has gone to exec or ended; an end before exec left its error here.
    const int code = handshake->failure;
    delete handshake;
    if (code == 0) {
      *pid = static_cast<pid_t>(made);
      return 0;
    }
    ReapFailedChild(static_cast<pid_t>(made), pidfd);
    if (code < kUnshareFailure) return code;
    unshareRefused = true;
  }
}

}  // namespace

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
  // A path that cannot be opened stands for a move the kernel refuses.
  if (cgroupProcs != nullptr && failedMovesToPlant.load() > 0 && failedMovesToPlant.fetch_sub(1) > 0) cgroupProcs = "";
  const ExecPlan plan{program, argv, envp, cgroupProcs, maxFd, pipeFds[1], false, nullptr, statusPath.load()};
  // As vfork, but the wait for the exec has a limit: a child that moved itself into a cgroup
  // frozen at that moment stops before its exec.
  alignas(64) char stack[16384];
  Handshake* handshake = new (std::nothrow) Handshake;
  if (handshake == nullptr) {
    close(pipeFds[0]);
    close(pipeFds[1]);
    return ENOMEM;
  }
  uint64_t all = ~0ull, old = 0;
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &all, &old, 8);
  const long made = CloneCall(kCloneVm | kCloneChildClearTid | SIGCHLD, stack + sizeof stack, &handshake->running,
                              ExecChildOnOwnStack, &plan);
  const pid_t child = made > 0 ? static_cast<pid_t>(made) : -1;
  const int forkError = made > 0 ? 0 : static_cast<int>(-made);
  const bool released = child < 0 || WaitForRelease(handshake, Deadline(execWaitMs.load()));
  if (!released) {
    // Not reaped, so the pid is still the child's. Killed, it runs none of its code again.
    kill(child, SIGKILL);
    if (WaitForRelease(handshake, Deadline(1000))) delete handshake;
  } else {
    delete handshake;
  }
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &old, nullptr, 8);
  close(plan.report);
  if (child < 0 || !released) {
    close(pipeFds[0]);
    if (!released) *pid = child;
    return released ? forkError : ETIMEDOUT;
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

void UseClone3(bool use) { clone3Refused = !use; }

void SetExecWaitMs(uint32_t ms) { execWaitMs = ms; }

void PlantFailedCgroupMoves(int count) { failedMovesToPlant = count; }

void ReadSignalsFromProc(bool read) { statusPath = read ? "/proc/thread-self/status" : nullptr; }

}  // namespace kestravo::posix
