// Process handles over pidfds.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <mutex>
#include <string>

#include "handle_table.h"

struct ProcessExitStatus;

namespace kestravo::posix {

// A process behind a HANDLE, signalled once the process has ended.
//
// Its tree goes with it: its process group (pgid, 0 when it does not lead one) and its cgroup
// (empty when it has none). The tree is ended as soon as the process is seen to have ended, or is
// terminated, an adopted child's (opened with OpenProcess) as an own child's; its cgroup goes once
// empty. The group is signalled only in ways that cannot reach a group that reused its id
// (SignalGroup).
//
// An own child (started by CreateProcessA) is reaped here, exactly once, as soon as a wait sees
// it ended; the host's own waitpid(-1) may win that race, which is fine. A process opened with
// OpenProcess is someone else's: it is only polled, never reaped. The pidfd is closed by the
// destructor only, so a wait in progress on another thread always polls a valid descriptor.
// All members are safe to call from several threads.
class ProcessObject : public KernelObject {
 public:
  // Takes ownership of pidfd. pidfd -1 stands for a child that had ended and been reaped by
  // someone else before it could be opened: already signalled.
  ProcessObject(int pidfd, bool ownChild, pid_t pgid = 0, std::string cgroup = std::string());
  // An own child that is still unreaped is reaped now if it can be without blocking; one that
  // was terminated gets up to 500 ms to die; otherwise its pidfd goes to the abandoned list.
  ~ProcessObject() override;
  ProcessObject(const ProcessObject&) = delete;
  ProcessObject& operator=(const ProcessObject&) = delete;

  DWORD Wait(const Deadline& deadline) override;
  int PollFd() override;

  // Sends SIGKILL through the pidfd, and to its process group and cgroup, and waits up to
  // 500 ms for the process and its tree to end (reaping an own child), so that what it held is released when
  // the call returns. False with ERROR_ACCESS_DENIED once the process has been reaped (a pidfd
  // never reaches a recycled pid).
  bool Terminate();
  // Terminate in two halves, so that many processes can be ended together: the signals (false
  // as Terminate), then the wait for the process and its tree until the deadline.
  bool SignalTerminate();
  void AwaitTerminated(const Deadline& deadline);

  // Once the process has ended: ends what is left of its tree, waits for it to be gone until the
  // deadline and removes the cgroup. As EndProcessRemains.
  bool EndRemains(const Deadline& deadline);

  // Once the process has ended (reaping an own child that has): how, as GetProcessExitStatus.
  bool ExitStatus(ProcessExitStatus* status);

  // For the own child that replaces this ended one: its cgroup, once it has ended and the cgroup
  // shows nothing populated and never had to be killed; it is no longer this object's to remove
  // then. Empty otherwise (no cgroup, still running, or it held more than the child).
  std::string TakeEmptyCgroup();

 private:
  // Once the process has ended: ends its tree and reaps an own child; true once it has ended
  // (an own child: and is reaped, here or by someone else).
  bool ReapIfEnded();
  bool ReapIfEndedLocked();
  // Signals the group and the cgroup, once.
  void EndTreeLocked();
  // Waits until nothing of the ended tree lives, then removes the cgroup unless told to keep it.
  bool WaitTreeGone(const Deadline& deadline, bool keepCgroup);

  const int pidfd_;
  const bool own_;
  const pid_t pgid_;
  std::mutex mutex_;
  std::string cgroup_;       // guarded by mutex_ (read without it only where no other holder can be)
  bool reaped_;              // guarded by mutex_; also true for pidfd_ == -1
  bool terminated_ = false;  // guarded by mutex_
  bool treeEnded_ = false;   // guarded by mutex_
  bool cgroupKilled_ = false;  // guarded by mutex_
  int exitHow_ = 0;          // guarded by mutex_: the reaped status's si_code (CLD_*), 0 unknown
  int exitStatus_ = 0;       // guarded by mutex_: its si_status, exit code or signal
  // The cgroup's out-of-memory kills before this process (a cgroup taken over counts on), and
  // what was seen once it ended.
  const uint64_t oomKillsBefore_;
  bool outOfMemory_ = false;  // guarded by mutex_
  uint64_t memoryLimit_ = 0;  // guarded by mutex_
};

// Reaps what it can of the children whose handles were closed while they still ran, and removes
// the cgroups that were not empty yet when their child went. Cheap when there are none; called by
// the process functions as they go. True when such cgroups are left.
bool SweepAbandonedChildren();

// CreateProcessA's work once its arguments are checked, in cgroup when one is given (an emptied
// one taken over), else in a new one where cgroups are used. lpEnvironment: a block of
// NUL-terminated entries ending in an empty one, or null for the caller's environment.
BOOL StartChild(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPVOID lpEnvironment,
                LPPROCESS_INFORMATION lpProcessInformation, std::string cgroup);

}  // namespace kestravo::posix
