// kestravo-bench-library OUTDIR CHILD [QUICK]: the library's figures as a host sees them, and the
// raw limit of the same starts done with posix_spawn and pidfd_open alone. Writes sample files
// into OUTDIR for kestravo-bench-report. Runs in OUTDIR, where it puts its log4cxx.properties.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <pthread.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>
#include <algorithm>

#include "bench_stats.h"
#include "kestravo.h"

extern char** environ;

namespace {

using bench::Now;
using bench::Progress;
using bench::SleepSeconds;

std::string g_out;
std::string g_child;

struct Plan {
  int startReps1 = 20, startReps64 = 5, startReps1024 = 3;
  int idleWindows = 3;
  double idleSeconds = 10;
  int kills = 200;
  int stops = 200;
};

// MSG_RESTARTED arrivals, per hpid.
std::mutex g_mutex;
std::condition_variable g_changed;
unsigned g_restarts[1024];
double g_restartedAt[1024];

int32_t OnMessage(uint32_t hpid, uint32_t type, void*, void*) {
  if (type != MSG_RESTARTED || hpid >= 1024) return 0;
  double at = Now();
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_restarts[hpid];
  g_restartedAt[hpid] = at;
  g_changed.notify_all();
  return 0;
}

[[noreturn]] void Die(const char* what) {
  fprintf(stderr, "kestravo-bench-library: %s\n", what);
  exit(1);
}

std::string StateFilePath() {
  char self[4096] = {};
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) Die("cannot read /proc/self/exe");
  std::string path(self, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/')) + "/kestravo.xml";
}

// The children's announcements: "pid seconds nanoseconds" lines on a FIFO.
class Announcements {
 public:
  explicit Announcements(const std::string& path) {
    unlink(path.c_str());
    if (mkfifo(path.c_str(), 0600) != 0) Die("mkfifo");
    fd_ = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);  // never EOF: we write-hold it too
    if (fd_ < 0) Die("open fifo");
    setenv("KESTRAVO_BENCH_FIFO", path.c_str(), 1);
  }
  // The next announcement before the deadline (absolute), or false.
  bool Next(double deadline, double* at) {
    for (;;) {
      size_t end = buffer_.find('\n');
      if (end != std::string::npos) {
        long long pid = 0, sec = 0, nsec = 0;
        sscanf(buffer_.c_str(), "%lld %lld %lld", &pid, &sec, &nsec);
        buffer_.erase(0, end + 1);
        *at = static_cast<double>(sec) + static_cast<double>(nsec) * 1e-9;
        return true;
      }
      double left = deadline - Now();
      if (left <= 0) return false;
      pollfd entry{fd_, POLLIN, 0};
      poll(&entry, 1, static_cast<int>(left * 1000) + 1);
      char chunk[4096];
      ssize_t n = read(fd_, chunk, sizeof chunk);
      if (n > 0) buffer_.append(chunk, static_cast<size_t>(n));
    }
  }
  void Drain() {
    char chunk[4096];
    while (read(fd_, chunk, sizeof chunk) > 0) {
    }
    buffer_.clear();
  }

 private:
  int fd_ = -1;
  std::string buffer_;
};

Announcements* g_announcements;

// A random pause of 0-20 ms, two launcher periods, so that a timed call does not fall at the same
// point of the launcher's 10 ms sleep every time.
std::mt19937 g_random(4321);
void RandomPhase() { SleepSeconds(std::uniform_real_distribution<double>(0, 0.020)(g_random)); }

// The raw loop's children, for an interrupt to end.
std::vector<int> g_rawPidfds;
std::mutex g_rawMutex;

long StatusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  size_t length = strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, length, field) == 0 && line[length] == ':') return atol(line.c_str() + length + 1);
  }
  return 0;
}

void InitLibrary() {
  KESTRAVO_SetMsgCallBack(OnMessage, nullptr);
  if (KESTRAVO_Init() != KESTRAVO_OK) Die("KESTRAVO_Init failed");
}

// Stops every child and forgets the state file, so that the next measurement starts afresh.
void ResetLibrary() {
  KESTRAVO_Uninit();
  unlink(StateFilePath().c_str());
  g_announcements->Drain();
  InitLibrary();
}

void WaitAnswered(uint32_t hpid) {
  double deadline = Now() + 30;
  uint32_t pid = 0;
  while (KESTRAVO_GetOSPid(hpid, &pid) != KESTRAVO_OK) {
    if (Now() > deadline) Die("a child never started");
    SleepSeconds(0.0002);
  }
}

// Waits until n children have announced themselves; the time of the last announcement.
double WaitAnnounced(int n) {
  double last = 0, at = 0;
  for (int i = 0; i < n; ++i) {
    if (!g_announcements->Next(Now() + 60, &at)) Die("the children did not all start within 60 s");
    last = std::max(last, at);
  }
  return last;
}

// Seconds from the first create until every child runs and answers KESTRAVO_GetOSPid. Running
// is what the children announce, so nothing polls the library meanwhile.
double StartChildren(int n, std::vector<uint32_t>* hpids) {
  RandomPhase();
  g_announcements->Drain();
  hpids->assign(static_cast<size_t>(n), 0);
  double start = Now();
  for (int i = 0; i < n; ++i) {
    if (KESTRAVO_CreateProcess(g_child.c_str(), "", &(*hpids)[static_cast<size_t>(i)], 0) != KESTRAVO_OK) {
      Die("KESTRAVO_CreateProcess failed");
    }
  }
  double end = WaitAnnounced(n);
  for (uint32_t hpid : *hpids) WaitAnswered(hpid);
  return std::max(end, Now()) - start;
}

// CPU share of one core, in percent, that this process used over a window of wall time.
double IdleWindow(double seconds) {
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  double start = Now();
  SleepSeconds(seconds);
  getrusage(RUSAGE_SELF, &after);
  double wall = Now() - start;
  auto cpu = [](const rusage& r) {
    return r.ru_utime.tv_sec + r.ru_stime.tv_sec + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) * 1e-6;
  };
  return (cpu(after) - cpu(before)) / wall * 100.0;
}

// What a thread that only sleeps 10 ms at a time costs here: the floor under the launcher's poll.
void MeasureSleepFloor(const Plan& plan) {
  std::vector<double> shares;
  for (int i = 0; i < plan.idleWindows; ++i) {
    std::thread sleeper([&] {
      rusage before{}, after{};
      getrusage(RUSAGE_THREAD, &before);
      double start = Now();
      while (Now() - start < plan.idleSeconds) SleepSeconds(0.010);
      getrusage(RUSAGE_THREAD, &after);
      double cpu = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) + (after.ru_stime.tv_sec - before.ru_stime.tv_sec) +
                   ((after.ru_utime.tv_usec - before.ru_utime.tv_usec) + (after.ru_stime.tv_usec - before.ru_stime.tv_usec)) * 1e-6;
      shares.push_back(cpu / (Now() - start) * 100);
    });
    sleeper.join();
  }
  bench::WriteSamples(g_out, "idle.floor", shares);
  Progress("a bare 10 ms sleep loop: %.4f %% of one core", bench::Summarise(shares).median);
}

void MeasureIdle(const Plan& plan, const char* name) {
  SleepSeconds(1.5);  // past the first guard passes over the new table
  std::vector<double> shares;
  for (int i = 0; i < plan.idleWindows; ++i) shares.push_back(IdleWindow(plan.idleSeconds));
  bench::WriteSamples(g_out, name, shares);
  Progress("%s: %.4f %% of one core (median of %d x %.0f s)", name, bench::Summarise(shares).median,
           plan.idleWindows, plan.idleSeconds);
}

// SIGKILL a watched child picked at random, after a random 50-250 ms, so that kills fall at every
// phase of the guard's period; time MSG_RESTARTED and the new pid's answer.
void MeasureRestarts(const Plan& plan, const std::vector<uint32_t>& hpids, const std::string& name) {
  // Past the guard's first passes: a table that was empty has it sleeping 1000 ms.
  SleepSeconds(1.2);
  g_announcements->Drain();
  std::mt19937 random(1234);
  std::uniform_real_distribution<double> delay(0.05, 0.25);
  std::vector<double> toMessage, toPid, toChild;
  for (int k = 0; k < plan.kills; ++k) {
    uint32_t hpid = hpids[random() % hpids.size()];
    uint32_t oldPid = 0;
    if (KESTRAVO_GetOSPid(hpid, &oldPid) != KESTRAVO_OK) Die("GetOSPid of a managed child failed");
    SleepSeconds(delay(random));
    unsigned before;
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      before = g_restarts[hpid];
    }
    double killedAt = Now();
    if (kill(static_cast<pid_t>(oldPid), SIGKILL) != 0) Die("kill failed");
    double deadline = killedAt + 10;
    uint32_t pid = oldPid;
    while (KESTRAVO_GetOSPid(hpid, &pid) == KESTRAVO_OK && pid == oldPid) {
      if (Now() > deadline) Die("no new pid within 10 s");
      SleepSeconds(0.00025);
    }
    double pidAt = Now();
    std::unique_lock<std::mutex> lock(g_mutex);
    if (!g_changed.wait_for(lock, std::chrono::seconds(10), [&] { return g_restarts[hpid] != before; })) {
      Die("no MSG_RESTARTED within 10 s");
    }
    toMessage.push_back((g_restartedAt[hpid] - killedAt) * 1000);
    toPid.push_back((pidAt - killedAt) * 1000);
    lock.unlock();
    double childAt;
    if (!g_announcements->Next(Now() + 10, &childAt)) Die("the restarted child did not announce itself");
    toChild.push_back((childAt - killedAt) * 1000);
  }
  bench::WriteSamples(g_out, name + ".message", toMessage);
  bench::WriteSamples(g_out, name + ".pid", toPid);
  bench::WriteSamples(g_out, name + ".child", toChild);
  auto s = bench::Summarise(toMessage);
  Progress("%s: to MSG_RESTARTED median %.1f ms, p99 %.1f ms, max %.1f ms (%zu kills)", name.c_str(), s.median, s.p99,
           s.max, s.count);
}

// KESTRAVO_DestroyProcess of a child that honours its stop event, timed around the call.
void MeasureStops(const Plan& plan) {
  std::vector<double> stops;
  for (int i = 0; i < plan.stops; ++i) {
    g_announcements->Drain();
    std::vector<uint32_t> hpids;
    StartChildren(1, &hpids);
    RandomPhase();
    double start = Now();
    if (KESTRAVO_DestroyProcess(hpids[0], 0) != KESTRAVO_OK) Die("KESTRAVO_DestroyProcess failed");
    stops.push_back((Now() - start) * 1000);
  }
  bench::WriteSamples(g_out, "stop.lib", stops);
  auto s = bench::Summarise(stops);
  Progress("stop: median %.2f ms, p99 %.2f ms", s.median, s.p99);
}

// The same starts without the library: posix_spawn and pidfd_open in a loop.
double RawStart(int n) {
  g_announcements->Drain();
  char* argv[] = {const_cast<char*>(g_child.c_str()), nullptr};
  std::vector<int> pidfds;
  pidfds.reserve(static_cast<size_t>(n));
  double start = Now();
  for (int i = 0; i < n; ++i) {
    pid_t pid;
    if (posix_spawn(&pid, g_child.c_str(), nullptr, nullptr, argv, environ) != 0) Die("posix_spawn failed");
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) Die("pidfd_open failed");
    pidfds.push_back(pidfd);
    std::lock_guard<std::mutex> lock(g_rawMutex);
    g_rawPidfds.push_back(pidfd);
  }
  double elapsed = WaitAnnounced(n) - start;
  for (int pidfd : pidfds) {
    syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
    siginfo_t info{};
    waitid(static_cast<idtype_t>(3) /* P_PIDFD */, static_cast<id_t>(pidfd), &info, WEXITED);
    close(pidfd);
  }
  {
    std::lock_guard<std::mutex> lock(g_rawMutex);
    g_rawPidfds.clear();
  }
  g_announcements->Drain();
  return elapsed;
}

void RecordStart(const char* name, const std::vector<double>& seconds) {
  std::vector<double> ms;
  for (double s : seconds) ms.push_back(s * 1000);
  bench::WriteSamples(g_out, name, ms);
  Progress("%s: median %.1f ms over %zu runs", name, bench::Summarise(ms).median, ms.size());
}

}  // namespace

// An interrupt still ends every child: the library's through KESTRAVO_Uninit, the raw loop's by
// their pidfds. Signals are taken by this thread alone (the library's threads block them).
void WatchInterrupts(sigset_t set) {
  std::thread([set] {
    int signal = 0;
    sigwait(&set, &signal);
    {
      std::lock_guard<std::mutex> lock(g_rawMutex);
      for (int pidfd : g_rawPidfds) syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
    }
    KESTRAVO_Uninit();
    _exit(128 + signal);
  }).detach();
}

int main(int argc, char** argv) {
  sigset_t interrupts;
  sigemptyset(&interrupts);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&interrupts, signal);
  pthread_sigmask(SIG_BLOCK, &interrupts, nullptr);
  WatchInterrupts(interrupts);
  if (argc < 3) {
    fprintf(stderr, "usage: kestravo-bench-library OUTDIR CHILD [quick]\n");
    return 2;
  }
  g_out = argv[1];
  g_child = argv[2];
  Plan plan;
  if (argc > 3 && strcmp(argv[3], "quick") == 0) {
    plan = Plan{3, 2, 1, 1, 2, 20, 20};  // a check that everything runs, not figures
  }
  if (chdir(g_out.c_str()) != 0) Die("cannot enter OUTDIR");
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;  // two descriptors per child
  setrlimit(RLIMIT_NOFILE, &files);
  // The library's default level (warnings and errors), into a file rather than the terminal.
  std::ofstream("log4cxx.properties") << "log4j.logger.KESTRAVO=WARN, bench\n"
                                         "log4j.additivity.KESTRAVO=false\n"
                                         "log4j.appender.bench=org.apache.log4j.FileAppender\n"
                                         "log4j.appender.bench.File=kestravo.log\n"
                                         "log4j.appender.bench.layout=org.apache.log4j.PatternLayout\n"
                                         "log4j.appender.bench.layout.ConversionPattern=%d %-5p %m%n\n";
  unlink(StateFilePath().c_str());
  Announcements announcements(g_out + "/announce.fifo");
  g_announcements = &announcements;
  MeasureSleepFloor(plan);
  InitLibrary();

  Progress("library: idle with no child");
  MeasureIdle(plan, "idle.lib.0");

  // Each start of the library is paired with a raw one right before it, so that both see the
  // same load on the machine.
  std::vector<uint32_t> hpids;
  std::vector<double> seconds, raw;
  Progress("library and raw loop: 1024 children");
  raw.push_back(RawStart(1024));
  long rss0 = StatusKb("VmRSS"), anon0 = StatusKb("RssAnon"), shmem0 = StatusKb("RssShmem");
  seconds.push_back(StartChildren(1024, &hpids));
  SleepSeconds(0.5);  // the guard's first passes over the full table
  long rss1 = StatusKb("VmRSS"), anon1 = StatusKb("RssAnon"), shmem1 = StatusKb("RssShmem");
  bench::WriteSamples(g_out, "memory.lib", {(rss1 - rss0) * 1024.0 / 1024});
  char note[160];
  snprintf(note, sizeof note, "heap %.0f B, shared memory %.0f B", (anon1 - anon0) * 1024.0 / 1024,
           (shmem1 - shmem0) * 1024.0 / 1024);
  bench::WriteNote(g_out, "memory.lib", note);
  Progress("memory: %.0f bytes per child (%s)", (rss1 - rss0) * 1024.0 / 1024, note);
  MeasureIdle(plan, "idle.lib.1024");
  MeasureRestarts(plan, hpids, "restart.lib.1024");
  ResetLibrary();
  for (int i = 1; i < plan.startReps1024; ++i) {
    raw.push_back(RawStart(1024));
    seconds.push_back(StartChildren(1024, &hpids));
    ResetLibrary();
  }
  RecordStart("start.lib.1024", seconds);
  RecordStart("start.raw.1024", raw);

  Progress("library and raw loop: 64 children");
  seconds.clear();
  raw.clear();
  for (int i = 0; i < plan.startReps64; ++i) {
    raw.push_back(RawStart(64));
    seconds.push_back(StartChildren(64, &hpids));
    if (i + 1 < plan.startReps64) ResetLibrary();
  }
  RecordStart("start.lib.64", seconds);
  RecordStart("start.raw.64", raw);
  MeasureIdle(plan, "idle.lib.64");
  ResetLibrary();

  Progress("library and raw loop: one child");
  seconds.clear();
  raw.clear();
  for (int i = 0; i < plan.startReps1; ++i) {
    raw.push_back(RawStart(1));
    seconds.push_back(StartChildren(1, &hpids));
    if (i + 1 < plan.startReps1) ResetLibrary();
  }
  RecordStart("start.lib.1", seconds);
  RecordStart("start.raw.1", raw);
  MeasureRestarts(plan, hpids, "restart.lib.1");
  if (KESTRAVO_DestroyProcess(hpids[0], 0) != KESTRAVO_OK) Die("KESTRAVO_DestroyProcess failed");
  MeasureStops(plan);
  KESTRAVO_Uninit();
  unlink(StateFilePath().c_str());
  return 0;
}
