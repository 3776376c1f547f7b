#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/start_phases.h"
#include "last_error.h"
#include "process_exit.h"
#include "process_groups.h"
#include "spawn.h"

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
    : pidfd_(pidfd),
      own_(ownChild),
      pgid_(pgid),
      cgroup_(std::move(cgroup)),
      reaped_(pidfd < 0),
      oomKillsBefore_(ReadCgroupMemory(cgroup_).oomKills) {}

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
  // Read while the cgroup is surely there: it goes once its tree has. An adopted child comes by
  // here again, when the cgroup may be gone: what was seen stays.
  const CgroupMemory memory = outOfMemory_ ? CgroupMemory() : ReadCgroupMemory(cgroup_);
  if (memory.oomKills > oomKillsBefore_) {
    outOfMemory_ = true;
    memoryLimit_ = memory.limit;
  }
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
  status->outOfMemory = outOfMemory_;
  status->memoryLimit = outOfMemory_ ? memoryLimit_ : 0;
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
  // A frozen one (an operator froze the child, then killed it) would freeze the relaunch before
  // its exec, and the start with it: that one is removed like any other, and a new one made.
  if (!own_ || cgroup_.empty() || !ReapIfEndedLocked() || !treeEnded_ || cgroupKilled_ || access(cgroup_.c_str(), F_OK) != 0 ||
      !CgroupEmpty(cgroup_) || CgroupFrozen(cgroup_)) {
    return std::string();
  }
  std::string taken;
  taken.swap(cgroup_);
  return taken;
}

bool SweepAbandonedChildren() {
  Abandoned().Sweep();
  return SweepCgroups();
}

}  // namespace kestravo::posix

using kestravo::posix::Fail;
using kestravo::posix::FailWithErrno;
using kestravo::posix::ProcessObject;

namespace kestravo::posix {

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
#ifdef KESTRAVO_START_PHASES
    kestravo::StartPhaseTimer cgroupTimer(kestravo::kPhaseCgroup);
#endif
    if (!takenOver) cgroup = kestravo::posix::NewChildCgroup();
    // The limits were the ended program's own.
    if (takenOver) kestravo::posix::ResetCgroupLimits(cgroup);
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
#ifdef KESTRAVO_START_PHASES
    cgroupTimer.Next(kestravo::kPhaseSpawn);
#endif
    int rc = kestravo::posix::Spawn(lpApplicationName, argv.data(), envp, cgroupFd, cgroup.empty() ? nullptr : procs.c_str(),
                                    &pid, &pidfd, &cgroupFailed);
    if (cgroupFd >= 0) close(cgroupFd);
    if (cgroupFailed) {
      // Detected, never required: without cgroups the process group stands for this child's
      // tree. The next child tries again, since a refusal may pass.
      kestravo::posix::RemoveCgroup(cgroup);
      cgroup.clear();
      rc = kestravo::posix::Spawn(lpApplicationName, argv.data(), envp, -1, nullptr, &pid, &pidfd, &cgroupFailed);
    }
    if (rc == ETIMEDOUT) {
      // Killed before its exec: its handle's end reaps it, or leaves it to a later sweep, and
      // takes its cgroup along. The start failed.
      if (pidfd < 0) pidfd = kestravo::posix::PidfdOpen(pid);
      if (pidfd < 0) {
        kestravo::posix::RemoveCgroup(cgroup);  // reaped by the host already
        return Fail(ERROR_TIMEOUT);
      }
      auto stuck = std::make_shared<ProcessObject>(pidfd, true, pid, cgroup);
      pidfd = -1;
      stuck->Terminate();
      stuck.reset();
      return Fail(ERROR_TIMEOUT);
    }
    if (rc != 0) {
      kestravo::posix::RemoveCgroup(cgroup);
      return FailWithErrno(rc);
    }
  } catch (const std::bad_alloc&) {
    if (pidfd >= 0) kestravo::posix::KillAndReapNewChild(pid, pidfd);
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

}  // namespace kestravo::posix

using kestravo::posix::StartChild;

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
