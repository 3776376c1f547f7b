#include "host_load.h"

#include <dirent.h>
#include <kestravo.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "hex_arg.h"

namespace host_load {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kMaxHpids = 1024;
constexpr uint32_t kFlakyMaxMs = 2000;

std::atomic<uint64_t> g_messages[5];
// The hpids of the latest MSG_EXITED messages, newest last: the load threads aim at them now and
// then, as a host that answers the message would, while the relaunch is under way.
std::mutex g_exitedMutex;
std::deque<uint32_t> g_exited;  // guarded by g_exitedMutex

int32_t CountMessage(uint32_t hpid, uint32_t type, void*, void*) {
  if (type < 5) ++g_messages[type];
  if (type == MSG_EXITED) {
    std::lock_guard<std::mutex> lock(g_exitedMutex);
    g_exited.push_back(hpid);
    if (g_exited.size() > 16) g_exited.pop_front();
  }
  return 0;
}

// The hpid of the latest exit not aimed at yet, if there is one.
bool TakeExited(uint32_t* hpid) {
  std::lock_guard<std::mutex> lock(g_exitedMutex);
  if (g_exited.empty()) return false;
  *hpid = g_exited.back();
  g_exited.pop_back();
  return true;
}

std::string Unhex(const std::string& word) {
  std::string out;
  hex_arg::Decode(word, &out);
  return out;
}

std::string Join(const std::vector<uint32_t>& values) {
  if (values.empty()) return "-";
  std::string out;
  for (uint32_t v : values) out += (out.empty() ? "" : ",") + std::to_string(v);
  return out;
}

// What one kind of call did: how often, with which results, and the slowest one.
struct CallStats {
  uint64_t calls = 0;
  std::map<int, uint64_t> results;
  double maxMs = 0;

  void Add(int result, double ms) {
    ++calls;
    ++results[result];
    maxMs = std::max(maxMs, ms);
  }
  void Merge(const CallStats& other) {
    calls += other.calls;
    for (const auto& r : other.results) results[r.first] += r.second;
    maxMs = std::max(maxMs, other.maxMs);
  }
};

const char* const kKinds[] = {"create", "destroy", "kill", "restart", "getpid", "ismanaged"};
enum Kind { CREATE, DESTROY, KILL, RESTART, GETPID, ISMANAGED, KINDS };

struct ThreadStats {
  CallStats calls[KINDS];
  uint64_t sigkills = 0;
  std::vector<uint32_t> limbo;
  uint64_t unexpected = 0;
  std::string first;

  void Unexpected(const std::string& what) {
    if (unexpected++ == 0) first = what;
  }
};

// The hpids handed out so far, and how many are taken now; shared by the load threads.
class Hpids {
 public:
  explicit Hpids(uint32_t max) : max_(max) {}

  bool Reserve() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (taken_ >= max_) return false;
    ++taken_;
    return true;
  }
  void Unreserve() {
    std::lock_guard<std::mutex> lock(mutex_);
    --taken_;
  }
  void Created(uint32_t hpid) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (known_.insert(hpid).second) list_.push_back(hpid);
  }
  // Mostly one of the hpids handed out so far; now and then a plain number, which may be free.
  uint32_t Pick(std::mt19937& random) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uniform_int_distribution<size_t> any(0, list_.size() + 4);
    size_t i = any(random);
    return i < list_.size() ? list_[i] : static_cast<uint32_t>(i);
  }

 private:
  std::mutex mutex_;
  const uint32_t max_;
  uint32_t taken_ = 0;        // guarded by mutex_
  std::set<uint32_t> known_;  // guarded by mutex_
  std::vector<uint32_t> list_;  // the same hpids, to pick from; guarded by mutex_
};

// SIGKILL for pid only if it is a running child of this host; a pid read from the library may
// belong to a process that has ended and been reaped since, and then to anyone.
bool KillOwnChild(pid_t pid) {
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) return false;
  bool ours = false;
  if (FILE* stat = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "re")) {
    char buffer[512];
    size_t n = fread(buffer, 1, sizeof buffer - 1, stat);
    fclose(stat);
    std::string text(buffer, n);
    size_t close = text.rfind(')');
    char state = 0;
    int parent = 0;
    if (close != std::string::npos &&
        sscanf(text.c_str() + close + 1, " %c %d", &state, &parent) == 2) {
      ours = parent == getpid() && state != 'Z';
    }
  }
  // Still running after the look at /proc: the pid was not reused in between.
  pollfd ended{pidfd, POLLIN, 0};
  bool sent = ours && poll(&ended, 1, 0) == 0 &&
              syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0) == 0;
  close(pidfd);
  return sent;
}

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void Create(const std::string& helper, const std::string& cmd, Hpids* hpids, ThreadStats* stats) {
  if (!hpids->Reserve()) return;
  auto start = Clock::now();
  uint32_t created = 0xFFFFFFFFu;
  int32_t ret = KESTRAVO_CreateProcess(helper.c_str(), cmd.c_str(), &created, 7);
  stats->calls[CREATE].Add(ret, MsSince(start));
  if (ret == 0 && created < kMaxHpids) {
    hpids->Created(created);
  } else {
    hpids->Unreserve();
    if (ret != 4) stats->Unexpected("create_" + std::to_string(ret));
  }
}

void Stop(bool destroy, uint32_t hpid, Hpids* hpids, ThreadStats* stats) {
  auto start = Clock::now();
  int32_t ret = destroy ? KESTRAVO_DestroyProcess(hpid, 0) : KESTRAVO_KillProcess(hpid);
  stats->calls[destroy ? DESTROY : KILL].Add(ret, MsSince(start));
  // Of several threads that stop one hpid, only the one that got 0 or 3 released it.
  if (ret == 0 || ret == 3) hpids->Unreserve();
  if (ret == 3) stats->limbo.push_back(hpid);
  if (ret != 0 && ret != 1 && ret != 3)
    stats->Unexpected(std::string(destroy ? "destroy_" : "kill_") + std::to_string(ret));
}

void Restart(uint32_t hpid, ThreadStats* stats) {
  auto start = Clock::now();
  int32_t ret = KESTRAVO_RestartProcess(hpid);
  stats->calls[RESTART].Add(ret, MsSince(start));
  if (ret != 0 && ret != 1) stats->Unexpected("restart_" + std::to_string(ret));
}

// GetOSPid, then, for the second argument true, IsManaged on the pid found or on the host's own.
void Lookup(uint32_t hpid, bool thenIsManaged, std::mt19937& random, ThreadStats* stats) {
  auto start = Clock::now();
  uint32_t pid = 0;
  int32_t ret = KESTRAVO_GetOSPid(hpid, &pid);
  stats->calls[GETPID].Add(ret, MsSince(start));
  if (ret == 0 && pid == 0) stats->Unexpected("getpid_pid_0");
  if (ret != 0 && ret != 1) stats->Unexpected("getpid_" + std::to_string(ret));
  if (!thenIsManaged) return;
  // The host itself is never managed.
  bool self = std::uniform_int_distribution<int>(0, 7)(random) == 0;
  uint32_t asked = self ? static_cast<uint32_t>(getpid()) : pid;
  uint32_t found = 0xFFFFFFFFu;
  start = Clock::now();
  bool managed = KESTRAVO_IsManaged(asked, &found);
  stats->calls[ISMANAGED].Add(managed, MsSince(start));
  if (managed && (self || found >= kMaxHpids)) stats->Unexpected("ismanaged_" + std::to_string(asked));
}

void LoadThread(unsigned seed, Clock::time_point end, const std::string& helper,
                const std::string& dir, Hpids* hpids, ThreadStats* stats) {
  std::mt19937 random(seed);
  auto chance = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random) == 0; };
  std::uniform_int_distribution<int> kinds(0, 99);
  std::uniform_int_distribution<int> pause(0, 4);
  // Every command line names the directory, where the test's clean-up looks for them.
  const std::string flaky = "flaky - " + std::to_string(kFlakyMaxMs) + " " + dir + "/calm " + dir +
                            "/crashes ";
  const std::string ignore = "ignore - " + dir + " ";
  const std::string stop = "stop - " + dir + " ";
  while (Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
    int roll = kinds(random);
    uint32_t hpid = hpids->Pick(random);
    if (roll < 12) {
      // A quarter crash at random moments; a few do not listen to the stop event.
      Create(helper, chance(4) ? flaky : chance(40) ? ignore : stop, hpids, stats);
    } else if (roll < 28 && chance(2) && TakeExited(&hpid)) {
      // Right after its exit was reported, while its relaunch is under way.
      if (roll % 2 == 0) {
        Restart(hpid, stats);
      } else {
        Stop(false, hpid, hpids, stats);
      }
    } else if (roll < 24) {
      // Few destroys: one that meets a queued relaunch holds every caller off for 5 s.
      Stop(roll < 15, hpid, hpids, stats);
    } else if (roll < 28) {
      Restart(hpid, stats);
    } else if (roll < 97) {
      Lookup(hpid, roll >= 64, random, stats);
    } else {
      uint32_t pid = 0;
      if (KESTRAVO_GetOSPid(hpid, &pid) == 0 && KillOwnChild(static_cast<pid_t>(pid)))
        ++stats->sigkills;
    }
  }
}

size_t LinesOf(const std::string& path) {
  size_t lines = 0;
  if (FILE* in = fopen(path.c_str(), "re")) {
    for (int c; (c = fgetc(in)) != EOF;) lines += c == '\n';
    fclose(in);
  }
  return lines;
}

std::string Chaos(std::istringstream& args) {
  unsigned seconds = 0, threads = 0, maxChildren = 0, seed = 0;
  std::string helperHex;
  args >> seconds >> threads >> maxChildren >> seed >> helperHex;
  if (!args || threads == 0) return "error usage: chaos SECONDS THREADS MAXCHILDREN SEED HELPER";
  char cwd[4096];
  if (!getcwd(cwd, sizeof cwd)) return "error getcwd";
  for (auto& count : g_messages) count = 0;
  {
    std::lock_guard<std::mutex> lock(g_exitedMutex);
    g_exited.clear();
  }
  KESTRAVO_SetMsgCallBack(CountMessage, nullptr);

  Hpids hpids(maxChildren);
  std::vector<ThreadStats> stats(threads);
  std::vector<std::thread> workers;
  auto start = Clock::now();
  auto end = start + std::chrono::seconds(seconds);
  for (unsigned i = 0; i < threads; ++i)
    workers.emplace_back(LoadThread, seed * 131 + i, end, Unhex(helperHex), std::string(cwd),
                         &hpids, &stats[i]);
  for (std::thread& worker : workers) worker.join();
  double elapsed = MsSince(start);

  ThreadStats all;
  for (ThreadStats& one : stats) {
    for (int k = 0; k < KINDS; ++k) all.calls[k].Merge(one.calls[k]);
    all.sigkills += one.sigkills;
    all.limbo.insert(all.limbo.end(), one.limbo.begin(), one.limbo.end());
    if (all.unexpected == 0) all.first = one.first;
    all.unexpected += one.unexpected;
  }
  std::sort(all.limbo.begin(), all.limbo.end());
  std::ostringstream out;
  out << "ret 0 elapsed_ms=" << static_cast<long long>(elapsed);
  for (int k = 0; k < KINDS; ++k) {
    out << ' ' << kKinds[k] << '=' << all.calls[k].calls;
    for (const auto& r : all.calls[k].results) out << ' ' << kKinds[k] << '_' << r.first << '=' << r.second;
    out << ' ' << kKinds[k] << "_max_ms=" << static_cast<long long>(all.calls[k].maxMs);
  }
  // The messages before the aborts: every exit reported so far has logged its abort by then.
  for (uint32_t type = 1; type <= 3; ++type) out << " msg" << type << '=' << g_messages[type];
  out << " sigkills=" << all.sigkills << " aborts=" << LinesOf(std::string(cwd) + "/crashes");
  out << " limbo=" << Join(all.limbo) << " unexpected=" << all.unexpected;
  if (all.unexpected) out << " first=" << all.first;
  return out.str();
}

std::string Fds() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
    --count;  // the directory's own
  }
  return "ret 0 fds=" + std::to_string(count);
}

std::string Census() {
  std::string table;
  for (uint32_t hpid = 0; hpid < kMaxHpids; ++hpid) {
    uint32_t pid = 0;
    if (KESTRAVO_GetOSPid(hpid, &pid) == 0)
      table += (table.empty() ? "" : ",") + std::to_string(hpid) + ":" + std::to_string(pid);
  }
  return "ret 0 table=" + (table.empty() ? std::string("-") : table);
}

std::string Exhaust(std::istringstream& args) {
  std::string exeHex;
  args >> exeHex;
  std::string exe = Unhex(exeHex);
  // Every pending create holds its stop event's descriptor.
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 8 * kMaxHpids);
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  std::vector<uint32_t> handedOut;
  for (uint32_t i = 0; i <= kMaxHpids; ++i) {
    uint32_t hpid = 0xFFFFFFFFu;
    int32_t ret = KESTRAVO_CreateProcess(exe.c_str(), "", &hpid, 0);
    if (ret == 4) break;
    if (ret != 0) return "ret " + std::to_string(ret) + " free=" + Join(handedOut);
    handedOut.push_back(hpid);
  }
  std::sort(handedOut.begin(), handedOut.end());
  return "ret 0 free=" + Join(handedOut);
}

}  // namespace

bool IsLoadCommand(const std::string& verb) {
  return verb == "chaos" || verb == "fds" || verb == "census" || verb == "exhaust";
}

std::string RunLoadCommand(const std::string& line) {
  std::istringstream args(line);
  std::string verb;
  args >> verb;
  if (verb == "chaos") return Chaos(args);
  if (verb == "fds") return Fds();
  if (verb == "census") return Census();
  if (verb == "exhaust") return Exhaust(args);
  return "error unknown command";
}

}  // namespace host_load
