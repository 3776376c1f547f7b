// kestravo-bench-library OUTDIR CHILD [quick|start|floor|stops|watchdog|profile]: the library's figures as a host sees
// them, the raw limit of the same starts done with posix_spawn and pidfd_open alone, the start
// floor (the same starts by clone3 into a new cgroup each) and the restart floor. Writes sample
// files into OUTDIR for kestravo-bench-report. Runs in OUTDIR, where it puts its
// log4cxx.properties. "start" runs only the start rows of 1, 64 and 1024 children, "floor" only
// the restart floor, "stops" only the restart during another's grace and the destroys side by
// side, "watchdog" only the host's CPU with 1024 children's watchdogs, "profile" one library start
// of 1024 children alone (for perf or strace).
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>
#include <algorithm>
#include <functional>

#include "bench_host.h"
#include "bench_stats.h"
#include "floors.h"
#include "kestravo.h"

namespace {

using namespace bench;

struct Plan {
  int startReps1 = 40, startReps64 = 9, startReps1024 = 5;
  int idleWindows = 3;
  double idleSeconds = 10;
  int kills = 100;
  int stops = 200;
  int crashRestarts = 8;
  int floorKills = 20;
  int parallelDestroyRuns = 3;
};

// Stubborn children: the 1024 case runs only when this many are stopped within the probe's limit,
// so that a library that gives each its grace in turn (about 17 minutes for 1024) is not waited on.
constexpr int kStubbornProbe = 16;
constexpr double kStubbornProbeLimit = 2.0;

// MSG_RESTARTED arrivals, per hpid, and the times of all of them in order; MSG_READY arrivals.
std::mutex g_mutex;
std::condition_variable g_changed;
unsigned g_restarts[1024];
double g_restartedAt[1024];
std::vector<double> g_restartTimes;
unsigned g_readies;

int32_t OnMessage(uint32_t hpid, uint32_t type, void*, void*) {
  if (type == MSG_READY) {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_readies;
    g_changed.notify_all();
  }
  if (type != MSG_RESTARTED || hpid >= 1024) return 0;
  double at = Now();
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_restarts[hpid];
  g_restartedAt[hpid] = at;
  g_restartTimes.push_back(at);
  g_changed.notify_all();
  return 0;
}

std::string StateFilePath() {
  char self[4096] = {};
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) Die("cannot read /proc/self/exe");
  std::string path(self, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/')) + "/kestravo.xml";
}

void InitLibrary() {
  KESTRAVO_SetMsgCallBack(OnMessage, nullptr);
  if (KESTRAVO_Init() != KESTRAVO_OK) Die("KESTRAVO_Init failed");
}

// Forgets the state file and starts the library again on an empty table.
void Reinit() {
  unlink(StateFilePath().c_str());
  g_announcements->Drain();
  InitLibrary();
}

// Stops every child, so that the next measurement starts afresh.
void ResetLibrary() {
  KESTRAVO_Uninit();
  Reinit();
}

void WaitAnswered(uint32_t hpid) {
  double deadline = Now() + 30;
  uint32_t pid = 0;
  while (KESTRAVO_GetOSPid(hpid, &pid) != KESTRAVO_OK) {
    if (Now() > deadline) Die("a child never started");
    SleepSeconds(0.0002);
  }
}

// Seconds from the first create until every child runs and answers KESTRAVO_GetOSPid. Running
// is what the children announce, so nothing polls the library meanwhile. mode is the child's
// argument ("crash ", "ignore "), empty for a child that honours its stop event.
double StartChildren(int n, std::vector<uint32_t>* hpids, const char* mode = "", const char* cpuName = nullptr) {
  RandomPhase();
  g_announcements->Drain();
  hpids->assign(static_cast<size_t>(n), 0);
  CpuMeter meter;
  meter.Begin();
  double start = Now();
  for (int i = 0; i < n; ++i) {
    if (KESTRAVO_CreateProcess(g_child.c_str(), mode, &(*hpids)[static_cast<size_t>(i)], 0) != KESTRAVO_OK) {
      Die("KESTRAVO_CreateProcess failed");
    }
  }
  std::vector<int> pids;
  double end = WaitAnnounced(n, &pids);
  for (uint32_t hpid : *hpids) WaitAnswered(hpid);
  const double elapsed = std::max(end, Now()) - start;
  if (cpuName != nullptr) meter.End(cpuName, pids);
  return elapsed;
}

void MeasureIdle(const Plan& plan, const char* name) {
  SleepSeconds(1.5);  // the new table settles first
  std::vector<double> shares;
  for (int i = 0; i < plan.idleWindows; ++i) shares.push_back(IdleWindow(plan.idleSeconds));
  bench::WriteSamples(g_out, name, shares);
  Progress("%s: %.4f %% of one core (median of %d x %.0f s)", name, bench::Summarise(shares).median,
           plan.idleWindows, plan.idleSeconds);
}

// 1024 children that say READY=1 and WATCHDOG_USEC=usec once, then ping every pingMs (0: never):
// the host's CPU once all are ready, as the idle rows measure it. A child whose watchdog ran out
// meanwhile (a restart) is counted into <name>.restarts: the figure then holds restarts too.
void MeasureWatchdog(const Plan& plan, const char* name, const char* usec, int pingMs) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_readies = 0;
  }
  const std::string mode = std::string("watchdog ") + usec + " " + std::to_string(pingMs) + " ";
  std::vector<uint32_t> hpids;
  StartChildren(1024, &hpids, mode.c_str());
  size_t restarts;
  {
    std::unique_lock<std::mutex> lock(g_mutex);
    if (!g_changed.wait_for(lock, std::chrono::seconds(60), [] { return g_readies >= 1024; })) {
      Die("the children were not all ready within 60 s");
    }
  }
  SleepSeconds(1.5);  // the ready children's settings are recorded first
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    restarts = g_restartTimes.size();
  }
  MeasureIdle(plan, name);
  std::lock_guard<std::mutex> lock(g_mutex);
  bench::WriteSamples(g_out, std::string(name) + ".restarts", {static_cast<double>(g_restartTimes.size() - restarts)});
  if (g_restartTimes.size() != restarts) Progress("%s: %zu restarts meanwhile", name, g_restartTimes.size() - restarts);
}

void MeasureWatchdogs(const Plan& plan) {
  Progress("library: 1024 children pinging their watchdog (3 s) every second");
  MeasureWatchdog(plan, "watchdog.lib.ping.1024", "3000000", 1000);
  ResetLibrary();
  Progress("library: 1024 children with a 10 min watchdog and no ping due");
  MeasureWatchdog(plan, "idle.lib.watchdog.1024", "600000000", 0);
  ResetLibrary();
}

// SIGKILL a managed child and time the restart: to MSG_RESTARTED, to the new pid's answer and to
// the new child's announcement, with the child's age at the kill beside each sample. Each kill
// falls on an hpid picked at random, 1.0-1.2 s after its child's start (at once when it is older
// already, as a child of the full table is): a child that ran a second is restarted at once, a
// younger one after a spacing that the crash loop shows.
void MeasureRestarts(const Plan& plan, const std::vector<uint32_t>& hpids, const std::string& name) {
  // The table settles before the first kill: the children have run for a while.
  SleepSeconds(1.2);
  g_announcements->Drain();
  std::mt19937 random(1234);
  std::uniform_real_distribution<double> old(1.0, 1.2);
  std::vector<double> toMessage, toPid, toChild, ages;
  for (int k = 0; k < plan.kills; ++k) {
    uint32_t hpid = hpids[random() % hpids.size()];
    double age = old(random);
    uint32_t oldPid = 0;
    if (KESTRAVO_GetOSPid(hpid, &oldPid) != KESTRAVO_OK) Die("GetOSPid of a managed child failed");
    double startedAt = g_announcements->StartedAt(static_cast<int>(oldPid));
    if (startedAt == 0) Die("a managed child never announced itself");
    SleepSeconds(startedAt + age - Now());
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
    lock.unlock();
    toPid.push_back((pidAt - killedAt) * 1000);
    ages.push_back((killedAt - startedAt) * 1000);
    double childAt = 0;
    int announced = 0;
    while (announced != static_cast<int>(pid)) {
      if (!g_announcements->Next(deadline, &childAt, &announced)) Die("the restarted child did not announce itself");
    }
    toChild.push_back((childAt - killedAt) * 1000);
  }
  bench::WriteSamples(g_out, name + ".message", toMessage);
  bench::WriteSamples(g_out, name + ".pid", toPid);
  bench::WriteSamples(g_out, name + ".child", toChild);
  bench::WriteSamples(g_out, name + ".age", ages);
  auto s = bench::Summarise(toChild);
  Progress("%s: until it runs again median %.2f ms, p99 %.2f ms, max %.2f ms (%zu kills)", name.c_str(), s.median,
           s.p99, s.max, s.count);
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

// Restarts of a child while another child's destroy waits out a long grace (the other ignores its
// stop event; its destroy runs on a thread of its own and the last Uninit ends it): a stop must
// hold up no restart, so the target is the ordinary restart's.
void MeasureRestartDuringGrace(const Plan& plan) {
  std::vector<uint32_t> stubborn, hpids;
  StartChildren(1, &stubborn, "ignore ");
  std::thread destroy([&] { KESTRAVO_DestroyProcess(stubborn[0], 600000); });
  StartChildren(1, &hpids);
  MeasureRestarts(plan, hpids, "restart.lib.grace");
  KESTRAVO_Uninit();
  destroy.join();
  Reinit();
}

// 64 children that ignore their stop event, destroyed with a grace of 1 s from `threads` threads
// that share them out, each destroying its share one after another: from the first call until
// every call has returned 0 and every child has ended (seen through pidfds opened before).
void MeasureParallelDestroys(int threads, int runs) {
  std::vector<double> took;
  for (int run = 0; run < runs; ++run) {
    std::vector<uint32_t> hpids;
    StartChildren(64, &hpids, "ignore ");
    std::vector<int> pidfds;
    for (uint32_t hpid : hpids) {
      uint32_t pid = 0;
      if (KESTRAVO_GetOSPid(hpid, &pid) != KESTRAVO_OK) Die("GetOSPid of a managed child failed");
      pidfds.push_back(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
      if (pidfds.back() < 0) Die("pidfd_open of a managed child failed");
    }
    std::atomic<int> failed{0};
    std::vector<std::thread> workers;
    RandomPhase();
    double start = Now();
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([&, t] {
        for (size_t i = static_cast<size_t>(t); i < hpids.size(); i += static_cast<size_t>(threads))
          if (KESTRAVO_DestroyProcess(hpids[i], 1000) != KESTRAVO_OK) ++failed;
      });
    }
    for (std::thread& worker : workers) worker.join();
    for (int pidfd : pidfds) {
      pollfd ended{pidfd, POLLIN, 0};
      if (poll(&ended, 1, 10000) != 1) Die("a destroyed child still runs 10 s after its destroy returned");
      close(pidfd);
    }
    took.push_back((Now() - start) * 1000);
    if (failed > 0) Die("a destroy did not answer 0");
  }
  const std::string name = "destroy.parallel." + std::to_string(threads);
  bench::WriteSamples(g_out, name, took);
  Progress("%s: 64 children gone after median %.0f ms (%d runs)", name.c_str(), bench::Summarise(took).median, runs);
}

void MeasureSideBySide(const Plan& plan) {
  Progress("library: restarts during another child's grace, destroys side by side");
  MeasureRestartDuringGrace(plan);
  for (int threads : {8, 64}) MeasureParallelDestroys(threads, plan.parallelDestroyRuns);
}

// The last KESTRAVO_Uninit with these children managed, timed around the call (seconds). Each
// child must have ended when it returns: one still running is counted and killed, one ended but
// left unreaped is counted and reaped, so that nothing is carried into the next measurement.
double TimedUninit(const std::string& name, const std::vector<uint32_t>& hpids) {
  std::vector<int> pidfds;
  for (uint32_t hpid : hpids) {
    uint32_t pid = 0;
    if (KESTRAVO_GetOSPid(hpid, &pid) != KESTRAVO_OK) Die("GetOSPid of a managed child failed");
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) Die("pidfd_open of a managed child failed");
    pidfds.push_back(pidfd);
  }
  double start = Now();
  KESTRAVO_Uninit();
  double seconds = Now() - start;
  int running = 0, unreaped = 0;
  for (int pidfd : pidfds) {
    pollfd entry{pidfd, POLLIN, 0};
    bool ran = poll(&entry, 1, 0) == 0;
    if (ran) {
      ++running;
      syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
      poll(&entry, 1, 5000);
    }
    // The children are this process's own: one ended but not yet waited for is still a zombie.
    siginfo_t info{};
    if (waitid(static_cast<idtype_t>(3) /* P_PIDFD */, static_cast<id_t>(pidfd), &info, WEXITED | WNOHANG) == 0 &&
        info.si_pid != 0 && !ran) {
      ++unreaped;
    }
    close(pidfd);
  }
  bench::WriteSamples(g_out, name, {seconds * 1000});
  bench::WriteSamples(g_out, name + ".running", {static_cast<double>(running)});
  bench::WriteSamples(g_out, name + ".unreaped", {static_cast<double>(unreaped)});
  Progress("%s: last KESTRAVO_Uninit took %.3f s; afterwards %d of %zu children still ran, %d unreaped", name.c_str(),
           seconds, running, hpids.size(), unreaped);
  return seconds;
}

// The last KESTRAVO_Uninit of children that never look at their stop event: first a probe of a
// few, and 1024 only when the probe ends within its limit.
void MeasureStubbornUninit() {
  std::vector<uint32_t> hpids;
  StartChildren(kStubbornProbe, &hpids, "ignore ");
  double probe = TimedUninit("uninit.lib.ignore." + std::to_string(kStubbornProbe), hpids);
  Reinit();
  if (probe > kStubbornProbeLimit) {
    char note[200];
    snprintf(note, sizeof note, "not run: the last KESTRAVO_Uninit of %d such children took %.1f s (over %.0f s)",
             kStubbornProbe, probe, kStubbornProbeLimit);
    bench::WriteNote(g_out, "uninit.lib.ignore.1024", note);
    Progress("1024 children that ignore their stop event: %s", note);
    return;
  }
  StartChildren(1024, &hpids, "ignore ");
  TimedUninit("uninit.lib.ignore.1024", hpids);
  Reinit();
}

// One child that exits right after it starts, alone in the table: the gaps between its first
// restarts (MSG_RESTARTED, the first from the create), in order, and the host's CPU meanwhile.
void MeasureCrashLoop(const Plan& plan) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_restartTimes.clear();
  }
  uint32_t hpid = 0;
  double cpu = CpuSeconds(), start = Now();
  if (KESTRAVO_CreateProcess(g_child.c_str(), "crash ", &hpid, 0) != KESTRAVO_OK) Die("KESTRAVO_CreateProcess failed");
  std::vector<double> times;
  {
    std::unique_lock<std::mutex> lock(g_mutex);
    const size_t n = static_cast<size_t>(plan.crashRestarts);
    if (!g_changed.wait_for(lock, std::chrono::seconds(120), [&] { return g_restartTimes.size() >= n; })) {
      Die("the crash loop did not restart often enough within 120 s");
    }
    times.assign(g_restartTimes.begin(), g_restartTimes.begin() + plan.crashRestarts);
  }
  double used = CpuSeconds() - cpu, end = Now();
  KESTRAVO_DestroyProcess(hpid, 0);  // stops it during its next wait
  std::vector<double> gaps;
  for (size_t i = 0; i < times.size(); ++i) gaps.push_back(((i == 0 ? times[0] - start : times[i] - times[i - 1])) * 1000);
  bench::WriteSamples(g_out, "crash.lib.gaps", gaps);
  bench::WriteSamples(g_out, "crash.lib.cpu", {used / (end - start) * 100});
  std::string text;
  for (double gap : gaps) text += (text.empty() ? "" : ", ") + std::to_string(static_cast<int>(gap + 0.5));
  Progress("crash loop: gaps between restarts %s ms; host CPU %.3f %% of one core over %.1f s", text.c_str(),
           used / (end - start) * 100, end - start);
}

StartFloor* g_startFloor;

// The library's own timers of its starts (common/start_phases.h), in a library built with
// KESTRAVO_START_PHASES; null otherwise.
using StartPhasesFn = int32_t (*)(uint64_t*, uint64_t*, uint32_t, int32_t);
StartPhasesFn g_startPhases;
constexpr uint32_t kStartPhases = 10;

// A library start of n children (StartChildren), with the sums of its phases in ms into
// phases.<n>.<phase> once the start's deferred work (state file, guard) is done.
double LibraryStart(int n, std::vector<uint32_t>* hpids) {
  if (g_startPhases != nullptr) g_startPhases(nullptr, nullptr, 0, 1);
  double seconds = StartChildren(n, hpids, "", n > 1 ? ("lib." + std::to_string(n)).c_str() : nullptr);
  if (g_startPhases == nullptr) return seconds;
  SleepSeconds(0.05);  // the state file's last rewrite and the guard's last pass
  uint64_t ns[kStartPhases] = {}, counts[kStartPhases] = {};
  g_startPhases(ns, counts, kStartPhases, 1);
  for (uint32_t i = 0; i < kStartPhases; ++i) {
    bench::WriteSamples(g_out, "phases." + std::to_string(n) + "." + std::to_string(i), {static_cast<double>(ns[i]) * 1e-6});
    bench::WriteSamples(g_out, "phases." + std::to_string(n) + "." + std::to_string(i) + ".count",
                        {static_cast<double>(counts[i])});
  }
  return seconds;
}

void RecordStart(const char* name, const std::vector<double>& seconds) {
  std::vector<double> ms;
  for (double s : seconds) ms.push_back(s * 1000);
  bench::WriteSamples(g_out, name, ms);
  Progress("%s: median %.1f ms over %zu runs", name, bench::Summarise(ms).median, ms.size());
}

// One round of the three start rows for n children, the library's followed by afterLib. Odd
// rounds of many children run them in reverse, so that no row always comes right after the same
// row's teardown, which the kernel finishes in the background (children reaped, cgroups
// removed). A single child's teardown is too small to matter; its library row stays last, away
// from the library's restart.
void StartRound(int n, int round, std::vector<double>* raw, std::vector<double>* floor, std::vector<double>* lib,
                std::vector<uint32_t>* hpids, const std::function<void()>& afterLib) {
  const bool reverse = n > 1 && round % 2 == 1;
  if (reverse) {
    lib->push_back(LibraryStart(n, hpids));
    afterLib();
  }
  raw->push_back(RawStart(n));
  floor->push_back(g_startFloor->Run(n));
  if (!reverse) {
    lib->push_back(LibraryStart(n, hpids));
    afterLib();
  }
}

// The start rows alone.
void MeasureStarts(const Plan& plan) {
  std::vector<uint32_t> hpids;
  for (int n : {1024, 64, 1}) {
    std::vector<double> seconds, raw, floor;
    for (int i = 0; i < (n == 1 ? plan.startReps1 : n == 64 ? plan.startReps64 : plan.startReps1024); ++i) {
      StartRound(n, i, &raw, &floor, &seconds, &hpids, ResetLibrary);
    }
    const std::string suffix = std::to_string(n);
    RecordStart(("start.lib." + suffix).c_str(), seconds);
    RecordStart(("start.raw." + suffix).c_str(), raw);
    RecordStart(("start.floor." + suffix).c_str(), floor);
  }
}

}  // namespace

// An interrupt still ends every child: the library's through KESTRAVO_Uninit, the raw loop's by
// their pidfds. Signals are taken by this thread alone (the library's threads block them).
void WatchInterrupts(sigset_t set) {
  std::thread([set] {
    int signal = 0;
    sigwait(&set, &signal);
    bench::SignalRaw();
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
    fprintf(stderr, "usage: kestravo-bench-library OUTDIR CHILD [quick|start|floor|stops|watchdog|profile]\n");
    return 2;
  }
  g_out = argv[1];
  g_child = argv[2];
  Plan plan;
  const bool startOnly = argc > 3 && strcmp(argv[3], "start") == 0;
  const bool floorOnly = argc > 3 && strcmp(argv[3], "floor") == 0;
  const bool stopsOnly = argc > 3 && strcmp(argv[3], "stops") == 0;
  const bool watchdogOnly = argc > 3 && strcmp(argv[3], "watchdog") == 0;
  const bool profileOnly = argc > 3 && strcmp(argv[3], "profile") == 0;
  if (argc > 3 && strcmp(argv[3], "quick") == 0) {
    // A check that everything runs, not figures.
    plan.startReps1 = 3;
    plan.startReps64 = 2;
    plan.startReps1024 = 1;
    plan.idleWindows = 1;
    plan.idleSeconds = 2;
    plan.kills = 10;
    plan.stops = 20;
    plan.crashRestarts = 5;
    plan.floorKills = 3;
    plan.parallelDestroyRuns = 1;
  }
  if (chdir(g_out.c_str()) != 0) Die("cannot enter OUTDIR");
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;  // a few descriptors per child
  setrlimit(RLIMIT_NOFILE, &files);
  // The library's default level (warnings and errors), into a file rather than the terminal.
  std::ofstream("log4cxx.properties") << "log4j.logger.KESTRAVO=WARN, bench\n"
                                         "log4j.additivity.KESTRAVO=false\n"
                                         "log4j.appender.bench=org.apache.log4j.FileAppender\n"
                                         "log4j.appender.bench.File=kestravo.log\n"
                                         "log4j.appender.bench.layout=org.apache.log4j.PatternLayout\n"
                                         "log4j.appender.bench.layout.ConversionPattern=%d %-5p %m%n\n";
  unlink(StateFilePath().c_str());
  Announcements announcements;
  if (!announcements.Open(g_out + "/announce.fifo")) Die("cannot make the announcements' FIFO");
  g_announcements = &announcements;
  StartFloor startFloor;
  g_startFloor = &startFloor;
  bench::WriteNote(g_out, "start.floor", startFloor.Variant());
  Progress("start floor: %s", startFloor.Variant().c_str());
  g_startPhases = reinterpret_cast<StartPhasesFn>(dlsym(RTLD_DEFAULT, "KESTRAVO_BenchStartPhases"));
  if (g_startPhases == nullptr) Progress("the library has no start timers (built without KESTRAVO_START_PHASES)");
  InitLibrary();
  if (profileOnly) {
    // One library start of 1024 and nothing else, for perf or strace to look at.
    std::vector<uint32_t> hpids;
    RecordStart("start.lib.1024", {LibraryStart(1024, &hpids)});
    KESTRAVO_Uninit();
    unlink(StateFilePath().c_str());
    return 0;
  }
  if (startOnly || floorOnly || stopsOnly || watchdogOnly) {
    if (startOnly) MeasureStarts(plan);
    if (watchdogOnly) MeasureWatchdogs(plan);
    if (floorOnly) MeasureRestartFloors(plan.floorKills);
    if (stopsOnly) MeasureSideBySide(plan);
    KESTRAVO_Uninit();
    unlink(StateFilePath().c_str());
    return 0;
  }

  Progress("library: idle with no child");
  MeasureIdle(plan, "idle.lib.0");

  // Each start of the library is paired with a raw one and a floor one, so that all see the same
  // load on the machine.
  std::vector<uint32_t> hpids;
  std::vector<double> seconds, raw;
  std::vector<double> floor;
  Progress("library, raw loop and start floor: 1024 children");
  raw.push_back(RawStart(1024));
  floor.push_back(g_startFloor->Run(1024));
  long rss0 = StatusKb("VmRSS"), anon0 = StatusKb("RssAnon"), shmem0 = StatusKb("RssShmem");
  seconds.push_back(LibraryStart(1024, &hpids));
  SleepSeconds(0.5);  // the full table settles before its memory is read
  long rss1 = StatusKb("VmRSS"), anon1 = StatusKb("RssAnon"), shmem1 = StatusKb("RssShmem");
  bench::WriteSamples(g_out, "memory.lib", {(rss1 - rss0) * 1024.0 / 1024});
  char note[160];
  snprintf(note, sizeof note, "heap %.0f B, shared memory %.0f B", (anon1 - anon0) * 1024.0 / 1024,
           (shmem1 - shmem0) * 1024.0 / 1024);
  bench::WriteNote(g_out, "memory.lib", note);
  Progress("memory: %.0f bytes per child (%s)", (rss1 - rss0) * 1024.0 / 1024, note);
  MeasureIdle(plan, "idle.lib.1024");
  MeasureRestarts(plan, hpids, "restart.lib.1024");
  TimedUninit("uninit.lib.honour.1024", hpids);
  Reinit();
  for (int i = 1; i < plan.startReps1024; ++i) {
    StartRound(1024, i, &raw, &floor, &seconds, &hpids, [&] {
      TimedUninit("uninit.lib.honour.1024", hpids);
      Reinit();
    });
  }
  RecordStart("start.lib.1024", seconds);
  RecordStart("start.raw.1024", raw);
  RecordStart("start.floor.1024", floor);
  MeasureWatchdogs(plan);

  Progress("library, raw loop and start floor: 64 children");
  seconds.clear();
  raw.clear();
  floor.clear();
  // Each round's children stay until the next round begins: the last round's are measured idle.
  for (int i = 0; i < plan.startReps64; ++i) {
    if (i > 0) ResetLibrary();
    StartRound(64, i, &raw, &floor, &seconds, &hpids, [] {});
  }
  RecordStart("start.lib.64", seconds);
  RecordStart("start.raw.64", raw);
  RecordStart("start.floor.64", floor);
  MeasureIdle(plan, "idle.lib.64");
  ResetLibrary();

  Progress("library, raw loop and start floor: one child");
  seconds.clear();
  raw.clear();
  floor.clear();
  // The last round's child is the one the restarts then kill.
  for (int i = 0; i < plan.startReps1; ++i) {
    if (i > 0) ResetLibrary();
    StartRound(1, i, &raw, &floor, &seconds, &hpids, [] {});
  }
  RecordStart("start.lib.1", seconds);
  RecordStart("start.raw.1", raw);
  RecordStart("start.floor.1", floor);
  MeasureRestarts(plan, hpids, "restart.lib.1");
  if (KESTRAVO_DestroyProcess(hpids[0], 0) != KESTRAVO_OK) Die("KESTRAVO_DestroyProcess failed");
  MeasureStops(plan);
  MeasureSideBySide(plan);

  Progress("library: a crash-looping child");
  MeasureCrashLoop(plan);
  ResetLibrary();

  Progress("library: the last KESTRAVO_Uninit of children that ignore their stop event");
  MeasureStubbornUninit();
  KESTRAVO_Uninit();
  MeasureRestartFloors(plan.floorKills);
  unlink(StateFilePath().c_str());
  return 0;
}
