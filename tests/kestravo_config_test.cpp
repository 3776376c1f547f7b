// The state file store: loading, rewriting and round-tripping kestravo.xml.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>

#include "config/kestravo_config.h"
#include "log_capture.h"
#include "test_support.h"

namespace kestravo::test {
namespace {

// Keeps its file in a temporary directory instead of beside the test binary.
struct TestConfig : CKestravoConfig {
  explicit TestConfig(std::string d) : dir(std::move(d)) {}
  std::string GetModuleDir() override { return dir; }
  std::string dir;
};

// Records what it was handed and removes the entry of dropHpid, as the manager drops dead children.
struct TestSink : IConfigSink {
  int32_t OnConfigNotify(std::list<ProcConfig>& list) override {
    ++calls;
    received = list;
    list.remove_if([this](const ProcConfig& c) { return c.hpid == dropHpid; });
    return 0;
  }
  int calls = 0;
  std::list<ProcConfig> received;
  uint32_t dropHpid = 0xFFFFFFFE;
};

// hpid, pid, exe, cmdline, guid
using Fields = std::tuple<uint32_t, uint32_t, std::string, std::string, std::string>;
Fields Of(const ProcConfig& c) { return {c.hpid, c.pid, c.exe, c.cmdline, c.guid}; }
ProcConfig Entry(const Fields& f) {
  return ProcConfig{std::get<1>(f), std::get<0>(f), std::get<2>(f), std::get<3>(f), std::get<4>(f)};
}

std::string ReadFile(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

int Warnings(const LogCapture& log) {
  int n = 0;
  for (const LogLine& line : log.Lines()) n += line.level == "WARN";
  return n;
}

struct ConfigTest : ::testing::Test {
  TempDir dir;
  std::string file = dir.File("kestravo.xml");
  TestConfig config{dir.Path()};
  TestSink sink;
};

TEST_F(ConfigTest, MissingFileIsLoggedAndTheSinkIsNotCalled) {
  LogCapture log;
  config.SetSink(&sink);
  EXPECT_FALSE(config.LoadXml());
  EXPECT_EQ(sink.calls, 0);
  EXPECT_TRUE(config.GetEntries().empty());
  EXPECT_EQ(log.Count({"load config fail", "[0x01900014]", "errorDesc=Failed to open file", "filePath=" + file}), 2);
  EXPECT_EQ(Warnings(log), 2);
}

TEST_F(ConfigTest, UnusableDocumentsAreRejected) {
  struct Case {
    const char* text;
    bool loads;
    const char* logged;  // null: no warning
  };
  const Case cases[] = {
      {"", false, "load config fail"},
      {"this is not xml", false, "load config fail"},
      {"<kestravo><process hpid=\"1\"", false, "load config fail"},
      {"<?xml version=\"1.0\" ?><!-- nothing -->", false, "parse config fail, no root"},
      {"<other><process hpid=\"1\" /></other>", false, "parse config fail, no kestravo"},
      {"<?xml version=\"1.0\" ?><kestravo><other hpid=\"1\" /></kestravo>", true, nullptr},
  };
  config.SetSink(&sink);
  for (const Case& c : cases) {
    LogCapture log;
    WriteFile(file, c.text);
    EXPECT_EQ(config.LoadXml(), c.loads) << c.text;
    EXPECT_EQ(Warnings(log), c.logged ? 1 : 0) << c.text;
    EXPECT_TRUE(!c.logged || log.Has({c.logged, "[0x01900014]"})) << c.text;
  }
  EXPECT_EQ(sink.calls, 0);
  EXPECT_TRUE(config.GetEntries().empty());
}

TEST_F(ConfigTest, AddUpdateAndDeleteRewriteTheFile) {
  config.LoadXml();  // sets the file's path
  ASSERT_TRUE(config.AddNewProcConfig(Entry({3, 100, "/x/a", "c1", "{G3}"})));
  ASSERT_TRUE(config.AddNewProcConfig(Entry({0, 200, "/x/b", "c2", "{G0}"})));
  ASSERT_TRUE(config.AddNewProcConfig(Entry({3, 101, "/y/a", "c1b", "{OTHER}"})));
  std::string text = ReadFile(file);
  EXPECT_EQ(text,
            "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<kestravo>\n"
            "    <process hpid=\"3\" pid=\"101\" exe=\"/y/a\" cmdline=\"c1b\" guid=\"{G3}\" />\n"
            "    <process hpid=\"0\" pid=\"200\" exe=\"/x/b\" cmdline=\"c2\" guid=\"{G0}\" />\n"
            "</kestravo>\n");
  std::list<ProcConfig> entries = config.GetEntries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(Of(entries.front()), Fields(3, 101, "/y/a", "c1b", "{G3}"));

  struct stat before {}, after {};
  ASSERT_EQ(stat(file.c_str(), &before), 0);
  LogCapture log;
  ASSERT_TRUE(config.DeleteProcConfig(3, "{G0}"));  // another record's guid: kept
  ASSERT_EQ(stat(file.c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino) << "the file was not rewritten";
  EXPECT_EQ(ReadFile(file), text);
  EXPECT_FALSE(log.Has({"delete config"}));

  ASSERT_TRUE(config.DeleteProcConfig(3, "{G3}"));
  EXPECT_EQ(ReadFile(file).find("hpid=\"3\""), std::string::npos);
  ASSERT_EQ(stat(file.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 0777, 0600u);
  std::vector<std::string> names;
  for (const auto& item : std::filesystem::directory_iterator(dir.Path())) names.push_back(item.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"kestravo.xml"}) << "a temporary file was left";
}

TEST_F(ConfigTest, StringsRoundTripByteForByte) {
  config.LoadXml();
  const Fields written[] = {
      {4, 4242, R"(/opt/a <b> & "c" 'd'/x)", R"(  -x "a b" & <y> 'z'  kestravCmdLine:;pid=4;guid={G})", "{G}"},
      {5, 0, "", "", ""},
      {6, 0xFFFFFFFF, R"(C:\svc\w.exe)", "&amp; &lt;", "{A-b}"},
  };
  for (const Fields& f : written) ASSERT_TRUE(config.AddNewProcConfig(Entry(f)));

  TestConfig reader(dir.Path());
  reader.SetSink(&sink);
  ASSERT_EQ(sink.calls, 1);
  ASSERT_EQ(sink.received.size(), 3u);
  auto read = sink.received.begin();
  for (const Fields& f : written) EXPECT_EQ(Of(*read++), f);
}

TEST_F(ConfigTest, EachLoadReplacesTheListAndSinkRemovalsStick) {
  WriteFile(file,
            "<kestravo>\n  <process hpid=\"2\" pid=\"abc\" exe=\"e\" />\n  <process pid=\"77\" cmdline=\"c\" />\n"
            "  <other hpid=\"9\" />\n  <process hpid=\"5\" />\n</kestravo>\n");
  ASSERT_TRUE(config.LoadXml());
  ASSERT_TRUE(config.LoadXml());
  std::list<ProcConfig> entries = config.GetEntries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(Of(entries.front()), Fields(2, 0, "e", "", ""));
  EXPECT_EQ(Of(*std::next(entries.begin())), Fields(0xFFFFFFFF, 77, "", "c", ""));

  sink.dropHpid = 2;
  config.SetSink(&sink);
  EXPECT_EQ(sink.calls, 1);
  EXPECT_EQ(sink.received.size(), 3u);
  entries = config.GetEntries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries.back().hpid, 5u);
  // The next rewrite drops it from the file as well.
  ASSERT_TRUE(config.DeleteProcConfig(99, ""));
  EXPECT_EQ(ReadFile(file).find("hpid=\"2\""), std::string::npos);
}

TEST(ConfigStore, ModuleDirIsTheExecutablesDirectory) {
  char exe[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  CKestravoConfig config;
  EXPECT_EQ(config.GetModuleDir(), std::filesystem::path(exe).parent_path().string());
}

}  // namespace
}  // namespace kestravo::test
