// A host that ends without Uninit leaves its children running; the next host in the same place
// hears of them and adopts them.
#include <gtest/gtest.h>
#include <kestravo.h>
#include <sys/prctl.h>

#include "host_harness.h"

namespace kestravo::test {
namespace {

// The children of a host that ended become this process's, so that the test can reap them.
class Recovery : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0); }
};

TEST_F(Recovery, NextHostHearsOfRunningChildrenAndAdoptsThem) {
  HostDir dir;
  std::vector<std::string> reports = {dir.File("0.report"), dir.File("1.report"),
                                      dir.File("2.report")};
  std::vector<pid_t> pids;
  {
    Host first(dir);
    ASSERT_EQ(first.Send("init").ret, 0);
    for (uint32_t hpid = 0; hpid < 3; ++hpid) {
      ASSERT_EQ(first.CreateHelper("stop", reports[hpid])["hpid"], hpid);
      pids.push_back(first.WaitRunning(hpid, reports[hpid]));
      ASSERT_GT(pids.back(), 0);
      // Waiting on its stop event: it has opened the event while the host still held it.
      ASSERT_TRUE(WaitFor([&] { return BlockedOnFutex(pids.back()); }));
    }
    ASSERT_TRUE(WaitFor([&] { return dir.State().size() == 3; }));
    first.Send("exit");
    EXPECT_EQ(first.Finish(), 0);
  }
  for (pid_t pid : pids) EXPECT_TRUE(ProcessAlive(pid));
  std::vector<StateEntry> recorded = dir.State();
  ASSERT_EQ(recorded.size(), 3u);
  ASSERT_EQ(kill(pids[1], SIGKILL), 0);  // the middle one ends while no host runs
  ASSERT_EQ(WaitExit(pids[1]), 128 + SIGKILL);

  Host second(dir);
  ASSERT_EQ(second.Send("setcb call").ret, 0);
  ASSERT_EQ(second.Send("init").ret, 0);
  // The host wrote these before Init's answer: they came from inside Init. The walk starts over
  // after dropping the dead entry, so the first is reported twice.
  std::vector<Message> reported = second.Messages();
  EXPECT_EQ(second.Count(0, MSG_ATTACHABLE), 2u);
  EXPECT_EQ(second.Count(1, MSG_ATTACHABLE), 0u);
  EXPECT_EQ(second.Count(2, MSG_ATTACHABLE), 1u);
  for (const Message& m : reported) {
    ASSERT_EQ(m.type, static_cast<uint32_t>(MSG_ATTACHABLE));
    ASSERT_LT(m.hpid, 3u);
    EXPECT_EQ(m.field.at("pid"), std::to_string(pids[m.hpid]));
    EXPECT_EQ(Unhex(m.field.at("cmd")), recorded[m.hpid].cmdline);
    EXPECT_EQ(Unhex(m.field.at("exe")), HelperChild());
    // Calling in does not deadlock; the first Init counts only once it is done, so: not yet.
    EXPECT_EQ(m.field.at("call"), "5,0");
  }
  EXPECT_EQ(Logged(dir.Log(), "CProcessMgr::OnConfigNotify",
                   "- \\[pid=" + std::to_string(pids[1]) + R"(,error=\d+\]process is not exist)"),
            1u);

  std::string p0 = std::to_string(pids[0]), p2 = std::to_string(pids[2]);
  EXPECT_EQ(second.Send("attach 0 " + p2).ret, 1);
  EXPECT_EQ(second.Send("attach 1 " + std::to_string(pids[1])).ret, 1);
  EXPECT_EQ(second.Send("attach 0 " + p0).ret, 0);
  EXPECT_EQ(second.Send("attach 0 " + p0).ret, 6);
  EXPECT_EQ(second.Send("attach 2 " + p2).ret, 0);
  EXPECT_EQ(second.Send("getpid 0")["pid"], static_cast<uint32_t>(pids[0]));
  Reply managed = second.Send("ismanaged " + p2);
  EXPECT_EQ(managed.ret, 1);
  EXPECT_EQ(managed["hpid"], 2u);

  // Adopted children are watched and restarted like any other.
  ASSERT_EQ(kill(pids[2], SIGKILL), 0);
  EXPECT_EQ(WaitExit(pids[2]), 128 + SIGKILL);
  EXPECT_TRUE(second.WaitCount(2, MSG_RESTARTED, 1));
  EXPECT_EQ(second.Count(2, MSG_EXITED), 1u);
  pid_t relaunched = second.WaitRunning(2, reports[2], pids[2]);
  EXPECT_GT(relaunched, 0);
  EXPECT_EQ(ReadReport(reports[2])["guid"], recorded[2].guid);

  // Destroy reaches the adopted child through its stop event: it ends by itself, with 0.
  EXPECT_EQ(second.Send("destroy 0").ret, 0);
  EXPECT_EQ(WaitExit(pids[0]), 0);
  EXPECT_EQ(CountMatches(dir.Log(), R"(\[hpid=0\]The process has been notified)"), 0u);
  EXPECT_TRUE(WaitFor([&] {
    auto state = dir.State();
    return state.size() == 1 && state[0].hpid == 2 &&
           state[0].pid == static_cast<uint32_t>(relaunched);
  })) << dir.StateText();

  EXPECT_EQ(second.Send("uninit").ret, 0);
  EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(relaunched); }));
  EXPECT_EQ(second.Finish(), 0);
  EXPECT_TRUE(ZombieChildren().empty());
}

TEST_F(Recovery, KilledHostsChildIsAdoptedWithoutACallbackAndStoppedByUninit) {
  HostDir dir;
  std::string report = dir.File("a.report");
  pid_t pid = 0;
  {
    Host first(dir);
    ASSERT_EQ(first.Send("init").ret, 0);
    ASSERT_EQ(first.CreateHelper("stop", report).ret, 0);
    pid = first.WaitRunning(0, report);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(WaitFor([&] { return BlockedOnFutex(pid); }));
    ASSERT_TRUE(WaitFor([&] { return dir.State().size() == 1; }));
    first.Kill9();
  }
  EXPECT_TRUE(ProcessAlive(pid));

  Host second(dir);
  ASSERT_EQ(second.Send("init").ret, 0);
  EXPECT_EQ(second.Send("attach 0 " + std::to_string(pid)).ret, 0);
  EXPECT_EQ(second.Send("uninit").ret, 0);
  EXPECT_EQ(WaitExit(pid), 0);  // asked through its stop event, not terminated
  EXPECT_TRUE(second.Messages().empty());
  EXPECT_EQ(second.Finish(), 0);
}

}  // namespace
}  // namespace kestravo::test
