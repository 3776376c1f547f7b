// A child's identity: the text of its GUID; and the program paths recorded with it.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <tuple>

#include "common/child_marker.h"
#include "launcher/path_util.h"
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

}  // namespace
}  // namespace kestravo::test
