// Many host threads call the library at random while children are killed at random moments. Once
// the calls are over, the library must hold exactly what it says it holds: each hpid is in the
// table or free, the host runs exactly the children of the table and has no zombies, kestravo.xml
// lists them, and its descriptors and our named events are gone once all is stopped.
#include <gtest/gtest.h>
#include <kestravo.h>

#include <random>
#include <set>

#include "host_harness.h"

namespace kestravo::test {
namespace {

// "H:P,H:P,..." or "H,H,..." ("-": none) as hpid -> pid (0 without one).
std::map<uint32_t, pid_t> ParseList(const std::string& text) {
  std::map<uint32_t, pid_t> items;
  std::istringstream in(text == "-" ? "" : text);
  for (std::string item; std::getline(in, item, ',');) {
    size_t colon = item.find(':');
    items[std::stoul(item.substr(0, colon))] = colon == std::string::npos ? 0 : std::stoi(item.substr(colon + 1));
  }
  return items;
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
  ASSERT_EQ(host.Send("init").ret, 0);
  ASSERT_EQ(host.Send("uninit").ret, 0);
  auto fds = [&] { return std::distance(std::filesystem::directory_iterator("/proc/" + std::to_string(host.Pid()) + "/fd"), {}); };
  auto fdsBefore = fds();
  ASSERT_EQ(host.Send("init").ret, 0);

  unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  // Every call ends within its bounded waits: a run that does not answer has deadlocked.
  Reply run = host.Send("chaos 6 8 64 " + std::to_string(seed) + " " + HexArg(HelperChild()), std::chrono::seconds(90));
  ASSERT_EQ(run.ret, 0) << "the host did not answer: deadlock?";
  EXPECT_EQ(run.field["unexpected"], "0") << run.field["first"];
  // Each exit reported is one that was caused: a stale report would restart a running child.
  EXPECT_LE(run["msg1"], run["sigkills"]);
  for (const char* done : {"create_0", "destroy_0", "kill_0", "restart_0", "getpid_0", "ismanaged_1", "msg1", "msg2"})
    EXPECT_GT(run.field.count(done) ? run[done] : 0u, 0u) << done << " never happened";

  // Settled: for 1.5 s on end, each record's child runs under its identity, the host runs no
  // other child and has no zombie, and kestravo.xml gives each record its pid.
  std::map<uint32_t, pid_t> table, last;
  std::string why;
  auto since = std::chrono::steady_clock::now();
  bool settled = WaitFor([&] {
    table = ParseList(host.Send("census").field["table"]);
    std::map<uint32_t, pid_t> recorded;
    for (const StateEntry& entry : dir.State()) recorded[entry.hpid] = entry.pid;
    why = ZombieChildrenOf(host.Pid()).empty() ? "" : "zombies";
    std::set<pid_t> pids;
    for (const auto& [hpid, pid] : table) {
      pids.insert(pid);
      if (IdentityOf(pid).rfind("pid=" + std::to_string(hpid) + ";", 0) != 0) why = "hpid " + std::to_string(hpid) + " runs no child of its own";
      if (recorded.count(hpid) == 0 || recorded[hpid] != pid) why = "hpid " + std::to_string(hpid) + " not in kestravo.xml with its pid";
    }
    for (pid_t child : LiveChildrenOf(host.Pid()))
      if (pids.count(child) == 0) why = "child " + std::to_string(child) + " (" + IdentityOf(child) + ") not in the table";
    if (!why.empty() || table != last) since = std::chrono::steady_clock::now();
    last = table;
    return why.empty() && std::chrono::steady_clock::now() - since >= std::chrono::milliseconds(1500);
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
    if (table.count(entry.hpid) == 0 || IdentityOf(table[entry.hpid]).find(entry.guid) == std::string::npos)
      EXPECT_TRUE(withdrawn) << "entry of no record: " << entry.cmdline;
  }

  for (const auto& record : table) EXPECT_EQ(host.Send("kill " + std::to_string(record.first)).ret, 0);
  EXPECT_TRUE(WaitFor([&] { return LiveChildrenOf(host.Pid()).empty() && ZombieChildrenOf(host.Pid()).empty(); }));
  EXPECT_EQ(host.Send("census").field["table"], "-");

  // Every hpid is free again, but those whose stop timed out: those stay taken.
  std::ofstream(dir.File("not-a-program")) << "text\n";
  Reply exhausted = host.Send("exhaust " + HexArg(dir.File("not-a-program")), std::chrono::seconds(60));
  ASSERT_EQ(exhausted.ret, 0);
  std::map<uint32_t, pid_t> free = ParseList(exhausted.field["free"]), limbo = ParseList(run.field["limbo"]);
  for (uint32_t hpid = 0; hpid < 1024; ++hpid) EXPECT_NE(free.count(hpid), limbo.count(hpid)) << "hpid " << hpid;

  EXPECT_EQ(host.Send("uninit").ret, 0);
  EXPECT_TRUE(WaitFor([&] { return fds() == fdsBefore; })) << "descriptors left: " << fds() - fdsBefore;
  EXPECT_TRUE(host.NoZombies());
  log = dir.Log();
  size_t events = 0;
  for (size_t at = log.find("[namedEvent="); at != std::string::npos; at = log.find("[namedEvent=", at + 1)) {
    if (log.compare(at + 50, 26, "]Create namedEvent success") != 0) continue;
    ++events;
    EXPECT_NE(access(("/dev/shm/kestravo-ev." + log.substr(at + 12, 38)).c_str(), F_OK), 0) << "event left in /dev/shm";
  }
  EXPECT_EQ(events, run["create_0"] + free.size());
  EXPECT_EQ(LinesWith(log, {"Create namedEvent fail"}), 0u);
  EXPECT_EQ(host.Finish(), 0);
}

}  // namespace
}  // namespace kestravo::test
