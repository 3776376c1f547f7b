// A real host using the library: calls before Init, counted Init and Uninit, bad arguments, and
// what the final Uninit leaves behind.
#include <gtest/gtest.h>
#include <kestravo.h>

#include "host_harness.h"

namespace kestravo::test {
namespace {

using HostLifecycle = HostTest;

constexpr uint32_t kNoHpid = 0xFFFFFFFFu;

TEST_F(HostLifecycle, EveryCallBeforeInitIsRefused) {
  EXPECT_EQ(host.Send("uninit").ret, 5);
  Reply create = host.CreateHelper("stop", dir.File("a.report"));
  EXPECT_EQ(create.ret, 5);
  EXPECT_EQ(create["hpid"], kNoHpid);
  for (const char* call : {"destroy 0", "kill 0", "restart 0", "getpid 0", "attach 0 1"}) {
    EXPECT_EQ(host.Send(call).ret, 5) << call;
  }
  EXPECT_EQ(host.Send("ismanaged 1").ret, 0);
  EXPECT_EQ(host.Send("ismanaged 1 nullout").ret, 0);
  EXPECT_EQ(host.Send("setcb").ret, 0);

  // No properties file has been read yet, so the lines went to standard error.
  std::string err = host.Stderr();
  EXPECT_EQ(Logged(err, "KESTRAVO_Uninit", R"(\[0x01900022\] - vomar not init yet)"), 1u);
  for (std::string name : {"CreateProcess", "DestroyProcess", "KillProcess", "RestartProcess",
                           "GetOSPid", "Attach", "IsManaged"}) {
    EXPECT_EQ(Logged(err, "KESTRAVO_" + name,
                     R"(\[0x01900022\] - kestravo has not been inited, you should init first\.)"),
              name == "IsManaged" ? 2u : 1u)
        << name;
  }
  EXPECT_EQ(err.find("Param error."), std::string::npos);

  ASSERT_TRUE(Start(false));
  Stop();
}

TEST_F(HostLifecycle, InitIsCountedAndOnlyTheLastUninitStops) {
  ASSERT_TRUE(Start());
  ASSERT_EQ(host.Send("init").ret, 0);
  std::string report = dir.File("a.report");
  ASSERT_EQ(host.CreateHelper("stop", report).ret, 0);
  pid_t first = host.WaitRunning(0, report);
  ASSERT_GT(first, 0);
  EXPECT_EQ(host.Send("uninit").ret, 0);

  // Still supervised, callback included.
  ASSERT_EQ(kill(first, SIGKILL), 0);
  EXPECT_TRUE(host.WaitCount(0, MSG_RESTARTED, 1));
  pid_t second = host.WaitRunning(0, report, first);
  ASSERT_GT(second, 0);

  EXPECT_EQ(host.Send("uninit").ret, 0);
  EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(second); }));
  EXPECT_EQ(host.Send("uninit").ret, 5);
  EXPECT_EQ(host.Send("getpid 0").ret, 5);

  std::string log = dir.Log();
  EXPECT_EQ(Logged(log, "KESTRAVO_Init", R"(- \[initCouter=2\]vomar already init)"), 1u);
  EXPECT_EQ(Logged(log, "KESTRAVO_Uninit", R"(- \[initCouter=1\]need not uninit vomar yet)"), 1u);
  EXPECT_EQ(CountMatches(log, R"(ERROR \[KESTRAVO_Uninit\(\d+\)\] \[0x01900022\] - vomar)"), 1u);
  EXPECT_EQ(host.Finish(), 0);
}

TEST_F(HostLifecycle, FinalUninitStopsEveryChildAndInitStartsAfresh) {
  ASSERT_TRUE(Start());
  // Six that ignore their stop event share one grace: far less than six graces one after another.
  const uint32_t deafCount = 6;
  std::string polite = dir.File("polite.report");
  ASSERT_EQ(host.CreateHelper("stop", polite)["hpid"], 0u);
  pid_t politePid = host.WaitRunning(0, polite);
  ASSERT_GT(politePid, 0);
  std::vector<pid_t> deafPids;
  for (uint32_t hpid = 1; hpid <= deafCount; ++hpid) {
    std::string deaf = dir.File(std::to_string(hpid) + ".report");
    ASSERT_EQ(host.CreateHelper("ignore", deaf)["hpid"], hpid);
    deafPids.push_back(host.WaitRunning(hpid, deaf));
    ASSERT_GT(deafPids.back(), 0);
  }
  ASSERT_TRUE(WaitFor([&] { return dir.State().size() == deafCount + 1; }));

  auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(host.Send("uninit").ret, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(4));
  EXPECT_FALSE(ProcessAlive(politePid));
  for (pid_t deafPid : deafPids) EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(deafPid); }));
  EXPECT_TRUE(host.NoZombies());
  std::string log = dir.Log();
  EXPECT_EQ(CountMatches(log, R"(\[hpid=\d\]The process has been notified, but wait exit timeout!)"), deafCount);
  EXPECT_EQ(CountMatches(log, R"(\[hpid=0\]The process has been notified)"), 0u);
  EXPECT_EQ(dir.State().size(), deafCount + 1);  // Uninit keeps the records

  // A fresh start: the recorded children are gone, every hpid is free, the callback is unset.
  ASSERT_EQ(host.Send("init").ret, 0);
  deafPids.push_back(politePid);
  for (pid_t pid : deafPids) {  // twice if the old list is kept in memory as well
    EXPECT_GE(CountMatches(dir.Log(), "- \\[pid=" + std::to_string(pid) +
                                          R"(,error=\d+\]process is not exist)"),
              1u);
  }
  std::string again = dir.File("again.report");
  ASSERT_EQ(host.CreateHelper("stop", again)["hpid"], 0u);
  pid_t pid = host.WaitRunning(0, again);
  ASSERT_GT(pid, 0);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  EXPECT_GT(host.WaitRunning(0, again, pid), 0);  // restarted, and nobody was told
  EXPECT_TRUE(host.Messages().empty());
  ASSERT_TRUE(WaitFor([&] { return dir.State().size() == 1; }));
  EXPECT_EQ(dir.State()[0].hpid, 0u);
  Stop();
}

TEST_F(HostLifecycle, BadArgumentsAreRefusedWithoutUsingAnHpid) {
  ASSERT_TRUE(Start(false));
  std::string helper = HexArg(HelperChild()), cmd = HexArg("stop - "), missing = dir.File("no");
  for (std::string call : {"create - " + cmd, "create " + helper + " -", "create x " + cmd,
                           "create " + HexArg(missing) + " " + cmd,
                           "create " + helper + " " + cmd + " nullout"}) {
    Reply r = host.Send(call);
    EXPECT_EQ(r.ret, 1) << call;
    EXPECT_EQ(r["hpid"], kNoHpid) << call;
  }
  for (const char* call :
       {"destroy 5", "kill 5", "restart 5", "getpid 5", "getpid 0 nullout", "attach 5 1"}) {
    EXPECT_EQ(host.Send(call).ret, 1) << call;
  }
  Reply notOurs = host.Send("ismanaged " + std::to_string(getpid()));
  EXPECT_EQ(notOurs.ret, 0);
  EXPECT_EQ(notOurs["hpid"], kNoHpid);
  EXPECT_EQ(host.Send("ismanaged 2147483648").ret, 0);
  EXPECT_EQ(host.Send("ismanaged 1 nullout").ret, 0);

  std::string log = dir.Log();
  std::string invalid = R"(\]Param is invalid!)";
  std::string anyPath = R"(WARN \[[\w:]+\(\d+\)\] \[0x01900017\] - \[path=[^\]\n]*)";
  EXPECT_EQ(CountMatches(log, anyPath + invalid), 5u);
  EXPECT_EQ(CountMatches(log, "\\[path=" + Quote(missing) + ",cmdline=stop - " + invalid), 1u);
  std::string code = R"(\[0x01900017\] - \[pid=5\])";
  EXPECT_EQ(Logged(log, "CProcessMgr::DestroyProcess", code + "pid cannot be found, param is"), 1u);
  EXPECT_EQ(Logged(log, "CProcessMgr::KillProcess", code + "cannot be found in processMap!"), 1u);
  for (std::string name : {"RestartProcess", "GetOSPid"}) {
    EXPECT_EQ(Logged(log, "CProcessMgr::" + name, code + "pid cannot be found in processMap!"), 1u)
        << name;
  }
  EXPECT_EQ(CountMatches(log, R"(\[pid=0\]pid cannot be found)"), 0u);  // a null out logs nothing
  EXPECT_EQ(Logged(log, "KESTRAVO_IsManaged", R"(\[0x01900017\] - Param error\.)"), 2u);

  EXPECT_EQ(host.CreateHelper("stop", dir.File("a.report"))["hpid"], 0u);
  Stop();
}

}  // namespace
}  // namespace kestravo::test
