// A child's identity (GUID text and command-line marker) and the path functions behind exeName.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <tuple>

#include "launcher/child_identity.h"
#include "launcher/path_util.h"
#include "test_support.h"

namespace kestravo::test {
namespace {

TEST(PathUtil, NormalizePath) {
  struct Case {
    const char* input;
    const char* expected;
  };
  const Case cases[] = {
      {R"(C:\Program Files\svc\worker.exe)", "C:/Program Files/svc/worker.exe"},
      {R"(C:\dir\\sub\.\app.exe)", "C:/dir/sub/app.exe"},
      {R"(.\bin\app.exe)", "bin/app.exe"},
      {R"(D:\data\)", "D:/data"},
      {R"(C:\)", "C:/"},
      {R"(C:\.)", "C:/"},
      {"/.", "/"},
      {"/", "/"},
      {"a/b/.", "a/b"},
      {"./", ""},
      {".", "."},
      {"dir/../x.exe", "dir/../x.exe"},
      {R"(\\server\share\dir\app.exe)", R"(\\server\share/dir/app.exe)"},
      {R"(\\server)", R"(\\server)"},  // no backslash after the server: nothing converted
      {"//server/share", "/server/share"},
      {"a////b/././c//", "a/b/c"},
      {"", ""},
      {nullptr, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NormalizePath(c.input), c.expected) << "input: " << (c.input ? c.input : "(null)");
  }
}

TEST(PathUtil, GetFileName) {
  const std::pair<std::string, std::string> cases[] = {
      {R"(C:\Program Files\svc\worker.exe)", "worker.exe"},
      {R"(D:\data\)", "data"},
      {R"(C:\)", ""},
      {"/", ""},
      {"app.exe", "app.exe"},
      {"/opt/svc/bin/worker", "worker"},
      {"", ""},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(GetFileName(input), expected) << "input: " << input;
}

TEST(PathUtil, IsFileAccessible) {
  TempDir dir;
  std::string file = dir.File("app.exe");
  std::ofstream(file) << "x";
  EXPECT_TRUE(IsFileAccessible(file));
  EXPECT_FALSE(IsFileAccessible(dir.File("missing.exe")));
  EXPECT_FALSE(IsFileAccessible(""));
}

TEST(ChildIdentity, GuidTextShape) {
  // Hex letters are upper case except in the third group; 500 texts hold letters in every group.
  // Random (version 4) GUIDs: the third group starts with 4, the fourth with 8, 9, A or B.
  const std::regex shape(R"(\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9a-f]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\})");
  std::set<std::string> seen;
  for (int i = 0; i < 500; ++i) {
    std::string text = CreateGuidString();
    ASSERT_TRUE(std::regex_match(text, shape)) << text;
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 500u);
}

TEST(ChildIdentity, CommandLineEndsWithMarkerHpidAndGuid) {
  ManagedProcess process;
  process.guid = CreateGuidString();
  const std::string& guid = process.guid;
  const std::tuple<uint32_t, std::string, std::string> cases[] = {
      {7, "-a 1 ", "-a 1 kestravCmdLine:;pid=7;guid=" + guid},
      {7, "-a 1", "-a 1kestravCmdLine:;pid=7;guid=" + guid},
      {7, "", "kestravCmdLine:;pid=7;guid=" + guid},
      {0, "x ", "x kestravCmdLine:;pid=0;guid=" + guid},
      {1023, "", "kestravCmdLine:;pid=1023;guid=" + guid},
  };
  for (const auto& [hpid, callerText, expected] : cases) {
    process.hpid = hpid;
    EXPECT_EQ(BuildChildCmdLine(process, callerText), expected);
  }
}

}  // namespace
}  // namespace kestravo::test
