// A child's process tree: its process group and, where the host may create cgroups, a cgroup of
// its own, so that the descendants that left the group (daemons) end with it too.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <string>

#include "deadline.h"

namespace kestravo::posix {

// The directory of a new, empty cgroup for one child, below the host's own cgroup; empty when
// cgroups cannot be used here (no cgroup v2 hierarchy, or the host's cgroup is not writable).
// Decided once per process, never required. The host's cgroup passes the memory, pids and cpu
// controllers on to these where the kernel lets it: only the root cgroup may while it holds
// processes, and the host's cgroup holds the host, so elsewhere they get none (and kestravo-run
// refuses its limits).
std::string NewChildCgroup();
// Testing: cgroups off (false), or back to what the machine allows (true).
void UseCgroups(bool use);
// Testing: each new cgroup frozen as it is made (true), or not (false).
void FreezeNewCgroups(bool freeze);

// What the memory controller of a cgroup saw: how many of its processes the kernel's out-of-memory
// killer ended (memory.events, which counts those of the cgroups below it too), and its memory.max
// in bytes (0 for "max"). Both 0 where the cgroup has no memory controller or cannot be read.
struct CgroupMemory {
  uint64_t oomKills = 0;
  uint64_t limit = 0;
};
CgroupMemory ReadCgroupMemory(const std::string& dir);
// The same from the two files' text.
CgroupMemory ParseCgroupMemory(const std::string& events, const std::string& max);
// Lifts the limits a program set on the cgroup (memory, swap, tasks, cpu, out-of-memory group),
// for the next child that takes the cgroup over. Files the cgroup lacks are left alone.
void ResetCgroupLimits(const std::string& dir);

// The cgroup directory of a running process if it is a child's cgroup made by this library (in
// this run or an earlier one); empty otherwise.
std::string ChildCgroupOf(pid_t pid);

// Kills every process in the cgroup and in the cgroups below it: cgroup.kill where the kernel has
// it, else each pid listed, each through a pidfd checked to be still in the cgroup that listed it.
void KillCgroup(const std::string& dir);
// Testing: cgroups emptied pid by pid as before Linux 5.14 (false), or back to cgroup.kill (true).
void UseCgroupKill(bool use);
// True once no live process is left in the cgroup (or it is gone).
bool CgroupEmpty(const std::string& dir);
// True when the cgroup is frozen, asked to be or by an ancestor (cgroup.freeze, cgroup.events),
// or when that cannot be read: a child started there would stop before its exec.
bool CgroupFrozen(const std::string& dir);
// Removes the cgroup once it is empty, waiting for that until the deadline; one that cannot go by
// then is kept on a list that later calls retry.
void RemoveCgroup(const std::string& dir, const Deadline& deadline = Deadline(0));
// Removes what it can of that list; true when cgroups are left on it.
bool SweepCgroups();

// Signals the process group that the process behind pidfd leads (pgid, its pid), never another
// group that has come to bear the same number once all of its own members were gone: through the
// pidfd itself where the kernel can (Linux 6.9), else by number only while the leader, running or
// not yet reaped, still holds it. True when the signal reached a member; signal 0 asks whether the
// group still has one.
bool SignalGroup(int pidfd, pid_t pgid, int signal);
// Testing: groups signalled by number as before Linux 6.9 (false), or back to what the kernel
// allows (true).
void UseGroupPidfd(bool use);

// True while the process group of the process behind pidfd has a member that is not a zombie.
bool GroupHasLiveMembers(int pidfd, pid_t pgid);

}  // namespace kestravo::posix
