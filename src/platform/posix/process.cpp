#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "command_line.h"
#include "last_error.h"

extern char** environ;

namespace kestravo::posix {

namespace {

constexpr idtype_t kIdPidfd = static_cast<idtype_t>(3);  // P_PIDFD, missing from older headers
constexpr uint32_t kTerminatedGraceMs = 500;

int PidfdOpen(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

int PidfdKill(int pidfd) {
  return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0));
}

// Collects an own child's status if it has ended. True once it is gone: reaped now, or earlier
// by the host (ECHILD). Other errors leave nothing more to try, so they count as gone too.
bool TryReap(int pidfd) {
  for (;;) {
    siginfo_t info{};
    if (waitid(kIdPidfd, static_cast<id_t>(pidfd), &info, WEXITED | WNOHANG) == 0) {
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

// Own children whose last handle went while they still ran. Leaked on purpose: a destructor
// running during exit may still add to it.
class AbandonedChildren {
 public:
  void Add(int pidfd) {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
      pidfds_.push_back(pidfd);
    } catch (const std::bad_alloc&) {
      // Nowhere to keep it: the descriptor stays open and the child unreaped.
    }
  }

  void Sweep() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pidfds_.empty()) return;
    auto gone = std::remove_if(pidfds_.begin(), pidfds_.end(), [](int pidfd) {
      if (!TryReap(pidfd)) return false;
      close(pidfd);
      return true;
    });
    pidfds_.erase(gone, pidfds_.end());
  }

 private:
  std::mutex mutex_;
  std::vector<int> pidfds_;  // guarded by mutex_
};

AbandonedChildren& Abandoned() {
  static AbandonedChildren* list = new AbandonedChildren;
  return *list;
}

// Starts the program detached from the caller: own session, default signals, empty mask,
// standard streams on /dev/null, nothing else inherited. Returns 0 or an errno value.
int Spawn(const CommandLine& commandLine, pid_t* pid) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(commandLine.program.c_str()));
  for (const std::string& arg : commandLine.args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  posix_spawnattr_t attr;
  int rc = posix_spawnattr_init(&attr);
  if (rc != 0) return rc;
  posix_spawn_file_actions_t actions;
  rc = posix_spawn_file_actions_init(&actions);
  if (rc != 0) {
    posix_spawnattr_destroy(&attr);
    return rc;
  }
  // Every bit, not sigfillset(): that leaves out glibc's two internal signals (32, 33), which
  // posix_spawn would then pass on to the program as ignored.
  sigset_t all;
  memset(&all, 0xff, sizeof all);
  sigset_t none;
  sigemptyset(&none);
  rc = posix_spawnattr_setflags(
      &attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  if (rc == 0) rc = posix_spawnattr_setsigdefault(&attr, &all);
  if (rc == 0) rc = posix_spawnattr_setsigmask(&attr, &none);
  if (rc == 0) rc = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (rc == 0) rc = posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  if (rc == 0) {
    rc = posix_spawn(pid, commandLine.program.c_str(), &actions, &attr, argv.data(), environ);
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return rc;
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

ProcessObject::ProcessObject(int pidfd, bool ownChild)
    : pidfd_(pidfd), own_(ownChild), reaped_(pidfd < 0) {}

ProcessObject::~ProcessObject() {
  if (pidfd_ < 0) return;
  if (own_ && !reaped_ && !TryReap(pidfd_)) {
    bool gone = false;
    if (terminated_) {
      Deadline grace(kTerminatedGraceMs);
      gone = PollEnded(pidfd_, grace) == 1 && TryReap(pidfd_);
    }
    if (!gone) {
      Abandoned().Add(pidfd_);
      return;
    }
  }
  close(pidfd_);
}

bool ProcessObject::ReapIfEnded() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (reaped_) return true;
  if (!own_) return false;
  reaped_ = TryReap(pidfd_);
  return reaped_;
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
  SweepAbandonedChildren();  // as every wait on a process does
  std::lock_guard<std::mutex> lock(mutex_);
  return reaped_ ? -1 : pidfd_;
}

bool ProcessObject::Terminate() {
  {
    // Under the lock, so that no reap slips in between the check and the signal.
    std::lock_guard<std::mutex> lock(mutex_);
    if (reaped_) return Fail(ERROR_ACCESS_DENIED);
    if (PidfdKill(pidfd_) != 0) {
      return Fail(errno == ESRCH ? ERROR_ACCESS_DENIED : WindowsErrorFromErrno(errno));
    }
    terminated_ = true;
  }
  // The process holds its descriptors until it has died. The lock on its stop event is one of
  // them: were the caller to close the event first, the killed child would be its last holder,
  // and it could no longer remove the name.
  Wait(Deadline(kTerminatedGraceMs));
  return true;
}

void SweepAbandonedChildren() { Abandoned().Sweep(); }

}  // namespace kestravo::posix

using kestravo::posix::CommandLine;
using kestravo::posix::Fail;
using kestravo::posix::FailWithErrno;
using kestravo::posix::ProcessObject;

BOOL CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL bInheritHandles, DWORD dwCreationFlags,
                    LPVOID lpEnvironment, LPCSTR lpCurrentDirectory, LPSTARTUPINFOA,
                    LPPROCESS_INFORMATION lpProcessInformation) {
  kestravo::posix::SweepAbandonedChildren();
  if (lpApplicationName != nullptr || lpEnvironment != nullptr || lpCurrentDirectory != nullptr ||
      bInheritHandles != FALSE || (dwCreationFlags & ~CREATE_NO_WINDOW) != 0) {
    return Fail(ERROR_NOT_SUPPORTED);
  }
  if (lpCommandLine == nullptr || *lpCommandLine == '\0' || lpProcessInformation == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }

  pid_t pid = 0;
  try {
    CommandLine commandLine;
    DWORD parsed = kestravo::posix::ParseCommandLine(lpCommandLine, kestravo::posix::ProbePath,
                                                     &commandLine);
    if (parsed != ERROR_SUCCESS) return Fail(parsed);
    int rc = kestravo::posix::Spawn(commandLine, &pid);
    if (rc != 0) return FailWithErrno(rc);
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }

  // ESRCH: the child has ended and the host has reaped it already; the handle starts signalled.
  int pidfd = kestravo::posix::PidfdOpen(pid);
  if (pidfd < 0 && errno != ESRCH) {
    int err = errno;
    kestravo::posix::KillAndReapNewChild(pid, -1);
    return FailWithErrno(err);
  }
  std::shared_ptr<ProcessObject> process;
  try {
    process = std::make_shared<ProcessObject>(pidfd, true);
  } catch (const std::bad_alloc&) {
    kestravo::posix::KillAndReapNewChild(pid, pidfd);
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
    process = std::make_shared<ProcessObject>(pidfd, false);
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
