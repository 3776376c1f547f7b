#include "program_limits.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <sstream>

#include "common/exit_text.h"
#include "kestravo.h"
#include "platform/posix/process_groups.h"

namespace kestravo_run {

namespace {

std::string g_cgroup;          // this process's own cgroup, once ApplyLimits found one
uint64_t g_oomKillsBefore = 0;  // its out-of-memory kills when the program had yet to start
char g_oomScore[32] = {};      // this process's oom_score_adj before it lowered it; empty: unchanged

// Writes the whole text, or false with errno set.
bool WriteFile(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  int err = errno;
  close(fd);
  errno = err;
  return ok;
}

std::string ReadFile(const std::string& path) {
  char buffer[1024];
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  ssize_t n = fd >= 0 ? read(fd, buffer, sizeof buffer) : -1;
  if (fd >= 0) close(fd);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

bool HasWord(const std::string& list, const std::string& word) {
  std::istringstream words(list);
  for (std::string each; words >> each;) {
    if (each == word) return true;
  }
  return false;
}

// Where the kernel's out-of-memory killer, ending the whole cgroup, would end this process too, it
// stays out of its reach to report the end (root may: CAP_SYS_RESOURCE); the program gets the
// old score back before its exec.
void KeepOutOfOomKills() {
  std::string before = ReadFile("/proc/self/oom_score_adj");
  while (!before.empty() && (before.back() == '\n' || before.back() == ' ')) before.pop_back();
  if (before.empty() || before.size() >= sizeof g_oomScore || !WriteFile("/proc/self/oom_score_adj", "-1000")) return;
  memcpy(g_oomScore, before.c_str(), before.size() + 1);
}

}  // namespace

bool ApplyLimits(const Limits& limits, std::string* error) {
  g_cgroup = kestravo::posix::ChildCgroupOf(getpid());
  g_oomKillsBefore = kestravo::posix::ReadCgroupMemory(g_cgroup).oomKills;
  struct Setting {
    const char* option;
    uint64_t value;
    const char* controller;
    std::string file, text;
    bool required;
  };
  const Setting settings[] = {
      {"--memory-max", limits.memoryMax, "memory", "memory.max", std::to_string(limits.memoryMax), true},
      // Without swap the limit bites at SIZE, and a kill ends the whole tree, not a part of it.
      {"--memory-max", limits.memoryMax, "memory", "memory.swap.max", "0", false},
      {"--memory-max", limits.memoryMax, "memory", "memory.oom.group", "1", true},
      {"--tasks-max", limits.tasksMax, "pids", "pids.max", std::to_string(limits.tasksMax), true},
      {"--cpu-max", limits.cpuPercent, "cpu", "cpu.max", std::to_string(limits.cpuPercent * 1000) + " 100000", true},
  };
  // Everything checked before anything is written.
  const std::string controllers = g_cgroup.empty() ? std::string() : ReadFile(g_cgroup + "/cgroup.controllers");
  for (const Setting& s : settings) {
    if (s.value == 0) continue;
    if (g_cgroup.empty()) {
      *error = std::string(s.option) + " needs a cgroup of the child's own: the host made none (cgroup v2 not delegated)";
      return false;
    }
    if (!HasWord(controllers, s.controller)) {
      *error = std::string(s.option) + " needs the " + s.controller +
               " controller in the child's cgroup: the host's cgroup does not pass it on (cgroup.subtree_control)";
      return false;
    }
    if (s.required && access((g_cgroup + "/" + s.file).c_str(), W_OK) != 0) {
      *error = std::string(s.option) + " cannot use " + g_cgroup + "/" + s.file + ": " + strerror(errno);
      return false;
    }
  }
  for (const Setting& s : settings) {
    if (s.value == 0 || (!s.required && access((g_cgroup + "/" + s.file).c_str(), F_OK) != 0)) continue;
    if (!WriteFile(g_cgroup + "/" + s.file, s.text)) {
      *error = std::string(s.option) + " cannot write " + s.text + " to " + g_cgroup + "/" + s.file + ": " + strerror(errno);
      return false;
    }
  }
  if (limits.memoryMax != 0) KeepOutOfOomKills();
  return true;
}

std::string OutOfMemoryNote() {
  if (g_cgroup.empty()) return std::string();
  const kestravo::posix::CgroupMemory memory = kestravo::posix::ReadCgroupMemory(g_cgroup);
  if (memory.oomKills <= g_oomKillsBefore) return std::string();
  return kestravo::StopCauseText(KESTRAVO_CAUSE_OUT_OF_MEMORY, memory.limit);
}

bool RestoreForProgram() {
  if (g_oomScore[0] == '\0') return true;
  int fd = open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t size = strlen(g_oomScore);
  bool ok = write(fd, g_oomScore, size) == static_cast<ssize_t>(size);
  close(fd);
  return ok;
}

}  // namespace kestravo_run
