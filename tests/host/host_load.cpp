#include "host_load.h"

#include <fcntl.h>
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
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "hex_arg.h"

namespace host_load {
namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kMaxHpids = 1024;

std::atomic<uint64_t> g_messages[5];
// The latest exits reported, newest last: the load aims at them as a host answering the message
// would, while the relaunch is under way.
std::mutex g_exitedMutex;
std::deque<uint32_t> g_exited;  // guarded by g_exitedMutex

int32_t CountMessage(uint32_t hpid, uint32_t type, void*, void*) {
  if (type < 5) ++g_messages[type];
  std::lock_guard<std::mutex> lock(g_exitedMutex);
  if (type == MSG_EXITED) g_exited.push_back(hpid);
  if (g_exited.size() > 16) g_exited.pop_front();
  return 0;
}

std::string Unhex(const std::string& word) {
  std::string out;
  hex_arg::Decode(word, &out);
  return out;
}

std::string Join(const std::vector<uint32_t>& values) {
  std::string out;
  for (uint32_t v : values) out += (out.empty() ? "" : ",") + std::to_string(v);
  return out.empty() ? "-" : out;
}

// What the threads saw; guarded by mutex.
struct Stats {
  std::mutex mutex;
  std::map<std::string, uint64_t> results;  // "kind_result" -> calls
  std::vector<uint32_t> limbo;
  uint64_t sigkills = 0, unexpected = 0;
  std::string first;
  uint32_t taken = 0;  // hpids handed out and not stopped
  std::vector<uint32_t> known;

  void Add(const std::string& kind, int result, bool allowed) {
    std::lock_guard<std::mutex> lock(mutex);
    ++results[kind + "_" + std::to_string(result)];
    if (!allowed && unexpected++ == 0) first = kind + "_" + std::to_string(result);
  }
};

// SIGKILL for pid only while it is a running child of this host: a pid read from the library
// may have ended and been reaped since, and belong to anyone.
bool KillOwnChild(pid_t pid) {
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) return false;
  std::ostringstream path;
  path << "/proc/" << pid << "/stat";
  std::string stat;
  std::getline(std::ifstream(path.str()), stat);
  char state = 0;
  int parent = 0;
  size_t close = stat.rfind(')');
  bool ours = close != std::string::npos && sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) == 2 &&
              parent == getpid() && state != 'Z';
  pollfd ended{pidfd, POLLIN, 0};
  bool sent = ours && poll(&ended, 1, 0) == 0 && syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0) == 0;
  ::close(pidfd);
  return sent;
}

void LoadThread(unsigned seed, Clock::time_point end, const std::string& helper, const std::string& dir,
                uint32_t maxChildren, Stats* stats) {
  std::mt19937 random(seed);
  auto roll = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
  // Every command line names the directory, where the test's clean-up looks for them.
  const std::string stop = "stop - " + dir + " ", ignore = "ignore - " + dir + " ";
  while (Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(roll(5)));
    int kind = roll(100);
    uint32_t hpid = 0;
    {
      std::lock_guard<std::mutex> lock(stats->mutex);
      size_t i = roll(static_cast<int>(stats->known.size()) + 5);
      hpid = i < stats->known.size() ? stats->known[i] : static_cast<uint32_t>(i);  // now and then a free one
      if (kind < 12 && stats->taken >= maxChildren) kind = 50;
      if (kind < 12) ++stats->taken;
    }
    if (kind >= 12 && kind < 28 && roll(2) == 0) {
      std::lock_guard<std::mutex> lock(g_exitedMutex);
      if (!g_exited.empty()) {
        hpid = g_exited.back();
        g_exited.pop_back();
      }
    }
    if (kind < 12) {
      uint32_t created = 0xFFFFFFFFu;
      int32_t ret = KESTRAVO_CreateProcess(helper.c_str(), (roll(40) ? stop : ignore).c_str(), &created, 7);
      stats->Add("create", ret, ret == 0 || ret == 4);
      std::lock_guard<std::mutex> lock(stats->mutex);
      if (ret == 0 && std::find(stats->known.begin(), stats->known.end(), created) == stats->known.end())
        stats->known.push_back(created);
      if (ret != 0) --stats->taken;
    } else if (kind < 24) {
      // Few destroys: one that meets a queued relaunch holds every caller off for 5 s.
      bool destroy = kind < 15;
      int32_t ret = destroy ? KESTRAVO_DestroyProcess(hpid, 0) : KESTRAVO_KillProcess(hpid);
      stats->Add(destroy ? "destroy" : "kill", ret, ret == 0 || ret == 1 || ret == 3);
      std::lock_guard<std::mutex> lock(stats->mutex);
      if (ret == 0 || ret == 3) --stats->taken;  // only the thread that got 0 or 3 released it
      if (ret == 3) stats->limbo.push_back(hpid);
    } else if (kind < 28) {
      int32_t ret = KESTRAVO_RestartProcess(hpid);
      stats->Add("restart", ret, ret == 0 || ret == 1);
    } else if (kind < 94) {
      uint32_t pid = 0, found = 0xFFFFFFFFu;
      int32_t ret = KESTRAVO_GetOSPid(hpid, &pid);
      stats->Add("getpid", ret, (ret == 0 && pid != 0) || ret == 1);
      // The host itself is never managed.
      uint32_t asked = roll(8) == 0 ? static_cast<uint32_t>(getpid()) : pid;
      bool managed = KESTRAVO_IsManaged(asked, &found);
      stats->Add("ismanaged", managed, !managed || (asked != static_cast<uint32_t>(getpid()) && found < kMaxHpids));
    } else {
      uint32_t pid = 0;
      if (KESTRAVO_GetOSPid(hpid, &pid) == 0 && KillOwnChild(static_cast<pid_t>(pid))) {
        std::lock_guard<std::mutex> lock(stats->mutex);
        ++stats->sigkills;
      }
    }
  }
}

std::string Chaos(std::istringstream& args) {
  unsigned seconds = 0, threads = 0, maxChildren = 0, seed = 0;
  std::string helperHex;
  args >> seconds >> threads >> maxChildren >> seed >> helperHex;
  char cwd[4096];
  if (!args || threads == 0 || !getcwd(cwd, sizeof cwd)) return "error usage: chaos SECONDS THREADS MAXCHILDREN SEED HELPER";
  KESTRAVO_SetMsgCallBack(CountMessage, nullptr);
  Stats stats;
  std::vector<std::thread> workers;
  auto end = Clock::now() + std::chrono::seconds(seconds);
  for (unsigned i = 0; i < threads; ++i)
    workers.emplace_back(LoadThread, seed * 131 + i, end, Unhex(helperHex), std::string(cwd), maxChildren, &stats);
  for (std::thread& worker : workers) worker.join();
  std::sort(stats.limbo.begin(), stats.limbo.end());
  std::ostringstream out;
  out << "ret 0";
  for (const auto& r : stats.results) out << ' ' << r.first << '=' << r.second;
  for (uint32_t type = 1; type <= 3; ++type) out << " msg" << type << '=' << g_messages[type];
  out << " sigkills=" << stats.sigkills << " limbo=" << Join(stats.limbo) << " unexpected=" << stats.unexpected;
  if (stats.unexpected) out << " first=" << stats.first;
  return out.str();
}

std::string Census() {
  std::string table;
  for (uint32_t hpid = 0; hpid < kMaxHpids; ++hpid) {
    uint32_t pid = 0;
    if (KESTRAVO_GetOSPid(hpid, &pid) == 0) table += (table.empty() ? "" : ",") + std::to_string(hpid) + ":" + std::to_string(pid);
  }
  return "ret 0 table=" + (table.empty() ? std::string("-") : table);
}

std::string Exhaust(const std::string& exe) {
  // Every pending create holds its stop event's descriptor.
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 8 * kMaxHpids);
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  std::vector<uint32_t> handedOut;
  for (uint32_t i = 0, hpid = 0; i <= kMaxHpids; ++i) {
    int32_t ret = KESTRAVO_CreateProcess(exe.c_str(), "", &hpid, 0);
    if (ret == 4) break;
    if (ret != 0) return "ret " + std::to_string(ret);
    handedOut.push_back(hpid);
  }
  std::sort(handedOut.begin(), handedOut.end());
  return "ret 0 free=" + Join(handedOut);
}

std::string HogFds(const std::string& arg) {
  static std::vector<int> held;
  if (arg == "release") {
    for (int fd : held) close(fd);
    held.clear();
    return "ret 0";
  }
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held.push_back(fd);
  for (size_t n = std::stoul(arg); n > 0 && !held.empty(); --n) {
    close(held.back());
    held.pop_back();
  }
  return "ret 0";
}

[[noreturn]] void Loop(const std::string& exe, const std::string& cmd, size_t keep) {
  std::cout << "ret 0" << std::endl;
  std::deque<uint32_t> live;
  for (unsigned long n = 0;; ++n) {
    uint32_t hpid = 0, pid = 0;
    std::string line = cmd + std::to_string(n) + " ";
    if (KESTRAVO_CreateProcess(exe.c_str(), line.c_str(), &hpid, 0) == 0) live.push_back(hpid);
    if (live.size() <= keep) continue;
    // Only a started child is in the table and can be destroyed.
    while (KESTRAVO_GetOSPid(live.front(), &pid) != 0) usleep(1000);
    KESTRAVO_DestroyProcess(live.front(), 0);
    live.pop_front();
  }
}

}  // namespace

bool IsLoadCommand(const std::string& verb) {
  return verb == "chaos" || verb == "census" || verb == "exhaust" || verb == "hogfds" || verb == "loop";
}

std::string RunLoadCommand(const std::string& line) {
  std::istringstream args(line);
  std::string verb, a, b;
  size_t keep = 0;
  args >> verb;
  if (verb == "chaos") return Chaos(args);
  if (verb == "census") return Census();
  args >> a >> b >> keep;
  if (verb == "exhaust") return Exhaust(Unhex(a));
  if (verb == "hogfds") return HogFds(a);
  if (verb == "loop") Loop(Unhex(a), Unhex(b), keep);
  return "error unknown command";
}

}  // namespace host_load
