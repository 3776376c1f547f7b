// The child's side: finding its identity in a command line or the environment.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/child_marker.h"
#include "platform/notify_channel.h"
#include "test_support.h"
#include "platform/zol_runtime.h"
#include "kestravo_child.h"

namespace kestravo::test {
namespace {

constexpr char kGuid[] = "{0A1B2C3D-4E5F-4a7b-8C9D-0E1F2A3B4C5D}";

// The last marker in the line is taken; any one that is not exactly "pid=N;guid={GUID}" fails.
TEST(ChildIdentity, TheLastMarkerIsTakenAndCheckedStrictly) {
  const std::string m = "kestravCmdLine:;pid=", guid = kGuid;
  const std::pair<std::string, uint32_t> taken[] = {
      {m + "7;guid=" + guid, 7}, {"-a 1 " + m + "1023;guid=" + guid, 1023},
      {"-a 1" + m + "0;guid=" + guid, 0},  // glued to the caller's last argument
      {m + "5;guid=" + guid + "\n", 5},    // read from a file, with its newline
      {m + "9;guid=" + guid + " " + m + "3;guid=" + guid, 3},  // the caller's text may hold one too
  };
  for (const auto& [line, hpid] : taken) {
    KESTRAVO_ChildIdentity identity{};
    ASSERT_EQ(KESTRAVO_ChildGetIdentity(line.c_str(), &identity), 0) << line;
    EXPECT_EQ(identity.hpid, hpid) << line;
    EXPECT_STREQ(identity.guid, kGuid) << line;
  }
  const std::string refused[] = {
      "", "plain arguments", "kestravCmdLine:;", m + ";guid=" + guid, m + "x;guid=" + guid, m + "-1;guid=" + guid,
      m + "99999999999;guid=" + guid, m + "7guid=" + guid, m + "7;guid=" + guid.substr(0, 37),
      m + "7;guid=" + guid.substr(1) + "}", m + "7;guid={0A1B2C3D_4E5F-4a7b-8C9D-0E1F2A3B4C5D}",
      m + "7;guid={0A1B2C3D-4E5F-4a7b-8C9D-0E1F2A3B4C5G}", m + "7;guid=" + guid + "trailing",
      "kestravCmdLine:pid=7;guid=" + guid};
  for (const std::string& line : refused) {
    KESTRAVO_ChildIdentity identity{};
    EXPECT_EQ(KESTRAVO_ChildGetIdentity(line.c_str(), &identity), 1) << line;
  }
  EXPECT_EQ(KESTRAVO_ChildGetIdentity(taken[0].first.c_str(), nullptr), 1);
  // What the library writes, the helper, kestravo-run and kestravo-host read back: the identity,
  // and the caller's text before it, even when that text holds a marker of its own.
  const std::pair<std::string, uint32_t> written[] = {
      {"", 0}, {"-a 1 ", 7}, {"-a 1", 1023}, {taken[4].first + " ", 4}, {"x\n", 12}};
  for (const auto& [callers, hpid] : written) {
    const std::string line = BuildChildCmdLine(hpid, guid, callers);
    KESTRAVO_ChildIdentity identity{};
    ASSERT_EQ(KESTRAVO_ChildGetIdentity(line.c_str(), &identity), 0) << line;
    EXPECT_EQ(identity.hpid, hpid) << line;
    EXPECT_STREQ(identity.guid, kGuid) << line;
    EXPECT_EQ(TextBeforeChildMarker(line), callers) << line;
    EXPECT_EQ(line.substr(FindChildMarker(line)), ChildIdentityText(std::to_string(hpid), guid)) << line;
  }
  EXPECT_EQ(TextBeforeChildMarker("no marker"), "no marker");
  // Without a marker of its own, a process takes the identity kestravo-run put in its
  // environment, checked as strictly.
  const std::tuple<const char*, std::string, int32_t> env[] = {{nullptr, guid, 1}, {"7;", guid, 1}, {"7", guid + " x", 1}, {"7", guid, 0}};
  for (const auto& [hpid, envGuid, result] : env) {
    hpid ? setenv("KESTRAVO_HPID", hpid, 1) : unsetenv("KESTRAVO_HPID");
    setenv("KESTRAVO_GUID", envGuid.c_str(), 1);
    KESTRAVO_ChildIdentity identity{};
    EXPECT_EQ(KESTRAVO_ChildGetIdentity(nullptr, &identity), result) << (hpid ? hpid : "none") << envGuid;
    EXPECT_EQ(identity.hpid, result == 0 ? 7u : 0u);
  }
}

#ifndef _WIN32
// A process finds the identity at the end of its own arguments, whatever their length: a short
// command line is read in place, a long one the long way.
TEST(ChildIdentity, AProcessFindsItsOwnIdentityAfterArgumentsOfAnyLength) {
  const std::string marker = ChildIdentityText("5", kGuid);
  const struct {
    size_t filler;  // the length of an argument before the marker
    bool glued;     // the marker glued to that argument, as the library writes it
  } cases[] = {{0, false}, {100, true}, {1900, false}, {2100, true}, {70000, false}};
  TempDir dir;
  int n = 0;
  for (const auto& c : cases) {
    const std::string report = dir.Path() + "/own" + std::to_string(n++);
    std::vector<std::string> args = {HelperChild(), "ignore", report};
    if (c.glued) {
      args.push_back(std::string(c.filler, 'a') + marker);
    } else {
      if (c.filler > 0) args.push_back(std::string(c.filler, 'a'));
      args.push_back(marker);
    }
    const pid_t child = SpawnPlain(args, true);
    ASSERT_GT(child, 0);
    Report got = WaitForReport(report);
    kill(child, SIGKILL);
    WaitExit(child);
    EXPECT_EQ(got["hpid"], "5") << c.filler;
    EXPECT_EQ(got["guid"], kGuid) << c.filler;
  }
}
#endif

// A child's message reaches the supervisor's channel as one datagram with the child's pid; a bad
// argument, a text over the limit, or no channel gets its own answer.
TEST(ChildNotify, SendsOneDatagramPerCallOrSaysWhyNot) {
  const std::string path = std::string("/dev/shm/kestravo-nt.") + kGuid;
  EXPECT_EQ(KESTRAVO_ChildNotify(kGuid, "READY=1"), 1);  // no channel yet
  {
    ZOL_NotifySet set;
    ASSERT_TRUE(set.Open(7, kGuid)) << ZOL_GetLastError();
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const std::string full(4096, 'x'), over = full + "y";
    const std::tuple<const char*, const char*, int32_t> rows[] = {
        {kGuid, "READY=1\nSTATUS=up", 0}, {kGuid, full.c_str(), 0}, {kGuid, over.c_str(), -1},
        {kGuid, "", -1}, {kGuid, nullptr, -1}, {nullptr, "READY=1", -1}, {"", "READY=1", -1},
        {"../x", "READY=1", -1}, {"{0A1B2C3D-4E5F-4a7b-8C9D-0E1F2A3B4C5E}", "READY=1", 1}};
    std::vector<std::string> sent;
    for (const auto& [guid, text, result] : rows) {
      EXPECT_EQ(KESTRAVO_ChildNotify(guid, text), result) << (text ? std::string(text).substr(0, 20) : "null");
      if (result == 0) sent.push_back(text);
    }
    std::vector<uint64_t> ready;
    ASSERT_EQ(set.Wait(5000, &ready), 0u);
    EXPECT_EQ(ready, std::vector<uint64_t>{7});
    // All in one call, in order; the one after finds none.
    std::vector<NotifyDatagram> got;
    ASSERT_EQ(set.Receive(7, kNotifyBatch, &got), static_cast<int>(sent.size()));
    for (size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(got[i].text, sent[i]);
      EXPECT_EQ(got[i].senderPid, static_cast<uint32_t>(getpid()));
    }
    got.clear();
    EXPECT_EQ(set.Receive(7, kNotifyBatch, &got), 0) << (got.empty() ? "" : got[0].text.substr(0, 40));
    // A leftover of ours under the name (a host that died) is replaced; the channel goes with Close.
    ASSERT_TRUE(set.Open(8, kGuid));
    EXPECT_EQ(KESTRAVO_ChildNotify(kGuid, "WATCHDOG=1"), 0);
    set.Close(8);
    EXPECT_EQ(KESTRAVO_ChildNotify(kGuid, "WATCHDOG=1"), 1);
    EXPECT_NE(lstat(path.c_str(), &st), 0);
  }
}

}  // namespace
}  // namespace kestravo::test
