// Windows command lines: the program and the arguments a Windows child's main() would get.
#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "platform/os.h"
#include "platform/posix/command_line.h"

namespace kestravo::test {
namespace {

using Args = std::vector<std::string>;

TEST(CommandLine, SplitsArgumentsAsTheMicrosoftRuntime) {
  struct Case {
    std::string text;
    Args args;
  };
  std::vector<Case> cases = {
      {R"(a\\\b d"e f"g h)", {R"(a\\\b)", "de fg", "h"}},
      {R"(a\\\"b c d)", {R"(a\"b)", "c", "d"}},
      {R"(a\\\\"b c" d e)", {R"(a\\b c)", "d", "e"}},
      {R"("" "")", {"", ""}},
      {R"("a"" a")", {R"(a" a)"}},
      {R"("C:\TEST A\\")", {R"(C:\TEST A\)"}},
      {" \t ", {}},
      {"\ta  b\t\tc ", {"a", "b", "c"}},
      {R"(\\server\share x\)", {R"(\\server\share)", R"(x\)"}},  // no quote after them
      {R"("a b)", {"a b"}},  // unterminated
      {R"(a""b)", {"ab"}},   // "" outside quotes
      {R"("a""")", {R"(a")"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(posix::SplitArguments(c.text), c.args) << "text: " << c.text;
  }
}

// A file system in a map: paths not in it do not exist.
posix::PathProbe FakeProbe(std::map<std::string, int> paths) {
  return [paths](const std::string& path) {
    auto found = paths.find(path);
    return found == paths.end() ? ENOENT : found->second;
  };
}

constexpr int kRegular = 0;
constexpr int kNotRegular = EACCES;

TEST(CommandLine, FindsTheProgramAsWindowsDoes) {
  posix::PathProbe probe = FakeProbe({
      {"/opt/my", kNotRegular},
      {"/opt/my app/bin/tool", kRegular},
      {"/a", kRegular},
      {"/a b", kRegular},
      {"tool", kRegular},
  });
  struct Case {
    std::string line;
    std::string program;
    Args args;
  };
  std::vector<Case> cases = {
      {"/opt/my app/bin/tool -x \"y z\"", "/opt/my app/bin/tool", {"-x", "y z"}},
      {"/opt/my app/bin/tool", "/opt/my app/bin/tool", {}},
      {"/a b c", "/a", {"b", "c"}},  // the shortest prefix wins
      {"  tool\t1", "tool", {"1"}},
      // A quoted program is taken as it is, without looking at the file system.
      {"\"/not here/x\" -y", "/not here/x", {"-y"}},
      {"\"/opt/my app/bin/tool\"\"a\"", "/opt/my app/bin/tool", {"a"}},
      {"\"/unterminated path -y", "/unterminated path -y", {}},
  };
  for (const Case& c : cases) {
    posix::CommandLine parsed;
    ASSERT_EQ(posix::ParseCommandLine(c.line, probe, &parsed), ERROR_SUCCESS) << c.line;
    EXPECT_EQ(parsed.program, c.program) << c.line;
    EXPECT_EQ(parsed.args, c.args) << c.line;
  }
}

TEST(CommandLine, ReportsAProgramThatIsNotThere) {
  posix::PathProbe probe = FakeProbe({
      {"/opt/my", kNotRegular},
      {"/etc/passwd/x", ENOTDIR},
      {"/usr/bin/tool", kRegular},
  });
  struct Case {
    std::string line;
    DWORD error;
  };
  std::vector<Case> cases = {
      {"/no/such/tool -x", ERROR_FILE_NOT_FOUND},
      {"/etc/passwd/x y", ERROR_PATH_NOT_FOUND},
      {"/opt/my app", ERROR_ACCESS_DENIED},  // the first token is a directory
      {"/opt/my app/bin/tool", ERROR_ACCESS_DENIED},
      {"tool -x", ERROR_FILE_NOT_FOUND},  // no PATH search
      {"\"\" x", ERROR_FILE_NOT_FOUND},
      {"", ERROR_INVALID_PARAMETER},
      {" \t", ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    posix::CommandLine parsed;
    EXPECT_EQ(posix::ParseCommandLine(c.line, probe, &parsed), c.error) << c.line;
  }
}

}  // namespace
}  // namespace kestravo::test
