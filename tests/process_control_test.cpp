// Starting and stopping children through a real host: what a child receives, what the state file
// records, destroy and kill.
#include <gtest/gtest.h>
#include <kestravo.h>


#include "host_harness.h"

namespace kestravo::test {
namespace {

using ProcessControl = HostTest;

TEST_F(ProcessControl, ChildGetsItsIdentityAndIsRecorded) {
  ASSERT_TRUE(Start(false));
  std::string report = dir.File("a.report");
  Reply created = host.CreateHelper("stop", report, "-v");
  ASSERT_EQ(created.ret, 0);
  EXPECT_EQ(created["hpid"], 0u);
  pid_t pid = host.WaitRunning(0, report);
  ASSERT_GT(pid, 0);

  Report child = ReadReport(report);
  std::string guid = child["guid"];
  EXPECT_EQ(guid.size(), 38u) << guid;
  std::string marker = "kestravCmdLine:;pid=0;guid=" + guid;
  EXPECT_EQ(child["hpid"], "0");
  EXPECT_EQ(child["argc"], "5");
  EXPECT_EQ(child["arg0"], HelperChild());
  EXPECT_EQ(child["arg3"], "-v");
  EXPECT_EQ(child["arg4"], marker);
  // Its own session, and none of the host's descriptors (its pipes, its log file).
  EXPECT_EQ(child["session_leader"], "1");
  EXPECT_EQ(child["fds"], "0,1,2");

  Reply managed = host.Send("ismanaged " + std::to_string(pid));
  EXPECT_EQ(managed.ret, 1);
  EXPECT_EQ(managed["hpid"], 0u);

  ASSERT_TRUE(WaitFor([&] { return dir.State().size() == 1; })) << dir.StateText();
  StateEntry entry = dir.State()[0];
  EXPECT_EQ(entry.hpid, 0u);
  EXPECT_EQ(entry.pid, static_cast<uint32_t>(pid));
  EXPECT_EQ(entry.exe, HelperChild());
  EXPECT_EQ(entry.cmdline, "stop " + report + " -v " + marker);
  EXPECT_EQ(entry.guid, guid);
  EXPECT_EQ(dir.StateText().rfind("<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<kestravo>", 0), 0u)
      << dir.StateText();
  Stop();
}

TEST_F(ProcessControl, StopsOnRequestAreFinalAndUnreported) {
  ASSERT_TRUE(Start());
  std::vector<std::string> reports = {dir.File("polite.report"), dir.File("deaf.report"),
                                      dir.File("killed.report")};
  std::vector<pid_t> pids;
  for (uint32_t hpid = 0; hpid < 3; ++hpid) {
    ASSERT_EQ(host.CreateHelper(hpid == 0 ? "stop" : "ignore", reports[hpid])["hpid"], hpid);
    pids.push_back(host.WaitRunning(hpid, reports[hpid]));
    ASSERT_GT(pids.back(), 0);
  }
  ASSERT_TRUE(WaitFor([&] { return dir.State().size() == 3; }));

  // Destroy asks through the stop event; the second argument means nothing.
  EXPECT_EQ(host.Send("destroy 0 12345").ret, 0);
  EXPECT_FALSE(ProcessAlive(pids[0]));
  // A child that does not listen is terminated once the wait runs out.
  EXPECT_EQ(host.Send("destroy 1").ret, 0);
  EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(pids[1]); }));
  // Kill answers before the launcher has done it.
  EXPECT_EQ(host.Send("kill 2").ret, 0);
  EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(pids[2]); }));

  for (const char* call : {"getpid 0", "destroy 0", "kill 2", "restart 1"}) {
    EXPECT_EQ(host.Send(call).ret, 1) << call;
  }
  EXPECT_TRUE(WaitFor([&] { return dir.State().empty(); })) << dir.StateText();
  EXPECT_TRUE(host.NoZombies());
  std::string log = dir.Log();
  EXPECT_EQ(CountMatches(log, R"(\[hpid=[01]\] process destroy success\.)"), 2u);
  std::string timeout = R"(\]The process has been notified, but wait exit timeout!)";
  EXPECT_EQ(CountMatches(log, R"(\[hpid=\d+)" + timeout), 1u);
  EXPECT_EQ(CountMatches(log, R"(\[hpid=1)" + timeout), 1u);
  EXPECT_TRUE(host.Messages().empty());

  // The hpids are free again.
  EXPECT_EQ(host.CreateHelper("stop", dir.File("next.report"))["hpid"], 0u);
  Stop();
}

}  // namespace
}  // namespace kestravo::test
