#include "bench_host.h"

#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <random>

#include "bench_stats.h"

namespace bench {

std::string g_out;
std::string g_child;
Announcements* g_announcements;

namespace {
std::mt19937 g_random(4321);
std::mutex g_rawMutex;
std::vector<int> g_rawPidfds;  // guarded by g_rawMutex
bool g_interrupted = false;    // guarded by g_rawMutex: a child tracked from then on is killed at once
}  // namespace

void Die(const char* what) {
  fprintf(stderr, "kestravo-bench-library: %s\n", what);
  exit(1);
}

double WaitAnnounced(int n, std::vector<int>* pids) {
  double last = 0, at = 0;
  int pid = 0;
  for (int i = 0; i < n; ++i) {
    if (!g_announcements->Next(Now() + 60, &at, &pid)) Die("the children did not all start within 60 s");
    last = std::max(last, at);
    if (pids != nullptr) pids->push_back(pid);
  }
  return last;
}

namespace {

// This process's CPU seconds, its ended threads included.
double OwnCpuSeconds() {
  rusage use{};
  getrusage(RUSAGE_SELF, &use);
  return static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
         static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) * 1e-6;
}

// Seconds every core together spent idle since boot.
double IdleSeconds() {
  std::ifstream stat("/proc/stat");
  std::string cpu;
  unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0;
  stat >> cpu >> user >> nice >> system >> idle >> iowait;
  return static_cast<double>(idle + iowait) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

void CpuMeter::Begin() {
  host_ = OwnCpuSeconds();
  idle_ = IdleSeconds();
}

void CpuMeter::End(const std::string& name, const std::vector<int>& pids) {
  const double host = OwnCpuSeconds() - host_, idle = IdleSeconds() - idle_;
  // What a child does right after its announcement (the library's opens its stop event) still
  // belongs to its start.
  SleepSeconds(0.05);
  double children = 0;
  for (int pid : pids) {
    // schedstat's run time in ns, where stat's ticks would round a short life to nothing.
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    double ns = 0;
    if (in >> ns) children += ns * 1e-9;
  }
  const double perStart = 1e6 / static_cast<double>(std::max<size_t>(pids.size(), 1));
  WriteSamples(g_out, "cpu." + name + ".host", {host * perStart});
  WriteSamples(g_out, "cpu." + name + ".children", {children * perStart});
  WriteSamples(g_out, "cpu." + name + ".idle", {idle * perStart});
}

void RandomPhase() { SleepSeconds(std::uniform_real_distribution<double>(0, 0.020)(g_random)); }

void TrackRaw(int pidfd) {
  std::lock_guard<std::mutex> lock(g_rawMutex);
  if (g_interrupted) syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
  g_rawPidfds.push_back(pidfd);
}

void ReplaceRaw(int before, int after) {
  std::lock_guard<std::mutex> lock(g_rawMutex);
  if (g_interrupted) syscall(SYS_pidfd_send_signal, after, SIGKILL, nullptr, 0);
  std::replace(g_rawPidfds.begin(), g_rawPidfds.end(), before, after);
}

void KillRaw(const std::vector<int>& pidfds) {
  for (int pidfd : pidfds) {
    syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
    siginfo_t info{};
    waitid(static_cast<idtype_t>(3) /* P_PIDFD */, static_cast<id_t>(pidfd), &info, WEXITED);
    close(pidfd);
  }
  std::lock_guard<std::mutex> lock(g_rawMutex);
  g_rawPidfds.clear();
}

void SignalRaw() {
  std::lock_guard<std::mutex> lock(g_rawMutex);
  g_interrupted = true;
  for (int pidfd : g_rawPidfds) syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
}

std::string OwnCgroup2() {
  std::ifstream mounts("/proc/self/mounts");
  std::string source, mountPoint, type, rest, root;
  while (mounts >> source >> mountPoint >> type && std::getline(mounts, rest)) {
    if (type == "cgroup2") root = mountPoint;
  }
  if (root.empty()) return "";
  std::ifstream in("/proc/self/cgroup");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 3, "0::") == 0) return root + (line.size() > 4 ? line.substr(3) : "");
  }
  return "";
}

long StatusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  size_t length = strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, length, field) == 0 && line[length] == ':') return atol(line.c_str() + length + 1);
  }
  return 0;
}

double CpuSeconds() {
  double total = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return 0;
  const std::string self = std::to_string(static_cast<long>(syscall(SYS_gettid)));
  while (dirent* task = readdir(tasks)) {
    if (task->d_name[0] == '.' || self == task->d_name) continue;
    std::ifstream in(std::string("/proc/self/task/") + task->d_name + "/schedstat");
    double ns = 0;
    if (in >> ns) total += ns * 1e-9;
  }
  closedir(tasks);
  return total;
}

double IdleWindow(double seconds) {
  double cpu = CpuSeconds(), start = Now();
  SleepSeconds(seconds);
  return (CpuSeconds() - cpu) / (Now() - start) * 100.0;
}

}  // namespace bench
