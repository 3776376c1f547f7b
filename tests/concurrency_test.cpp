// Many host threads call the library at random while children are killed at random moments. Once
// the calls are over, the library must hold exactly what it says it holds: each hpid is in the
// table or free, the host runs exactly the children of the table and has no zombies, kestravo.xml
// lists them, and its descriptors and our named events are gone once all is stopped.
#include <gtest/gtest.h>
#include <kestravo.h>

#include <sys/resource.h>
#include <poll.h>
#include <sys/syscall.h>

#include <atomic>
#include <deque>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "host_harness.h"

namespace kestravo::test {
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

// What the threads saw; guarded by mutex.
struct Stats {
  std::mutex mutex;
  std::map<std::string, uint64_t> results;  // "kind_result" -> calls
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
  const std::string stat = FileText("/proc/" + std::to_string(pid) + "/stat");
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

// Every hpid that KESTRAVO_GetOSPid knows, with its pid.
std::map<uint32_t, pid_t> Census() {
  std::map<uint32_t, pid_t> table;
  for (uint32_t hpid = 0; hpid < kMaxHpids; ++hpid) {
    uint32_t pid = 0;
    if (KESTRAVO_GetOSPid(hpid, &pid) == 0) table[hpid] = static_cast<pid_t>(pid);
  }
  return table;
}

// The identity in a running process's command line: "pid=H;guid=G", or "".
std::string IdentityOf(pid_t pid) {
  std::string cmdline = FileText("/proc/" + std::to_string(pid) + "/cmdline");
  size_t at = cmdline.find("kestravCmdLine:;");
  return at == std::string::npos ? "" : std::string(cmdline.c_str() + at + 16);
}

using Concurrency = HostTest;

TEST_F(Concurrency, RandomCallsFromEightThreadsLeaveNothingBehind) {
  // Descriptors counted after one whole init and uninit, once the log is open.
  ASSERT_EQ(KESTRAVO_Init(), 0);
  ASSERT_EQ(KESTRAVO_Uninit(), 0);
  auto fds = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
  auto fdsBefore = fds();
  ASSERT_EQ(KESTRAVO_SetMsgCallBack(CountMessage, nullptr), 0);
  ASSERT_EQ(KESTRAVO_Init(), 0);

  unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  // Every call ends within its bounded waits; a deadlock shows as the test's time-out.
  Stats stats;
  std::vector<std::thread> workers;
  for (unsigned i = 0; i < 8; ++i)
    workers.emplace_back(LoadThread, seed * 131 + i, Clock::now() + std::chrono::seconds(6), HelperChild(), dir.Path(), 64, &stats);
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(stats.unexpected, 0u) << stats.first;
  // Each exit reported is one that was caused: a stale report would restart a running child.
  EXPECT_LE(g_messages[MSG_EXITED], stats.sigkills);
  for (const char* done : {"create_0", "destroy_0", "kill_0", "restart_0", "getpid_0", "ismanaged_1"})
    EXPECT_GT(stats.results[done], 0u) << done << " never happened";
  EXPECT_GT(g_messages[MSG_EXITED] * g_messages[MSG_RESTARTED], 0u);

  // Settled: for 1.5 s on end, each record's child runs under its identity, the host runs no
  // other child and has no zombie, and kestravo.xml gives each record its pid.
  std::map<uint32_t, pid_t> table, last;
  std::string why;
  auto since = Clock::now();
  bool settled = WaitFor([&] {
    table = Census();
    std::map<uint32_t, pid_t> recorded;
    for (const StateEntry& entry : dir.State()) recorded[entry.hpid] = entry.pid;
    why = ZombieChildren().empty() ? "" : "zombies";
    std::set<pid_t> pids;
    for (const auto& [hpid, pid] : table) {
      pids.insert(pid);
      if (IdentityOf(pid).rfind("pid=" + std::to_string(hpid) + ";", 0) != 0) why = "hpid " + std::to_string(hpid) + " runs no child of its own";
      if (recorded.count(hpid) == 0 || recorded[hpid] != pid) why = "hpid " + std::to_string(hpid) + " not in kestravo.xml with its pid";
    }
    for (pid_t child : LiveChildrenOf(getpid()))
      if (pids.count(child) == 0) why = "child " + std::to_string(child) + " (" + IdentityOf(child) + ") not in the table";
    if (!why.empty() || table != last) since = Clock::now();
    last = table;
    return why.empty() && Clock::now() - since >= std::chrono::milliseconds(1500);
  }, std::chrono::seconds(60));
  ASSERT_TRUE(settled) << why << "\n" << dir.StateText();

  // Each record once in kestravo.xml, with its child's guid. Any other entry is that of a child
  // whose stop was dropped together with its queued relaunch (logged with its command line): a
  // stop is recorded only when the launcher carries it out, and such an entry keeps its guid when
  // its hpid is handed out again.
  std::string log = dir.Log();
  std::set<uint32_t> hpids;
  for (const StateEntry& entry : dir.State()) {
    EXPECT_TRUE(hpids.insert(entry.hpid).second) << "hpid " << entry.hpid << " twice";
    bool withdrawn = LinesWith(log, {"[cmd=" + entry.cmdline + "]this task has not been accomplished till die"}) > 0 ||
                     LinesWith(log, {";pid=" + std::to_string(entry.hpid) + ";", "accomplished till die"}) > 0;
    if (table.count(entry.hpid) == 0 || IdentityOf(table[entry.hpid]).find(entry.guid) == std::string::npos) {
      EXPECT_TRUE(withdrawn) << "entry of no record: " << entry.cmdline;
    }
  }

  for (const auto& record : table) EXPECT_EQ(KESTRAVO_KillProcess(record.first), 0);
  // A stop that timed out under the load goes on and frees its hpid when its child is gone: once
  // no child is left, and a last stop has been confirmed after that, each has freed its hpid.
  uint32_t barrier = 0, barrierPid = 0;
  ASSERT_EQ(KESTRAVO_CreateProcess(HelperChild().c_str(), ("stop - " + dir.Path() + " ").c_str(), &barrier, 0), 0);
  ASSERT_TRUE(WaitFor([&] { return KESTRAVO_GetOSPid(barrier, &barrierPid) == 0; }, std::chrono::seconds(60)));
  EXPECT_TRUE(WaitFor([&] { return LiveChildrenOf(getpid()).size() == 1; }));
  EXPECT_EQ(KESTRAVO_DestroyProcess(barrier, 60000), 0);
  EXPECT_TRUE(WaitFor([&] { return ChildrenOfThisProcess().empty(); }));
  EXPECT_TRUE(Census().empty());

  // Every hpid is free again. Every pending create holds its stop event's descriptor.
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 8 * kMaxHpids);
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  std::string notAProgram = dir.File("not-a-program");
  std::ofstream(notAProgram) << "text\n";
  std::set<uint32_t> free;
  int ret = 0;
  for (uint32_t hpid = 0; free.size() <= kMaxHpids && (ret = KESTRAVO_CreateProcess(notAProgram.c_str(), "", &hpid, 0)) == 0;) free.insert(hpid);
  EXPECT_EQ(ret, 4);
  // On a failure, the log's lines about that hpid tell what kept it.
  auto about = [&](uint32_t hpid) {
    std::istringstream in(dir.Log());
    const std::string h = std::to_string(hpid);
    std::string lines, line, tagged = "[hpid=" + h + ",", queued = "[pid=" + h + "]", identity = ";pid=" + h + ";";
    while (std::getline(in, line))
      if ((line.find(tagged) != std::string::npos || line.find(queued) != std::string::npos ||
           line.find(identity) != std::string::npos) &&
          line.find("cannot be found") == std::string::npos)  // the census's own questions
        lines += line + "\n";
    return lines;
  };
  for (uint32_t hpid = 0; hpid < kMaxHpids; ++hpid) EXPECT_EQ(free.count(hpid), 1u) << "hpid " << hpid << "\n" << about(hpid);

  EXPECT_EQ(KESTRAVO_Uninit(), 0);
  EXPECT_TRUE(WaitFor([&] { return fds() == fdsBefore; })) << "descriptors left: " << fds() - fdsBefore;
  EXPECT_TRUE(NoZombies());
  log = dir.Log();
  size_t events = 0;
  for (size_t at = log.find("[namedEvent="); at != std::string::npos; at = log.find("[namedEvent=", at + 1)) {
    if (log.compare(at + 50, 26, "]Create namedEvent success") != 0) continue;
    ++events;
    EXPECT_NE(access(("/dev/shm/kestravo-ev." + log.substr(at + 12, 38)).c_str(), F_OK), 0) << "event left in /dev/shm";
  }
  EXPECT_EQ(events, stats.results["create_0"] + 1 + free.size());
  EXPECT_EQ(LinesWith(log, {"Create namedEvent fail"}), 0u);
}

}  // namespace
}  // namespace kestravo::test
