// The child's side: finding the identity in a command line, and the shell tool.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kestravo_child.h"
#include "platform/os.h"
#include "launcher/child_identity.h"
#include "test_support.h"

namespace kestravo::test {
namespace {

constexpr char kGuid[] = "{0A1B2C3D-4E5F-4a7b-8C9D-0E1F2A3B4C5D}";

TEST(ChildIdentity, FindsTheMarkerWhereverTheLibraryPutsIt) {
  struct Case {
    std::string line;
    uint32_t hpid;
  };
  std::string marker = "kestravCmdLine:;pid=";
  std::vector<Case> cases = {
      {marker + "7;guid=" + kGuid, 7},
      {"-a 1 " + marker + "1023;guid=" + kGuid, 1023},
      {"-a 1" + marker + "0;guid=" + kGuid, 0},  // glued to the caller's last argument
      {marker + "5;guid=" + kGuid + "\n", 5},    // read from a file, with its newline
      // The caller's own text may hold a marker; the library's comes last.
      {marker + "9;guid=" + kGuid + " " + marker + "3;guid=" + kGuid, 3},
  };
  for (const Case& c : cases) {
    KESTRAVO_ChildIdentity identity{};
    ASSERT_EQ(KESTRAVO_ChildGetIdentity(c.line.c_str(), &identity), 0) << c.line;
    EXPECT_EQ(identity.hpid, c.hpid) << c.line;
    EXPECT_STREQ(identity.guid, kGuid) << c.line;
  }
}

TEST(ChildIdentity, RejectsMissingAndMalformedMarkers) {
  std::string marker = "kestravCmdLine:;";
  std::string guid = kGuid;
  std::vector<std::string> lines = {
      "",
      "plain arguments",
      marker,
      marker + "pid=;guid=" + guid,
      marker + "pid=x;guid=" + guid,
      marker + "pid=-1;guid=" + guid,
      marker + "pid=99999999999;guid=" + guid,
      marker + "pid=7guid=" + guid,
      marker + "pid=7;guid=" + guid.substr(0, 37),
      marker + "pid=7;guid=" + guid.substr(1) + "}",
      marker + "pid=7;guid={0A1B2C3D_4E5F-4a7b-8C9D-0E1F2A3B4C5D}",
      marker + "pid=7;guid={0A1B2C3D-4E5F-4a7b-8C9D-0E1F2A3B4C5G}",
      marker + "pid=7;guid=" + guid + "trailing",
      "kestravCmdLine:pid=7;guid=" + guid,
  };
  for (const std::string& line : lines) {
    KESTRAVO_ChildIdentity identity{};
    EXPECT_EQ(KESTRAVO_ChildGetIdentity(line.c_str(), &identity), 1) << line;
  }
  std::string valid = marker + "pid=7;guid=" + guid;
  EXPECT_EQ(KESTRAVO_ChildGetIdentity(valid.c_str(), nullptr), 1);
  // Without a marker of its own, a process takes the identity kestravo-run put in its
  // environment, checked as strictly.
  struct EnvCase {
    const char* hpid;
    std::string guid;
    int32_t result;
  };
  for (const EnvCase& c : std::vector<EnvCase>{{nullptr, guid, 1}, {"7;", guid, 1}, {"7", guid + " x", 1}, {"7", guid, 0}}) {
    c.hpid ? setenv("KESTRAVO_HPID", c.hpid, 1) : unsetenv("KESTRAVO_HPID");
    setenv("KESTRAVO_GUID", c.guid.c_str(), 1);
    KESTRAVO_ChildIdentity identity{};
    EXPECT_EQ(KESTRAVO_ChildGetIdentity(nullptr, &identity), c.result) << (c.hpid ? c.hpid : "none") << c.guid;
    EXPECT_EQ(identity.hpid, c.result == 0 ? 7u : 0u);
  }
}

TEST(ChildStopEvent, OpenWaitAndCloseThroughTheHelper) {
  std::string name = CreateGuidString();
  EXPECT_EQ(KESTRAVO_ChildOpenStopEvent(name.c_str()), nullptr) << "no such event yet";
  EXPECT_EQ(KESTRAVO_ChildOpenStopEvent(nullptr), nullptr);
  EXPECT_EQ(KESTRAVO_ChildWaitStop(nullptr, 0), -1);
  KESTRAVO_ChildCloseStopEvent(nullptr);

  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
  ASSERT_NE(event, nullptr);
  void* stop = KESTRAVO_ChildOpenStopEvent(name.c_str());
  ASSERT_NE(stop, nullptr);
  EXPECT_EQ(KESTRAVO_ChildWaitStop(stop, 20), 1);
  ASSERT_TRUE(SetEvent(event));
  EXPECT_EQ(KESTRAVO_ChildWaitStop(stop, 0xFFFFFFFFu), 0);
  KESTRAVO_ChildCloseStopEvent(stop);
  CloseHandle(event);
}

// Runs kestravo-wait-stop to its end and returns its exit code.
int RunWaitStop(std::vector<std::string> args) {
  args.insert(args.begin(), KESTRAVO_WAIT_STOP);
  pid_t pid = SpawnPlain(args, true);
  return pid < 0 ? -1 : WaitExit(pid);
}

TEST(WaitStopTool, ExitCodesTellWhatHappened) {
  std::string name = CreateGuidString();
  EXPECT_EQ(RunWaitStop({name, "10"}), 2) << "no event to open";
  EXPECT_EQ(RunWaitStop({}), 2);
  EXPECT_EQ(RunWaitStop({name, "soon"}), 2);
  EXPECT_EQ(RunWaitStop({name, "-5"}), 2);

  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(RunWaitStop({name, "10"}), 1);
  ASSERT_TRUE(SetEvent(event));  // stays set until a waiter takes it
  EXPECT_EQ(RunWaitStop({name}), 0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  CloseHandle(event);
}

}  // namespace
}  // namespace kestravo::test
