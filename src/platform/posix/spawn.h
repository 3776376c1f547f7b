// The one place where a child process is made: between clone and exec only raw system calls.
#pragma once

#include <stdint.h>
#include <sys/types.h>

namespace kestravo::posix {

// Starts the program detached from the caller: own session, default signals, empty mask,
// standard streams on /dev/null, nothing else inherited, and in the cgroup given (cgroupFd, a
// descriptor of its directory, and cgroupProcs, its cgroup.procs; -1 and null for none). Sharing
// the caller's memory until exec, as posix_spawn does: a large host's memory is not copied. The
// child starts inside its cgroup through clone3 (CLONE_INTO_CGROUP), which needs no move; where
// that is refused, it moves itself in before exec. Returns 0 or an errno value; *pidfd gets the
// child's pidfd when clone3 made one, else -1; *cgroupFailed tells that joining the cgroup was
// what failed. ETIMEDOUT when the child did not reach its exec within the limit (a cgroup frozen
// under it): it has been sent SIGKILL, and *pid (and *pidfd where clone3 made one, else -1) are
// set for the caller to reap and to end its cgroup.
int Spawn(const char* program, char* const* argv, char* const* envp, int cgroupFd, const char* cgroupProcs, pid_t* pid,
          int* pidfd, bool* cgroupFailed);

// Testing: children are moved into their cgroups as where clone3 is refused (false), or clone3 is
// tried again (true).
void UseClone3(bool use);
// Testing: how long a start waits for its child to reach exec (10 s unless set).
void SetExecWaitMs(uint32_t ms);
// Testing: the next count moves into a cgroup by writing cgroup.procs fail, as a transient
// refusal of the kernel's would.
void PlantFailedCgroupMoves(int count);
// Testing: children learn which signals to reset from their status file (true, the default), or
// reset every one, as where /proc cannot be read (false).
void ReadSignalsFromProc(bool read);

}  // namespace kestravo::posix
