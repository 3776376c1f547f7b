// The child's side: finding the identity in a command line or the environment, and the shell tool.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kestravo_child.h"
#include "platform/os.h"
#include "test_support.h"

namespace kestravo::test {
namespace {

constexpr char kGuid[] = "{0A1B2C3D-4E5F-4a7b-8C9D-0E1F2A3B4C5D}";

TEST(ChildIdentity, TheLastMarkerIsTakenAndCheckedStrictly) {
  const std::string m = "kestravCmdLine:;pid=", guid = kGuid;
  const struct {
    std::string line;
    uint32_t hpid;  // 0xFFFF: rejected
  } cases[] = {
      {m + "7;guid=" + guid, 7}, {"-a 1 " + m + "1023;guid=" + guid, 1023},
      {"-a 1" + m + "0;guid=" + guid, 0},  // glued to the caller's last argument
      {m + "5;guid=" + guid + "\n", 5},    // read from a file, with its newline
      {m + "9;guid=" + guid + " " + m + "3;guid=" + guid, 3},  // the caller's text may hold one too
      {"", 0xFFFF}, {"plain arguments", 0xFFFF}, {"kestravCmdLine:;", 0xFFFF}, {m + ";guid=" + guid, 0xFFFF},
      {m + "x;guid=" + guid, 0xFFFF}, {m + "-1;guid=" + guid, 0xFFFF}, {m + "99999999999;guid=" + guid, 0xFFFF},
      {m + "7guid=" + guid, 0xFFFF}, {m + "7;guid=" + guid.substr(0, 37), 0xFFFF},
      {m + "7;guid=" + guid.substr(1) + "}", 0xFFFF}, {m + "7;guid={0A1B2C3D_4E5F-4a7b-8C9D-0E1F2A3B4C5D}", 0xFFFF},
      {m + "7;guid={0A1B2C3D-4E5F-4a7b-8C9D-0E1F2A3B4C5G}", 0xFFFF}, {m + "7;guid=" + guid + "trailing", 0xFFFF},
      {"kestravCmdLine:pid=7;guid=" + guid, 0xFFFF},
  };
  for (const auto& c : cases) {
    KESTRAVO_ChildIdentity identity{};
    ASSERT_EQ(KESTRAVO_ChildGetIdentity(c.line.c_str(), &identity), c.hpid == 0xFFFF ? 1 : 0) << c.line;
    if (c.hpid == 0xFFFF) continue;
    EXPECT_EQ(identity.hpid, c.hpid) << c.line;
    EXPECT_STREQ(identity.guid, kGuid) << c.line;
  }
  EXPECT_EQ(KESTRAVO_ChildGetIdentity(cases[0].line.c_str(), nullptr), 1);
  // Without a marker of its own, a process takes the identity kestravo-run put in its
  // environment, checked as strictly.
  const struct {
    const char* hpid;
    std::string guid;
    int32_t result;
  } env[] = {{nullptr, guid, 1}, {"7;", guid, 1}, {"7", guid + " x", 1}, {"7", guid, 0}};
  for (const auto& c : env) {
    c.hpid ? setenv("KESTRAVO_HPID", c.hpid, 1) : unsetenv("KESTRAVO_HPID");
    setenv("KESTRAVO_GUID", c.guid.c_str(), 1);
    KESTRAVO_ChildIdentity identity{};
    EXPECT_EQ(KESTRAVO_ChildGetIdentity(nullptr, &identity), c.result) << (c.hpid ? c.hpid : "none") << c.guid;
    EXPECT_EQ(identity.hpid, c.result == 0 ? 7u : 0u);
  }
}

// The tool's exit codes; it opens, waits on and closes the event through the helper's functions.
TEST(WaitStopTool, ExitCodesTellWhatHappened) {
  EXPECT_EQ(KESTRAVO_ChildOpenStopEvent(nullptr), nullptr);
  EXPECT_EQ(KESTRAVO_ChildWaitStop(nullptr, 0), -1);
  KESTRAVO_ChildCloseStopEvent(nullptr);
  std::string name = CreateGuidString();
  auto run = [](std::vector<std::string> args) {
    args.insert(args.begin(), KESTRAVO_WAIT_STOP);
    pid_t pid = SpawnPlain(args, true);
    return pid < 0 ? -1 : WaitExit(pid);
  };
  for (const auto& args : std::vector<std::vector<std::string>>{{name, "10"}, {}, {name, "soon"}, {name, "-5"}})
    EXPECT_EQ(run(args), 2) << args.size();
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
  EXPECT_EQ(run({name, "10"}), 1);
  ASSERT_TRUE(SetEvent(event));  // stays set until a waiter takes it
  EXPECT_EQ(run({name}), 0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  CloseHandle(event);
}

}  // namespace
}  // namespace kestravo::test
