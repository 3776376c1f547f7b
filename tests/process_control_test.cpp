// Starting and stopping children through a real host: what a child receives, what the state file
// records, destroy and kill, and the host's callback calling the library from the library's threads.
#include <gtest/gtest.h>
#include <kestravo.h>
#include <sys/stat.h>

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
  // Kill answers once the child is gone.
  EXPECT_EQ(host.Send("kill 2").ret, 0);
  EXPECT_FALSE(ProcessAlive(pids[2]));

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

// A child is its whole tree: its workers end with it, however it ends, and its relaunch runs
// beside none of them. Daemons that left its group end with it where it has a cgroup.
struct TreeCase {
  const char* name;
  const char* workers;  // the helper's "grandchild" arguments
  const char* end;      // a host command, or "" for a child that dies unasked
  bool relaunched;
};

void PrintTo(const TreeCase& c, std::ostream* out) { *out << c.name; }

const TreeCase kTreeCases[] = {
    {"Kill", "2", "kill 0", false},
    {"DestroyWhoseGraceRunsOut", "2", "destroy 0", false},
    {"Restart", "2", "restart 0", true},
    {"LastUninit", "2", "uninit", false},
    {"UnaskedExit", "2", "", true},
    {"KillWithDaemons", "2 setsid", "kill 0", false},
};

class Trees : public HostTest, public ::testing::WithParamInterface<TreeCase> {};

TEST_P(Trees, NoWorkerOutlivesItsChild) {
  const TreeCase& c = GetParam();
  ASSERT_TRUE(Start());
  std::string report = dir.File("a.report");
  ASSERT_EQ(host.CreateHelper("grandchild", report, c.workers).ret, 0);
  pid_t pid = host.WaitRunning(0, report);
  ASSERT_GT(pid, 0);
  std::string workers = ReadReport(report)["grandchildren"];
  std::string cgroup = FileText("/proc/" + std::to_string(pid) + "/cgroup");
  cgroup = cgroup.substr(cgroup.find("0::") + 3);
  bool inCgroup = cgroup.find("/kestravo-") != std::string::npos;
  if (!inCgroup && std::string(c.workers).find("setsid") != std::string::npos)
    GTEST_SKIP() << "no cgroup for the child here (cgroup " << cgroup << "): daemons are beyond its process group";
  std::cout << "child in " << (inCgroup ? "cgroup " + cgroup : "its process group only") << std::endl;

  if (*c.end) {
    ASSERT_EQ(host.Send(c.end).ret, 0);
  } else {
    ASSERT_EQ(kill(pid, SIGKILL), 0);
  }
  std::istringstream list(workers);
  for (std::string worker; std::getline(list, worker, ',');)
    EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(std::stoi(worker)); })) << worker;
  if (c.relaunched) {
    ASSERT_GT(host.WaitRunning(0, report, pid), 0);
    // One set: the host, the new child and its two workers.
    EXPECT_EQ(dir.ProcessesNamingMe().size(), 4u);
  }
  if (std::string(c.end) != "uninit") Stop();
}

INSTANTIATE_TEST_SUITE_P(End, Trees, ::testing::ValuesIn(kTreeCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A start that keeps failing (a relaunch whose program went away, a create whose program cannot
// run) is retried every 30 s; a stop ends it at once and lets go of its hpid and entry.
TEST_F(ProcessControl, StopsEndStartsThatKeepFailing) {
  ASSERT_TRUE(Start());
  std::string exe = dir.File("child"), report = dir.File("a.report");
  std::filesystem::copy_file(HelperChild(), exe);
  ASSERT_EQ(host.Send("create " + HexArg(exe) + " " + HexArg("stop " + report + " ")).ret, 0);
  pid_t pid = host.WaitRunning(0, report);
  ASSERT_GT(pid, 0);
  ASSERT_EQ(unlink(exe.c_str()), 0);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  ASSERT_TRUE(host.WaitCount(0, MSG_RESTART_FAILED, 1));
  std::string unrunnable = dir.File("unrunnable");
  std::filesystem::copy_file(HelperChild(), unrunnable);
  ASSERT_EQ(chmod(unrunnable.c_str(), 0600), 0);
  EXPECT_EQ(host.Send("create " + HexArg(unrunnable) + " x").ret, 0);

  EXPECT_EQ(host.Send("destroy 0", std::chrono::seconds(2)).ret, 0);
  EXPECT_EQ(host.Send("kill 1", std::chrono::seconds(2)).ret, 0);
  EXPECT_TRUE(WaitFor([&] { return dir.State().empty(); })) << dir.StateText();
  EXPECT_EQ(host.CreateHelper("stop", dir.File("b.report"))["hpid"], 0u);
  EXPECT_EQ(host.CreateHelper("stop", dir.File("c.report"))["hpid"], 1u);
  Stop();
}

// A stop that the launcher cannot confirm in time (a callback holds it up) answers 3 and goes on
// by itself: its hpid is unknown meanwhile, then free, and its entry leaves the file.
TEST_F(ProcessControl, AStopThatTimesOutFinishesByItself) {
  ASSERT_EQ(host.Send("setcb do 2 sleep 7000").ret, 0);
  ASSERT_EQ(host.Send("init").ret, 0);
  std::vector<pid_t> pids;
  for (uint32_t hpid = 0; hpid < 2; ++hpid) {
    std::string report = dir.File(std::to_string(hpid) + ".report");
    ASSERT_EQ(host.CreateHelper("stop", report)["hpid"], hpid);
    pids.push_back(host.WaitRunning(hpid, report));
    ASSERT_GT(pids.back(), 0);
  }
  ASSERT_EQ(kill(pids[0], SIGKILL), 0);
  ASSERT_TRUE(WaitFor([&] { return host.Messages().size() == 2; }));  // exited; restarted, calling

  EXPECT_EQ(host.Send("destroy 1").ret, 3);
  EXPECT_EQ(host.Send("getpid 1").ret, 1);
  EXPECT_TRUE(WaitFor([&] { return dir.State().size() == 1 && !ProcessAlive(pids[1]); })) << dir.StateText();
  EXPECT_EQ(host.CreateHelper("stop", dir.File("2.report"))["hpid"], 1u);
  Stop();
}

// The host's callback calls the library on the thread of the message: the guard's (exits) or the
// launcher's (relaunches). Nothing it does may block that thread for good.
struct CallbackCase {
  const char* name;
  uint32_t type;          // the message whose callback calls in
  const char* action;     // its calls, as test host commands ('$': its hpid)
  bool uninitMeanwhile;   // the host's main thread runs the last Uninit while it calls
  const char* results;    // what the calls answer
  bool endsStopped;       // the library is uninitialised afterwards
};

void PrintTo(const CallbackCase& c, std::ostream* out) { *out << c.name; }

const char kEveryCall[] = "await5 getpid $;init;uninit;create x x;destroy $;kill $;restart $;attach $ 1;ismanaged 1";

const CallbackCase kCallbackCases[] = {
    // The last Uninit waits for the thread; the thread's calls answer 5 instead of waiting for it.
    {"GuardThreadDuringLastUninit", MSG_EXITED, kEveryCall, true, "5,5,5,5,5,5,5,5,0", true},
    {"LauncherThreadDuringLastUninit", MSG_RESTARTED, kEveryCall, true, "5,5,5,5,5,5,5,5,0", true},
    // The launcher would do the stop only after the call gave up waiting for it.
    {"DestroyOnTheLauncherThread", MSG_RESTARTED, "destroy $;getpid $", false, "0,1", false},
    {"KillOnTheLauncherThread", MSG_RESTARTED, "kill $;getpid $", false, "0,1", false},
    // The guard cannot wait for itself; once told to end it starts nothing anew.
    {"LastUninitOnTheGuardThread", MSG_EXITED, "uninit;getpid $;init", false, "0,5,5", true},
};

class Callbacks : public HostTest, public ::testing::WithParamInterface<CallbackCase> {};

TEST_P(Callbacks, CallsFromTheLibrarysThreadsReturn) {
  const CallbackCase& c = GetParam();
  ASSERT_EQ(host.Send("setcb do " + std::to_string(c.type) + " " + c.action).ret, 0);
  ASSERT_EQ(host.Send("init").ret, 0);
  std::string report = dir.File("a.report");
  ASSERT_EQ(host.CreateHelper("stop", report).ret, 0);
  pid_t pid = host.WaitRunning(0, report);
  ASSERT_GT(pid, 0);
  ASSERT_EQ(kill(pid, SIGKILL), 0);

  auto answered = [&](const char* key) {
    for (const Message& m : host.Messages())
      if (m.type == c.type && m.field.count(key)) return true;
    return false;
  };
  if (c.uninitMeanwhile) {
    ASSERT_TRUE(WaitFor([&] { return answered("calling"); }));
    EXPECT_EQ(host.Send("uninit").ret, 0);
  }
  ASSERT_TRUE(WaitFor([&] { return answered("call"); }));
  for (const Message& m : host.Messages())
    if (m.type == c.type && m.field.count("call")) EXPECT_EQ(m.field.at("call"), c.results);

  // The library is whole afterwards: it starts again if it was stopped, and the hpid is free.
  if (c.endsStopped) EXPECT_EQ(host.Send("init").ret, 0);
  EXPECT_EQ(host.CreateHelper("stop", dir.File("b.report"))["hpid"], 0u);
  EXPECT_TRUE(host.NoZombies());
  Stop();
}

INSTANTIATE_TEST_SUITE_P(Thread, Callbacks, ::testing::ValuesIn(kCallbackCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestravo::test
