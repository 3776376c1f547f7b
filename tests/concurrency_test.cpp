// Many host threads call the library at random while children crash at random moments. Once the
// calls are over, the library must hold exactly what it says it holds: it still answers, each
// hpid is in the table or free, the host runs exactly the children of the table and has no
// zombies, its descriptors and our named events are gone once all is stopped, and kestravo.xml
// lists the children of the table.
#include <gtest/gtest.h>
#include <kestravo.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <set>

#include "host_harness.h"

namespace kestravo::test {
namespace {

constexpr unsigned kSeconds = 20;
constexpr unsigned kThreads = 8;
constexpr unsigned kMaxChildren = 64;
constexpr uint32_t kHpids = 1024;

// "H:P,H:P,..." or "-".
std::map<uint32_t, pid_t> ParseTable(const std::string& text) {
  std::map<uint32_t, pid_t> table;
  std::istringstream items(text == "-" ? "" : text);
  uint32_t hpid = 0;
  pid_t pid = 0;
  char colon = 0, comma = 0;
  while (items >> hpid >> colon >> pid) {
    table[hpid] = pid;
    items >> comma;
  }
  return table;
}

// "H,H,..." or "-".
std::set<uint32_t> ParseList(const std::string& text) {
  std::set<uint32_t> values;
  std::istringstream items(text == "-" ? "" : text);
  uint32_t value = 0;
  char comma = 0;
  while (items >> value) {
    values.insert(value);
    items >> comma;
  }
  return values;
}

// The identity in a running process's command line: "pid=H;guid=G", or "" for none.
std::string IdentityOf(pid_t pid) {
  std::string cmdline = FileText("/proc/" + std::to_string(pid) + "/cmdline");
  const std::string marker = "kestravCmdLine:;";
  size_t at = cmdline.find(marker);
  if (at == std::string::npos) return "";
  return std::string(cmdline.c_str() + at + marker.size());
}

std::string GuidOf(const std::string& identity) {
  size_t at = identity.find(";guid=");
  return at == std::string::npos ? "" : identity.substr(at + 6);
}

using Concurrency = HostTest;

TEST_F(Concurrency, SlowRandomCallsFromEightThreadsLeaveNothingBehind) {
  // Descriptors counted after one whole init and uninit, once the log is open.
  ASSERT_EQ(host.Send("init").ret, 0);
  ASSERT_EQ(host.Send("uninit").ret, 0);
  Reply before = host.Send("fds");
  ASSERT_EQ(before.ret, 0);
  ASSERT_EQ(host.Send("init").ret, 0);

  unsigned seed = std::random_device()();
  std::ostringstream chaos;
  chaos << "chaos " << kSeconds << ' ' << kThreads << ' ' << kMaxChildren << ' ' << seed << ' '
        << HexArg(HelperChild());
  // Every call ends within its bounded waits: a run that does not answer has deadlocked.
  Reply run = host.Send(chaos.str(), std::chrono::seconds(kSeconds + 90));
  ASSERT_EQ(run.ret, 0) << "the host did not answer: deadlock?";

  std::printf("concurrency figures (seed %u):", seed);
  for (const auto& field : run.field) {
    std::printf(" %s=%s", field.first.c_str(), field.second.c_str());
    RecordProperty(field.first, field.second);
  }
  std::printf("\n");
  EXPECT_EQ(run.field["unexpected"], "0") << run.field["first"];
  // Each exit reported is one that was caused: a stale report would restart a running child.
  EXPECT_LE(run["msg1"], run["aborts"] + run["sigkills"]);
  for (const char* done : {"create_0", "destroy_0", "kill_0", "restart_0", "getpid_0", "ismanaged_1",
                           "aborts", "msg1", "msg2"}) {
    EXPECT_GT(run.field.count(done) ? run[done] : 0u, 0u) << done << " never happened";
  }

  // From now on no child aborts any more.
  std::ofstream(dir.File("calm")).put('\n');
  std::set<uint32_t> limbo = ParseList(run.field["limbo"]);
  pid_t hostPid = host.Pid();

  // Settled: for 1.5 s on end, each record's child runs under its identity, the host runs no
  // other child and has no zombie, and kestravo.xml gives each record its pid.
  std::map<uint32_t, pid_t> table, last;
  std::string why;
  auto since = std::chrono::steady_clock::now();
  bool settled = WaitFor(
      [&] {
        table = ParseTable(host.Send("census").field["table"]);
        std::set<pid_t> pids;
        for (const auto& record : table) pids.insert(record.second);
        std::map<uint32_t, pid_t> recorded;
        for (const StateEntry& entry : dir.State()) recorded[entry.hpid] = entry.pid;
        why.clear();
        for (pid_t child : LiveChildrenOf(hostPid)) {
          if (pids.count(child) == 0)
            why = "child " + std::to_string(child) + " (" + IdentityOf(child) + ") not in the table";
        }
        if (!ZombieChildrenOf(hostPid).empty()) why = "zombies";
        for (const auto& record : table) {
          if (IdentityOf(record.second).rfind("pid=" + std::to_string(record.first) + ";", 0) != 0)
            why = "hpid " + std::to_string(record.first) + " runs no child of its own";
          else if (recorded.count(record.first) == 0 || recorded[record.first] != record.second)
            why = "hpid " + std::to_string(record.first) + " not in kestravo.xml with its pid";
        }
        auto now = std::chrono::steady_clock::now();
        if (!why.empty() || table != last) since = now;
        last = table;
        return why.empty() && now - since >= std::chrono::milliseconds(1500);
      },
      std::chrono::seconds(60));
  ASSERT_TRUE(settled) << why << "\n" << dir.StateText();

  // kestravo.xml: each record once, with its child's guid. Any other entry is that of a child
  // whose stop was dropped together with its queued relaunch: a stop is recorded only when the
  // launcher carries it out. Such an entry keeps its guid when its hpid is handed out again.
  std::string log = dir.Log();
  std::set<std::string> withdrawn;
  std::set<std::string> withdrawnHpids;
  for (const std::string& cmd : Captures(log, "[cmd=", "]this task has not been accomplished till die")) {
    withdrawn.insert(cmd);
    std::string identity = cmd.substr(cmd.find("kestravCmdLine:;") + 16);
    withdrawnHpids.insert(identity.substr(0, identity.find(';')));
  }
  size_t staleEntries = 0, staleGuids = 0;
  std::map<uint32_t, size_t> entriesPerHpid;
  for (const StateEntry& entry : dir.State()) {
    ++entriesPerHpid[entry.hpid];
    auto record = table.find(entry.hpid);
    if (record == table.end()) {
      ++staleEntries;
      EXPECT_EQ(withdrawn.count(entry.cmdline), 1u) << "entry of no record: " << entry.cmdline;
      continue;
    }
    std::string identity = IdentityOf(record->second);
    EXPECT_NE(entry.cmdline.find(identity), std::string::npos) << entry.cmdline;
    if (entry.guid != GuidOf(identity)) {
      ++staleGuids;
      EXPECT_EQ(withdrawnHpids.count("pid=" + std::to_string(entry.hpid)), 1u)
          << "hpid " << entry.hpid << " recorded with guid " << entry.guid << ", runs " << identity;
    }
  }
  for (const auto& count : entriesPerHpid) EXPECT_EQ(count.second, 1u) << "hpid " << count.first;
  auto logged = [&](const char* text) {
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  };
  std::printf("concurrency end state: %zu records, %zu stale entries, %zu stale guids, %zu hpids "
              "held by timed-out stops; %zu stops withdrawn with a queued start, %zu relaunched "
              "processes no longer wanted, %zu replaced by a later relaunch\n",
              table.size(), staleEntries, staleGuids, limbo.size(), logged("accomplished till die"),
              logged("no longer wanted, terminate it"), logged("replaced by a later relaunch"));

  for (const auto& record : table) EXPECT_EQ(host.Send("kill " + std::to_string(record.first)).ret, 0);
  EXPECT_TRUE(WaitFor([&] {
    return LiveChildrenOf(hostPid).empty() && ZombieChildrenOf(hostPid).empty();
  })) << "children left after killing every record";
  EXPECT_EQ(host.Send("census").field["table"], "-");

  // Every hpid is free again, but those whose stop timed out: those stay taken.
  std::ofstream(dir.File("not-a-program")) << "text\n";
  Reply exhausted = host.Send("exhaust " + HexArg(dir.File("not-a-program")), std::chrono::seconds(60));
  ASSERT_EQ(exhausted.ret, 0);
  std::set<uint32_t> free = ParseList(exhausted.field["free"]);
  for (uint32_t hpid = 0; hpid < kHpids; ++hpid) {
    EXPECT_NE(free.count(hpid), limbo.count(hpid)) << "hpid " << hpid << " free: " << free.count(hpid);
  }

  EXPECT_EQ(host.Send("uninit").ret, 0);
  EXPECT_TRUE(WaitFor([&] { return host.Send("fds")["fds"] == before["fds"]; }))
      << "descriptors: " << host.Send("fds")["fds"] << ", before " << before["fds"];
  EXPECT_TRUE(host.NoZombies());
  log = dir.Log();
  size_t events = 0;
  for (const std::string& guid : Captures(log, "[namedEvent=", "]Create namedEvent success")) {
    ++events;
    EXPECT_NE(access(("/dev/shm/kestravo-ev." + guid).c_str(), F_OK), 0) << guid << " left in /dev/shm";
  }
  EXPECT_EQ(events, run["create_0"] + free.size());
  EXPECT_EQ(log.find("Create namedEvent fail"), std::string::npos);
  EXPECT_EQ(host.Finish(), 0);
}

}  // namespace
}  // namespace kestravo::test
