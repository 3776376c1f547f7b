#include "process_groups.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <fstream>
#include <mutex>
#include <new>
#include <sstream>
#include <vector>

namespace kestravo::posix {

namespace {

const char kCgroupPrefix[] = "kestravo-";

// The whole of a small kernel file, or empty.
std::string ReadSmallFile(const std::string& path) {
  std::string text;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return text;
}

bool WriteSmallFile(const std::string& path, const char* text) {
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t size = strlen(text);
  bool ok = write(fd, text, size) == static_cast<ssize_t>(size);
  close(fd);
  return ok;
}

// Where the cgroup v2 hierarchy is mounted ("/sys/fs/cgroup", or ".../unified" on a hybrid
// system); empty without one.
std::string Cgroup2Mount() {
  std::istringstream lines(ReadSmallFile("/proc/self/mountinfo"));
  for (std::string line; std::getline(lines, line);) {
    // id parent dev root mountpoint options [optional...] - fstype source superoptions
    std::istringstream fields(line);
    std::string id, parent, dev, root, mountPoint, word;
    fields >> id >> parent >> dev >> root >> mountPoint;
    while (fields >> word && word != "-") {
    }
    std::string type;
    fields >> type;
    if (type == "cgroup2" && root == "/") return mountPoint;
  }
  return std::string();
}

// The cgroup v2 path of a process ("0::/a/b" in /proc/PID/cgroup), or empty.
std::string Cgroup2PathOf(const std::string& pid) {
  std::istringstream lines(ReadSmallFile("/proc/" + pid + "/cgroup"));
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("0::", 0) == 0) return line.substr(3);
  }
  return std::string();
}

int OpenMemberPidfd(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

int PidfdSignal(int pidfd, int signal, unsigned flags) {
  return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, flags));
}

// Set once the kernel refused the group flag, or by tests.
std::atomic<bool> groupByPidfdOff{false};
// Set by tests: cgroups emptied pid by pid, as before Linux 5.14.
std::atomic<bool> cgroupKillOff{false};
// Set by tests: new cgroups frozen as soon as made, as by an operator at that moment.
std::atomic<bool> freezeNew{false};

// The cgroups directly below dir: a child running as root may have made some.
std::vector<std::string> NestedCgroups(const std::string& dir) {
  std::vector<std::string> nested;
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return nested;
  while (dirent* entry = readdir(listing)) {
    if (entry->d_type == DT_DIR && strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
      try {
        nested.push_back(dir + "/" + entry->d_name);
      } catch (const std::bad_alloc&) {
      }
    }
  }
  closedir(listing);
  return nested;
}

// The group whose id is the pid that the pidfd pins, whatever has become of its number: 1 sent,
// 0 no member left (or not ours to signal), -1 the kernel cannot (before Linux 6.9).
int SignalGroupByPidfd(int pidfd, int signal) {
  constexpr unsigned kProcessGroup = 1u << 2;  // PIDFD_SIGNAL_PROCESS_GROUP
  if (groupByPidfdOff) return -1;
  if (PidfdSignal(pidfd, signal, kProcessGroup) == 0) return 1;
  if (errno != EINVAL) return 0;
  groupByPidfdOff = true;
  return -1;
}

std::string Join(const std::string& mount, const std::string& path) {
  return path == "/" ? mount : mount + path;
}

// The host's own cgroup, if it may have child groups that processes can be moved into: the
// writer needs write access to the cgroup.procs of the host's group (the common ancestor of
// where a child starts and where it goes). The host's group holds the host, so it has no
// controllers enabled for its children ("no internal processes"), and a child group of it can
// hold processes.
// Removes the empty child cgroups that hosts no longer running left here (a host that crashed,
// whose children ended later). One of a live host, or one with processes, stays.
void RemoveStaleCgroups(const std::string& dir) {
  DIR* parent = opendir(dir.c_str());
  if (parent == nullptr) return;
  while (dirent* entry = readdir(parent)) {
    const char* name = entry->d_name;
    if (strncmp(name, kCgroupPrefix, strlen(kCgroupPrefix)) != 0) continue;
    long host = atol(name + strlen(kCgroupPrefix));
    if (host <= 0 || host == getpid() || kill(static_cast<pid_t>(host), 0) == 0 || errno != ESRCH) continue;
    rmdir((dir + "/" + name).c_str());
  }
  closedir(parent);
}

// True when the space-separated list holds the word.
bool ListHas(const std::string& list, const std::string& word) {
  std::istringstream words(list);
  for (std::string each; words >> each;) {
    if (each == word) return true;
  }
  return false;
}

// Passes the controllers that the limits of kestravo-run use on to the children's cgroups, where
// the host's cgroup has them and may: the kernel refuses (EBUSY) in a cgroup holding processes,
// the root cgroup aside, and a cgroup of the host's always holds the host. Without them a limit is
// refused, never ignored.
void EnableChildControllers(const std::string& dir) {
  const std::string available = ReadSmallFile(dir + "/cgroup.controllers");
  const std::string enabled = ReadSmallFile(dir + "/cgroup.subtree_control");
  for (const char* name : {"memory", "pids", "cpu"}) {
    if (ListHas(available, name) && !ListHas(enabled, name))
      WriteSmallFile(dir + "/cgroup.subtree_control", (std::string("+") + name).c_str());
  }
}

std::string DetectHostCgroup() {
  std::string mount = Cgroup2Mount();
  std::string path = Cgroup2PathOf("self");
  if (mount.empty() || path.empty() || path.find("/..") != std::string::npos) return std::string();
  std::string dir = Join(mount, path);
  if (access((dir + "/cgroup.procs").c_str(), W_OK) != 0) return std::string();
  RemoveStaleCgroups(dir);
  std::string probe = dir + "/" + kCgroupPrefix + std::to_string(getpid()) + ".probe";
  if (mkdir(probe.c_str(), 0755) != 0 && errno != EEXIST) return std::string();
  bool ok = access((probe + "/cgroup.procs").c_str(), W_OK) == 0;
  rmdir(probe.c_str());
  if (ok) EnableChildControllers(dir);
  return ok ? dir : std::string();
}

struct CgroupState {
  std::mutex mutex;
  bool detected = false;              // guarded by mutex
  std::string hostDir;                // guarded by mutex: empty when cgroups are not used
  std::atomic<bool> enabled{true};    // off for tests
  std::atomic<unsigned> next{0};
  std::vector<std::string> leftover;  // guarded by mutex: cgroups to remove once empty
};

// Leaked on purpose: a destructor running during exit may still use it.
CgroupState& State() {
  static CgroupState* state = new CgroupState;
  return *state;
}

std::string HostCgroup() {
  CgroupState& state = State();
  if (!state.enabled) return std::string();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (!state.detected) {
    try {
      state.hostDir = DetectHostCgroup();
    } catch (const std::bad_alloc&) {
      return std::string();
    }
    state.detected = true;
  }
  return state.hostDir;
}

}  // namespace

std::string NewChildCgroup() {
  try {
    std::string host = HostCgroup();
    if (host.empty()) return host;
    // Unique among hosts alive now; an earlier host of the same pid may have left some behind.
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string dir = host + "/" + kCgroupPrefix + std::to_string(getpid()) + "." +
                        std::to_string(State().next++);
      if (mkdir(dir.c_str(), 0755) == 0) {
        if (freezeNew) WriteSmallFile(dir + "/cgroup.freeze", "1");
        return dir;
      }
      if (errno != EEXIST) break;
    }
  } catch (const std::bad_alloc&) {
  }
  return std::string();
}

CgroupMemory ParseCgroupMemory(const std::string& events, const std::string& max) {
  CgroupMemory memory;
  std::istringstream lines(events);
  for (std::string key; lines >> key;) {
    uint64_t count = 0;
    if (!(lines >> count)) break;
    // oom_kill counts the processes the killer ended, oom_group_kill the times it ended them all.
    if (key == "oom_kill" || key == "oom_group_kill") memory.oomKills = std::max(memory.oomKills, count);
  }
  char* end = nullptr;
  unsigned long long limit = strtoull(max.c_str(), &end, 10);
  if (end != max.c_str() && (*end == '\0' || *end == '\n')) memory.limit = limit;
  return memory;
}

CgroupMemory ReadCgroupMemory(const std::string& dir) {
  if (dir.empty()) return CgroupMemory();
  try {
    return ParseCgroupMemory(ReadSmallFile(dir + "/memory.events"), ReadSmallFile(dir + "/memory.max"));
  } catch (const std::bad_alloc&) {
    return CgroupMemory();
  }
}

void ResetCgroupLimits(const std::string& dir) {
  try {
    for (const char* file : {"memory.max", "memory.swap.max", "pids.max", "cpu.max"}) {
      if (access((dir + "/" + file).c_str(), F_OK) == 0) WriteSmallFile(dir + "/" + file, "max");
    }
    if (access((dir + "/memory.oom.group").c_str(), F_OK) == 0) WriteSmallFile(dir + "/memory.oom.group", "0");
  } catch (const std::bad_alloc&) {
  }
}

void UseCgroups(bool use) { State().enabled = use; }

void UseGroupPidfd(bool use) { groupByPidfdOff = !use; }

void UseCgroupKill(bool use) { cgroupKillOff = !use; }

void FreezeNewCgroups(bool freeze) { freezeNew = freeze; }

std::string ChildCgroupOf(pid_t pid) {
  try {
    std::string path = Cgroup2PathOf(std::to_string(pid));
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || path.compare(slash + 1, strlen(kCgroupPrefix), kCgroupPrefix) != 0 ||
        path.find("/..") != std::string::npos) {
      return std::string();
    }
    std::string mount = Cgroup2Mount();
    if (mount.empty()) return mount;
    std::string dir = Join(mount, path);
    return access((dir + "/cgroup.procs").c_str(), R_OK) == 0 ? dir : std::string();
  } catch (const std::bad_alloc&) {
    return std::string();
  }
}

void KillCgroup(const std::string& dir) {
  if (!cgroupKillOff && WriteSmallFile(dir + "/cgroup.kill", "1")) return;
  // Before Linux 5.14: one pid at a time, in the cgroup and in those below it (cgroup.kill takes
  // them too). A process forking meanwhile shows up in the next read. A listed pid may have ended
  // and gone to another process since: each is signalled through a pidfd, and only when the
  // process it pins is seen in the cgroup that listed it while it still holds the pid.
  for (int round = 0; round < 100; ++round) {
    std::vector<std::string> cgroups;
    try {
      cgroups.push_back(dir);
      for (size_t i = 0; i < cgroups.size() && cgroups.size() < 4096; ++i) {
        for (std::string& sub : NestedCgroups(cgroups[i])) cgroups.push_back(std::move(sub));
      }
    } catch (const std::bad_alloc&) {
    }
    bool any = false;
    for (const std::string& cgroup : cgroups) {
      std::istringstream pids(ReadSmallFile(cgroup + "/cgroup.procs"));
      for (pid_t pid; pids >> pid;) {
        int pidfd = OpenMemberPidfd(pid);
        if (pidfd < 0) continue;
        std::string path = Cgroup2PathOf(std::to_string(pid));
        if (!path.empty() && cgroup.size() >= path.size() &&
            cgroup.compare(cgroup.size() - path.size(), path.size(), path) == 0 && PidfdSignal(pidfd, 0, 0) == 0) {
          PidfdSignal(pidfd, SIGKILL, 0);
        }
        close(pidfd);
        any = true;
      }
    }
    if (!any) return;
  }
}

bool CgroupEmpty(const std::string& dir) {
  std::string events = ReadSmallFile(dir + "/cgroup.events");
  if (events.empty()) return access(dir.c_str(), F_OK) != 0 || ReadSmallFile(dir + "/cgroup.procs").empty();
  return events.find("populated 0") != std::string::npos;
}

bool CgroupFrozen(const std::string& dir) {
  // cgroup.freeze came with Linux 5.2; before it no cgroup v2 can be frozen.
  const std::string freeze = ReadSmallFile(dir + "/cgroup.freeze"), events = ReadSmallFile(dir + "/cgroup.events");
  if (freeze.empty()) return access((dir + "/cgroup.freeze").c_str(), F_OK) == 0 || access(dir.c_str(), F_OK) != 0;
  return freeze.rfind("0", 0) != 0 || events.find("frozen 1") != std::string::npos;
}

// Removes the cgroups below dir, deepest first: a child running as root may have made its own,
// and a cgroup that has any cannot be removed. Those still populated stay.
void RemoveNestedCgroups(const std::string& dir, int depth = 0) {
  if (depth >= 32) return;
  for (const std::string& sub : NestedCgroups(dir)) {
    RemoveNestedCgroups(sub, depth + 1);
    rmdir(sub.c_str());
  }
}

void RemoveCgroup(const std::string& dir, const Deadline& deadline) {
  if (dir.empty()) return;
  // Busy while a process of it has yet to finish dying, or while it has cgroups of its own.
  while (rmdir(dir.c_str()) != 0) {
    if (errno == ENOENT) return;
    if (errno != EBUSY) break;
    RemoveNestedCgroups(dir);
    if (rmdir(dir.c_str()) == 0 || errno == ENOENT) return;
    if (deadline.RemainingMs() == 0) break;
    usleep(1000);
  }
  CgroupState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  try {
    state.leftover.push_back(dir);
  } catch (const std::bad_alloc&) {
  }
}

bool SweepCgroups() {
  CgroupState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.leftover.empty()) return false;
  auto gone = std::remove_if(state.leftover.begin(), state.leftover.end(), [](const std::string& dir) {
    if (rmdir(dir.c_str()) == 0 || errno == ENOENT) return true;
    if (errno != EBUSY) return false;
    RemoveNestedCgroups(dir);
    return rmdir(dir.c_str()) == 0 || errno == ENOENT;
  });
  state.leftover.erase(gone, state.leftover.end());
  return !state.leftover.empty();
}

bool SignalGroup(int pidfd, pid_t pgid, int signal) {
  if (pidfd < 0 || pgid <= 0) return false;
  int byPidfd = SignalGroupByPidfd(pidfd, signal);
  if (byPidfd >= 0) return byPidfd == 1;
  // The zombie of a process not yet reaped holds its pid, and with it the group's id.
  return PidfdSignal(pidfd, 0, 0) == 0 && kill(-pgid, signal) == 0;
}

bool GroupHasLiveMembers(int pidfd, pid_t pgid) {
  if (pgid <= 0 || pidfd < 0) return false;
  int byPidfd = SignalGroupByPidfd(pidfd, 0);
  if (byPidfd == 0 || (byPidfd < 0 && kill(-pgid, 0) != 0 && errno == ESRCH)) return false;
  // Zombies still count for a signal: look for a member that is not one. Read by number, which
  // at worst makes a caller wait for a stranger that took it over; nothing is signalled here.
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return true;
  bool live = false;
  while (dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    char path[300];
    snprintf(path, sizeof path, "/proc/%s/stat", entry->d_name);
    std::string stat = ReadSmallFile(path);
    // pid (comm) state ppid pgrp ...: comm may hold anything, so read after its last ')'.
    size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    int ppid = 0, pgrp = 0;
    if (sscanf(stat.c_str() + close + 1, " %c %d %d", &state, &ppid, &pgrp) == 3 && pgrp == pgid &&
        state != 'Z' && state != 'X') {
      live = true;
      break;
    }
  }
  closedir(proc);
  return live;
}

}  // namespace kestravo::posix
