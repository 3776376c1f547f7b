// A child's identity: the text of its GUID, its command line and its stop event; and the program
// paths recorded with it.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <tuple>
#include <vector>

#include "child/stop_event_relay.h"
#include "common/child_marker.h"
#include "kestravo_child.h"
#include "launcher/child_identity.h"
#include "launcher/path_util.h"
#include "platform/os.h"
#include "test_support.h"

namespace kestravo::test {
namespace {

// A program's path as the library records and compares it.
TEST(PathUtil, NormalizePathAndFileName) {
  const std::pair<const char*, const char*> normalized[] = {
      {R"(C:\dir\\sub\.\app.exe)", "C:/dir/sub/app.exe"}, {R"(.\bin\app.exe)", "bin/app.exe"},
      {R"(D:\data\)", "D:/data"}, {R"(C:\)", "C:/"}, {R"(C:\.)", "C:/"}, {"/.", "/"}, {"/", "/"},
      {"a/b/.", "a/b"}, {"./", ""}, {".", "."}, {"dir/../x.exe", "dir/../x.exe"},
      {R"(\\server\share\dir\app.exe)", R"(\\server\share/dir/app.exe)"}, {R"(\\server)", R"(\\server)"},
      {"//server/share", "/server/share"}, {"a////b/././c//", "a/b/c"}, {"", ""}, {nullptr, ""},
  };
  for (const auto& [input, expected] : normalized) EXPECT_EQ(NormalizePath(input), expected) << (input ? input : "null");
  for (const auto& [input, expected] : {std::pair<std::string, std::string>{R"(C:\svc\worker.exe)", "worker.exe"},
                                        {R"(D:\data\)", "data"}, {R"(C:\)", ""}, {"app", "app"}})
    EXPECT_EQ(GetFileName(input), expected) << input;
}

// Fresh version-4 GUIDs, upper case but for the third group.
TEST(ChildIdentity, GuidTextsAreFreshVersion4InTheirOwnCase) {
  const std::regex shape(R"(\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9a-f]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\})");
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    std::string text = CreateGuidString();
    ASSERT_TRUE(std::regex_match(text, shape)) << text;
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 200u);
}

// The caller's text, then at once the marker, the hpid and the GUID, and nothing after.
TEST(ChildIdentity, CommandLineEndsWithTheMarkerHpidAndGuid) {
  const std::string guid = "{6A1F0C3E-52B7-4d09-8E21-93C0B5A7D4F2}";
  const std::tuple<uint32_t, std::string, std::string> lines[] = {
      {7, "-a 1 ", "-a 1 kestravCmdLine:;pid=7;guid=" + guid},
      {7, "-a 1", "-a 1kestravCmdLine:;pid=7;guid=" + guid},
      {0, "", "kestravCmdLine:;pid=0;guid=" + guid},
      {1023, "x kestravCmdLine:;pid=1;guid=" + guid + " ",
       "x kestravCmdLine:;pid=1;guid=" + guid + " kestravCmdLine:;pid=1023;guid=" + guid},
  };
  for (const auto& [hpid, callers, expected] : lines) EXPECT_EQ(BuildChildCmdLine(hpid, guid, callers), expected);
}

// A new child's stop event is taken by the wait that sees it, and kestravo-run, which took it,
// sets it again for the program behind it; an adopted child's, made again, stays set for every
// wait. Opening an existing event keeps its kind.
TEST(ChildIdentity, StopEventsResetAsTheirKindSays) {
  const struct {
    StopEventReset reset;
    int32_t secondWait;  // after one wait has seen the stop: 0 still set, 1 taken
  } cases[] = {{StopEventReset::kOnWait, 1}, {StopEventReset::kManual, 0}};
  for (const auto& c : cases) {
    const std::string guid = CreateGuidString();
    bool existed = true;
    HANDLE made = CreateStopEvent(guid, c.reset, &existed);
    ASSERT_NE(made, nullptr);
    EXPECT_FALSE(existed);
    const StopEventReset other = c.reset == StopEventReset::kManual ? StopEventReset::kOnWait : StopEventReset::kManual;
    HANDLE again = CreateStopEvent(guid, other, &existed);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(existed);
    void* child = KESTRAVO_ChildOpenStopEvent(guid.c_str());
    void* adapter = child::OpenStopEventToPassOn(guid.c_str());
    ASSERT_NE(child, nullptr);
    ASSERT_NE(adapter, nullptr);
    EXPECT_EQ(KESTRAVO_ChildWaitStop(child, 0), 1);

    ASSERT_TRUE(SetEvent(made));
    EXPECT_EQ(KESTRAVO_ChildWaitStop(adapter, 0), 0);
    EXPECT_EQ(KESTRAVO_ChildWaitStop(child, 0), c.secondWait) << static_cast<int>(c.reset);
    EXPECT_TRUE(child::SetStopEventAgain(adapter));
    EXPECT_EQ(KESTRAVO_ChildWaitStop(child, 0), 0) << "the relayed stop was lost";

    ASSERT_TRUE(SetEvent(again));
    ASSERT_TRUE(ResetEvent(again));
    EXPECT_EQ(KESTRAVO_ChildWaitStop(child, 0), 1);
    KESTRAVO_ChildCloseStopEvent(adapter);
    KESTRAVO_ChildCloseStopEvent(child);
    EXPECT_TRUE(CloseHandle(again));
    EXPECT_TRUE(CloseHandle(made));
  }
  EXPECT_FALSE(child::SetStopEventAgain(nullptr));
  EXPECT_EQ(child::OpenStopEventToPassOn(""), nullptr);
}

// A child may open its stop event more often than it has room for without handles (Linux keeps a
// few opens aside): every open sees a set, and the last close anywhere, the supervisor's first,
// removes the event.
TEST(ChildIdentity, EveryOpenOfAStopEventSeesItAndTheLastCloseRemovesIt) {
  const std::string guid = CreateGuidString();
  EXPECT_EQ(KESTRAVO_ChildOpenStopEvent(guid.c_str()), nullptr);
  EXPECT_EQ(KESTRAVO_ChildOpenStopEvent(""), nullptr);
  bool existed = true;
  HANDLE made = CreateStopEvent(guid, StopEventReset::kManual, &existed);
  ASSERT_NE(made, nullptr);
  std::vector<void*> opens;
  for (int i = 0; i < 7; ++i) {
    opens.push_back(KESTRAVO_ChildOpenStopEvent(guid.c_str()));
    ASSERT_NE(opens.back(), nullptr) << i;
    EXPECT_EQ(KESTRAVO_ChildWaitStop(opens.back(), 0), 1) << i;
  }
  ASSERT_TRUE(SetEvent(made));
  EXPECT_TRUE(CloseHandle(made));
  for (size_t i = 0; i < opens.size(); ++i) {
    EXPECT_EQ(KESTRAVO_ChildWaitStop(opens[i], 0), 0) << i;
    KESTRAVO_ChildCloseStopEvent(opens[i]);
    // The children's opens still hold it until the last one closes.
    void* again = KESTRAVO_ChildOpenStopEvent(guid.c_str());
    EXPECT_EQ(again != nullptr, i + 1 < opens.size()) << i;
    KESTRAVO_ChildCloseStopEvent(again);
  }
  EXPECT_EQ(KESTRAVO_ChildWaitStop(nullptr, 0), -1);
}

}  // namespace
}  // namespace kestravo::test
