// A child's process tree: its process group and, where the host may create cgroups, a cgroup of
// its own, so that the descendants that left the group (daemons) end with it too.
#pragma once

#include <sys/types.h>

#include <string>

namespace kestravo::posix {

// The directory of a new, empty cgroup for one child, below the host's own cgroup; empty when
// cgroups cannot be used here (no cgroup v2 hierarchy, the host's cgroup is not writable, or an
// earlier child could not be moved into one). Decided once per process, never required.
std::string NewChildCgroup();
// After a child could not be put into its cgroup: no later child tries again.
void GiveUpCgroups();
// Testing: cgroups off (false), or back to what the machine allows (true).
void UseCgroups(bool use);

// The cgroup directory of a running process if it is a child's cgroup made by this library (in
// this run or an earlier one); empty otherwise.
std::string ChildCgroupOf(pid_t pid);

// Kills every process in the cgroup: cgroup.kill where the kernel has it, else each pid listed.
void KillCgroup(const std::string& dir);
// True once no live process is left in the cgroup (or it is gone).
bool CgroupEmpty(const std::string& dir);
// Removes an empty cgroup; one that cannot go yet is kept on a list that later calls retry.
void RemoveCgroup(const std::string& dir);
void SweepCgroups();

// True while the process group has a member that is not a zombie.
bool GroupHasLiveMembers(pid_t pgid);

}  // namespace kestravo::posix
