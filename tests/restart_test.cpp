// Children that end unasked come back under the same identity; so do children the host restarts.
#include <gtest/gtest.h>
#include <kestravo.h>

#include <algorithm>
#include <iostream>
#include <thread>

#include "host_harness.h"

namespace kestravo::test {
namespace {

using Restart = HostTest;

void ExpectSameIdentity(Report before, Report after) {
  for (const char* key : {"argc", "arg1", "arg2", "arg3", "arg4", "arg5", "arg6", "hpid", "guid"}) {
    EXPECT_EQ(after[key], before[key]) << key;
  }
}

TEST_F(Restart, UnaskedExitIsRestartedUnderTheSameIdentity) {
  ASSERT_TRUE(Start());
  std::string report = dir.File("a.report");
  // Blanks, a tab, quotes and a byte that is not UTF-8, as the child sees them after the split.
  ASSERT_EQ(host.CreateHelper("ignore", report, "\"two words\"\tq\\\"x caf\xe9").ret, 0);
  pid_t first = host.WaitRunning(0, report);
  ASSERT_GT(first, 0);
  Report before = ReadReport(report);
  EXPECT_EQ(before["argc"], "7");
  EXPECT_EQ(before["arg3"], "two words");
  EXPECT_EQ(before["arg4"], "q\"x");
  EXPECT_EQ(before["arg5"], "caf\xe9");

  ASSERT_EQ(kill(first, SIGKILL), 0);
  ASSERT_TRUE(host.WaitCount(0, MSG_RESTARTED, 1));
  pid_t second = host.WaitRunning(0, report, first);
  ASSERT_GT(second, 0);
  ExpectSameIdentity(before, ReadReport(report));

  std::vector<Message> messages = host.Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].type, static_cast<uint32_t>(MSG_EXITED));
  EXPECT_EQ(messages[1].type, static_cast<uint32_t>(MSG_RESTARTED));
  for (const Message& m : messages) {
    EXPECT_EQ(m.hpid, 0u);
    EXPECT_EQ(m.field.at("user"), "1");
  }
  EXPECT_TRUE(WaitFor([&] {
    auto state = dir.State();
    return state.size() == 1 && state[0].pid == static_cast<uint32_t>(second);
  })) << dir.StateText();
  EXPECT_TRUE(host.NoZombies());
  std::string log = dir.Log(), exe = Quote(HelperChild());
  EXPECT_EQ(Logged(log, "CRunningGuard::insideWorkRoutine",
                   R"(- \[exePath=)" + exe + R"(,pid=0\]Find Process exit!)"),
            1u);
  EXPECT_EQ(Logged(log, "CProcessMgr::OnGuardNotify",
                   R"(\[0x01900613\] - \[exePath=)" + exe +
                       R"(,cmdLine=[^\n]*,hpid=0\]process is exit, prepare to restart!)"),
            1u);
  Stop();
}

TEST_F(Restart, RequestedRestartKeepsTheCommandLineAndIsNotAnExit) {
  ASSERT_TRUE(Start());
  std::string report = dir.File("a.report");
  ASSERT_EQ(host.CreateHelper("stop", report, "-v").ret, 0);
  pid_t first = host.WaitRunning(0, report);
  ASSERT_GT(first, 0);
  Report before = ReadReport(report);

  EXPECT_EQ(host.Send("restart 0").ret, 0);
  pid_t second = host.WaitRunning(0, report, first);
  ASSERT_GT(second, 0);
  EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(first); }));
  ExpectSameIdentity(before, ReadReport(report));
  EXPECT_TRUE(host.WaitCount(0, MSG_RESTARTED, 1));
  EXPECT_EQ(host.Count(0, MSG_EXITED), 0u);
  EXPECT_TRUE(WaitFor([&] {
    auto state = dir.State();
    return state.size() == 1 && state[0].pid == static_cast<uint32_t>(second);
  })) << dir.StateText();
  EXPECT_EQ(Logged(dir.Log(), "CProcessMgr::RestartProcess",
                   "- \\[pid=0,exePath=" + Quote(HelperChild()) + "\\]Process prepare to restart"),
            1u);

  // Watched again afterwards.
  ASSERT_EQ(kill(second, SIGKILL), 0);
  EXPECT_TRUE(host.WaitCount(0, MSG_EXITED, 1));
  EXPECT_GT(host.WaitRunning(0, report, second), 0);
  EXPECT_TRUE(host.NoZombies());
  Stop();
}

// Prints how long the restarts of children past the crash-loop spacing took; asserts only that
// each one came.
TEST_F(Restart, FiftyUnaskedExitsAreEachRestarted) {
  ASSERT_TRUE(Start());
  std::string report = dir.File("a.report");
  ASSERT_EQ(host.CreateHelper("ignore", report).ret, 0);
  pid_t pid = host.WaitRunning(0, report);
  ASSERT_GT(pid, 0);

  const size_t runs = 50;
  std::vector<double> toExited, toRestarted;
  for (size_t run = 0; run < runs; ++run) {
    // A child younger than 100 ms would be held back on purpose (the crash-loop spacing).
    std::this_thread::sleep_for(std::chrono::milliseconds(110));
    long long killedAt = NowMicros();
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    ASSERT_TRUE(host.WaitCount(0, MSG_RESTARTED, run + 1)) << "run " << run;
    ASSERT_EQ(host.Count(0, MSG_EXITED), run + 1);
    const std::vector<Message>& messages = host.Messages();
    ASSERT_EQ(messages.size(), 2 * run + 2);
    ASSERT_EQ(messages[2 * run].type, static_cast<uint32_t>(MSG_EXITED));
    toExited.push_back((messages[2 * run].micros - killedAt) / 1000.0);
    toRestarted.push_back((messages[2 * run + 1].micros - killedAt) / 1000.0);
    Reply next = host.Send("getpid 0");
    ASSERT_EQ(next.ret, 0);
    ASSERT_NE(static_cast<pid_t>(next["pid"]), pid);
    pid = static_cast<pid_t>(next["pid"]);
  }
  for (auto* times : {&toExited, &toRestarted}) std::sort(times->begin(), times->end());
  std::cout << "kill to MSG_EXITED: median " << toExited[runs / 2] << " ms, max " << toExited.back()
            << " ms\nkill to MSG_RESTARTED: median " << toRestarted[runs / 2] << " ms, max "
            << toRestarted.back() << " ms (" << runs << " runs)" << std::endl;
  EXPECT_TRUE(host.NoZombies());
  Stop();
}

TEST_F(Restart, ChildrenEndingTogetherAreEachRestartedOnce) {
  ASSERT_TRUE(Start());
  const uint32_t n = 8;
  std::vector<pid_t> pids;
  for (uint32_t hpid = 0; hpid < n; ++hpid) {
    std::string report = dir.File(std::to_string(hpid) + ".report");
    ASSERT_EQ(host.CreateHelper("ignore", report).ret, 0);
    pids.push_back(host.WaitRunning(hpid, report));
    ASSERT_GT(pids.back(), 0);
  }
  for (pid_t pid : pids) ASSERT_EQ(kill(pid, SIGKILL), 0);
  for (uint32_t hpid = 0; hpid < n; ++hpid) {
    ASSERT_GT(host.WaitRunning(hpid, dir.File(std::to_string(hpid) + ".report"), pids[hpid]), 0) << hpid;
  }
  ASSERT_TRUE(WaitFor([&] { return LiveChildrenOf(host.Pid()).size() == n; }));
  for (uint32_t hpid = 0; hpid < n; ++hpid) {
    EXPECT_EQ(host.Count(hpid, MSG_EXITED), 1u) << hpid;
    EXPECT_EQ(host.Count(hpid, MSG_RESTARTED), 1u) << hpid;
  }
  Stop();
}

// A child that exits at once comes back no sooner than 100 ms after its last start.
TEST_F(Restart, ACrashLoopStaysAtAboutTenStartsASecond) {
  ASSERT_TRUE(Start());
  auto createdAt = std::chrono::steady_clock::now();
  ASSERT_EQ(host.CreateHelper("exit", dir.File("a.report")).ret, 0);
  ASSERT_TRUE(host.WaitCount(0, MSG_RESTARTED, 10));
  auto elapsed = std::chrono::steady_clock::now() - createdAt;
  EXPECT_GE(elapsed, std::chrono::milliseconds(1000));
  EXPECT_LE(elapsed, std::chrono::milliseconds(5000));
  Stop();
}

}  // namespace
}  // namespace kestravo::test
