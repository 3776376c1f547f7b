// The state file store: loading, rewriting and round-tripping kestravo.xml.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
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

// Owner-only, as the library writes it: a looser umask must not make the file untrusted.
void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
  chmod(path.c_str(), 0600);
}

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
  const std::string good = "<kestravo><process hpid=\"1\" pid=\"2\" guid=\"{G}\" /></kestravo>";
  struct Case {
    std::string text;
    bool loads;
    const char* logged;  // null: no warning
    std::function<bool(const std::string& path)> spoil;  // then makes the file untrusted; false: skip
  };
  auto mode = [](mode_t m) { return [m](const std::string& path) { return chmod(path.c_str(), m) == 0; }; };
  const Case cases[] = {
      {"", false, "load config fail", {}},
      {"this is not xml", false, "load config fail", {}},
      {"<kestravo><process hpid=\"1\"", false, "load config fail", {}},
      {"<?xml version=\"1.0\" ?><!-- nothing -->", false, "parse config fail, no root", {}},
      {"<other><process hpid=\"1\" /></other>", false, "parse config fail, no kestravo", {}},
      {"<?xml version=\"1.0\" ?><kestravo><other hpid=\"1\" /></kestravo>", true, nullptr, {}},
      {good, false, "reason=writable by group or others (mode 0666)]state file not trusted", mode(0666)},
      {good, false, "reason=writable by group or others (mode 0620)]state file not trusted", mode(0620)},
      {good, false, "reason=16777217 bytes, more than 16777216]state file not trusted",
       [](const std::string& path) { return truncate(path.c_str(), kMaxStateFileSize + 1) == 0; }},
      {good, false, "reason=owned by uid 4321, not by uid 0]state file not trusted",
       [](const std::string& path) { return geteuid() == 0 && chown(path.c_str(), 4321, 4321) == 0; }},
      {good, false, "reason=a symbolic link]state file not trusted",
       [](const std::string& path) {
         return rename(path.c_str(), (path + ".real").c_str()) == 0 && symlink((path + ".real").c_str(), path.c_str()) == 0;
       }},
  };
  config.SetSink(&sink);
  for (const Case& c : cases) {
    LogCapture log;
    std::filesystem::remove(file);
    WriteFile(file, c.text);
    if (c.spoil && !c.spoil(file)) continue;  // chown needs root
    EXPECT_EQ(config.LoadXml(), c.loads) << c.text;
    EXPECT_EQ(Warnings(log), c.logged ? 1 : 0) << c.text;
    EXPECT_TRUE(!c.logged || log.Has({c.logged, "[0x01900014]"})) << c.text << (c.logged ? c.logged : "");
    EXPECT_TRUE(config.GetEntries().empty());
  }
  EXPECT_EQ(sink.calls, 0);
  std::filesystem::remove(file);
  WriteFile(file, good);  // the same text, trusted, loads
  EXPECT_TRUE(config.LoadXml());
  EXPECT_EQ(sink.calls, 1);
}

TEST_F(ConfigTest, AddUpdateAndDeleteRewriteTheFile) {
  config.LoadXml();  // sets the file's path
  ASSERT_TRUE(config.AddNewProcConfig(Entry({3, 100, "/x/a", "c1", "{G3}"})));
  ASSERT_TRUE(config.AddNewProcConfig(Entry({0, 200, "/x/b", "c2", "{G0}"})));
  ASSERT_TRUE(config.AddNewProcConfig(Entry({3, 101, "/y/a", "c1b", "{OTHER}"})));
  std::string text = ReadFile(file);
  EXPECT_EQ(text,
            "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<kestravo>\n"
            "    <process hpid=\"3\" pid=\"101\" exe=\"/y/a\" cmdline=\"c1b\" guid=\"{OTHER}\" />\n"
            "    <process hpid=\"0\" pid=\"200\" exe=\"/x/b\" cmdline=\"c2\" guid=\"{G0}\" />\n"
            "</kestravo>\n");
  std::list<ProcConfig> entries = config.GetEntries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(Of(entries.front()), Fields(3, 101, "/y/a", "c1b", "{OTHER}"));  // a reused hpid is a new child
  EXPECT_FALSE(config.AddNewProcConfig(Entry({1024, 300, "/x/c", "c3", "{G1024}"})));
  EXPECT_EQ(config.GetEntries().size(), 2u);
  EXPECT_EQ(ReadFile(file), text);

  struct stat before {}, after {};
  ASSERT_EQ(stat(file.c_str(), &before), 0);
  LogCapture log;
  ASSERT_TRUE(config.DeleteProcConfig(3, "{G0}"));  // another record's guid: kept
  ASSERT_EQ(stat(file.c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino) << "the file was not rewritten";
  EXPECT_EQ(ReadFile(file), text);
  EXPECT_FALSE(log.Has({"delete config"}));

  ASSERT_TRUE(config.DeleteProcConfig(3, "{OTHER}"));
  EXPECT_EQ(ReadFile(file).find("hpid=\"3\""), std::string::npos);
  ASSERT_EQ(stat(file.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 0777, 0600u);
  std::vector<std::string> names;
  for (const auto& item : std::filesystem::directory_iterator(dir.Path())) names.push_back(item.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"kestravo.xml"}) << "a temporary file was left";
}

TEST_F(ConfigTest, DeferredAddsReachTheFileAtAFlushOrWithTheNextRewrite) {
  config.LoadXml();
  ASSERT_TRUE(config.AddNewProcConfig(Entry({1, 100, "/x/a", "c1", "{G1}"}), true));
  EXPECT_FALSE(std::filesystem::exists(file));
  config.FlushDeferred(60000);  // too young to be flushed
  EXPECT_FALSE(std::filesystem::exists(file));
  config.FlushDeferred(0);
  EXPECT_NE(ReadFile(file).find("guid=\"{G1}\""), std::string::npos);

  ASSERT_TRUE(config.AddNewProcConfig(Entry({2, 200, "/x/b", "c2", "{G2}"}), true));
  ASSERT_TRUE(config.DeleteProcConfig(1, "{G1}"));  // rewrites, the deferred entry with it
  std::string text = ReadFile(file);
  EXPECT_EQ(text.find("{G1}"), std::string::npos);
  EXPECT_NE(text.find("guid=\"{G2}\""), std::string::npos);
}

TEST_F(ConfigTest, StringsRoundTripByteForByte) {
  config.LoadXml();
  const Fields written[] = {
      {4, 4242, R"(/opt/a <b> & "c" 'd'/x)", R"(  -x "a b" & <y> 'z'  kestravCmdLine:;pid=4;guid={G})", "{G}"},
      {5, 1, "", "", "{g}"},
      {1023, 0x7FFFFFFF, R"(C:\svc\w.exe)", "&amp; &lt;", "{A-b}"},
      // Not UTF-8: a Latin-1 0xE9 before a quote or an entity, and a lone lead byte at the end.
      {7, 7, "/opt/caf\xE9", "-n \"Caf\xE9\" \xCD& \xF0<", "{g}\xC3"},
  };
  for (const Fields& f : written) ASSERT_TRUE(config.AddNewProcConfig(Entry(f)));

  TestConfig reader(dir.Path());
  reader.SetSink(&sink);
  ASSERT_EQ(sink.calls, 1);
  ASSERT_EQ(sink.received.size(), 4u);
  auto read = sink.received.begin();
  for (const Fields& f : written) EXPECT_EQ(Of(*read++), f);
}

TEST_F(ConfigTest, EntriesWithBadNumbersOrNoGuidAreSkipped) {
  struct Case {
    std::string attributes;  // of one "process" element between two good ones
    bool kept;
  };
  const Case cases[] = {
      {R"(hpid="abc" pid="7" guid="{g}")", false}, {R"(hpid="-1" pid="7" guid="{g}")", false},
      {R"(hpid="1024" pid="7" guid="{g}")", false}, {R"(hpid="+3" pid="7" guid="{g}")", false},
      {R"(hpid=" 3" pid="7" guid="{g}")", false}, {R"(hpid="3x" pid="7" guid="{g}")", false},
      {R"(hpid="99999999999" pid="7" guid="{g}")", false}, {R"(hpid="" pid="7" guid="{g}")", false},
      {R"(pid="7" guid="{g}")", false}, {R"(hpid="3" pid="abc" guid="{g}")", false},
      {R"(hpid="3" pid="-1" guid="{g}")", false}, {R"(hpid="3" pid="0" guid="{g}")", false},
      {R"(hpid="3" pid="+3" guid="{g}")", false}, {R"(hpid="3" pid=" 3" guid="{g}")", false},
      {R"(hpid="3" pid="3x" guid="{g}")", false}, {R"(hpid="3" pid="99999999999" guid="{g}")", false},
      {R"(hpid="3" pid="2147483648" guid="{g}")", false}, {R"(hpid="3" guid="{g}")", false},
      {R"(hpid="3" pid="7")", false}, {R"(hpid="3" pid="7" guid="")", false},
      {R"(hpid="0" pid="7" guid="{g}")", false},  // the hpid of the first entry
      {R"(hpid="1023" pid="2147483647" guid="{g}")", true}, {R"(hpid="3" pid="7" guid="{g}")", true},
  };
  config.SetSink(&sink);
  for (const Case& c : cases) {
    LogCapture log;
    WriteFile(file, "<kestravo><process hpid=\"0\" pid=\"1\" guid=\"{a}\" /><process " + c.attributes +
                        " exe=\"x\" /><process hpid=\"2\" pid=\"2\" guid=\"{b}\" /></kestravo>");
    ASSERT_TRUE(config.LoadXml()) << c.attributes;
    std::list<ProcConfig> entries = config.GetEntries();
    ASSERT_EQ(entries.size(), c.kept ? 3u : 2u) << c.attributes;
    EXPECT_EQ(Of(entries.front()), Fields(0, 1, "", "", "{a}")) << c.attributes;
    EXPECT_EQ(Of(entries.back()), Fields(2, 2, "", "", "{b}")) << c.attributes;
    EXPECT_EQ(log.Count({"[0x01900014]", "exe=x,problem=", "]process config skipped"}), c.kept ? 0 : 1) << c.attributes;
  }
}

TEST_F(ConfigTest, EachLoadReplacesTheListAndSinkRemovalsStick) {
  WriteFile(file,
            "<kestravo>\n  <process hpid=\"2\" pid=\"8\" exe=\"e\" guid=\"{2}\" />\n"
            "  <process hpid=\"7\" pid=\"77\" cmdline=\"c\" guid=\"{7}\" />\n"
            "  <other hpid=\"9\" />\n  <process hpid=\"5\" pid=\"5\" guid=\"{5}\" />\n</kestravo>\n");
  ASSERT_TRUE(config.LoadXml());
  ASSERT_TRUE(config.LoadXml());
  std::list<ProcConfig> entries = config.GetEntries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(Of(entries.front()), Fields(2, 8, "e", "", "{2}"));
  EXPECT_EQ(Of(*std::next(entries.begin())), Fields(7, 77, "", "c", "{7}"));

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

// Sets (or, for null, unsets) the two variables that choose the state directory.
void StateDirVariables(const char* own, const char* systemd) {
  own ? setenv("KESTRAVO_STATE_DIR", own, 1) : unsetenv("KESTRAVO_STATE_DIR");
  systemd ? setenv("STATE_DIRECTORY", systemd, 1) : unsetenv("STATE_DIRECTORY");
}

// The file goes where KESTRAVO_STATE_DIR says, else the first entry of STATE_DIRECTORY, else
// beside the executable; it is loaded from there and rewritten there, and nowhere else.
TEST_F(ConfigTest, TheStateDirectoryIsChosenByTheEnvironmentFirst) {
  TempDir own, systemd;
  const std::string both = systemd.Path() + ":" + own.Path();
  struct Case {
    const char* own;
    const char* systemd;
    const std::string& expected;
  };
  const Case cases[] = {{own.Path().c_str(), both.c_str(), own.Path()},
                        {"", both.c_str(), systemd.Path()},
                        {nullptr, systemd.Path().c_str(), systemd.Path()},
                        {nullptr, "", dir.Path()}};
  for (const Case& c : cases) {
    StateDirVariables(c.own, c.systemd);
    for (const std::string& d : {own.Path(), systemd.Path(), dir.Path()}) std::filesystem::remove(d + "/kestravo.xml");
    WriteFile(c.expected + "/kestravo.xml", "<kestravo><process hpid=\"3\" pid=\"30\" guid=\"{3}\" /></kestravo>");
    TestSink recovered;
    config.SetSink(&recovered);
    ASSERT_EQ(recovered.received.size(), 1u) << c.expected;
    ASSERT_TRUE(config.AddNewProcConfig(Entry({4, 40, "e", "c", "{4}"}))) << c.expected;
    EXPECT_NE(ReadFile(c.expected + "/kestravo.xml").find("hpid=\"4\""), std::string::npos) << c.expected;
    for (const std::string& d : {own.Path(), systemd.Path(), dir.Path()})
      EXPECT_EQ(std::filesystem::exists(d + "/kestravo.xml"), d == c.expected) << c.expected << " " << d;
  }
  StateDirVariables(nullptr, nullptr);
}

// Without a directory the file can be written in, the load says so once, as an error that names
// the directory and the variable that would fix it; nothing is recovered, and no rewrite is tried.
// A missing directory is not created.
TEST_F(ConfigTest, WithoutAPlaceForTheFileNothingIsLoadedOrSavedAndEachFailureIsLoggedOnce) {
  WriteFile(dir.File("plain"), "");
  const std::string missing = dir.File("missing"), underFile = dir.File("plain/sub");
  const std::string missingList = missing + ":" + dir.Path();
  struct Case {
    std::string moduleDir;
    const char* own;
    const char* systemd;
    std::string logged;
  };
  const std::string unwritable = "cannot write the state directory: children of an earlier run are not recovered";
  const Case cases[] = {
      {"", nullptr, nullptr, "the host's executable path cannot be read"},  // not "/kestravo.xml"
      {missing, nullptr, nullptr, "[stateDir=" + missing + ",chosenBy=the executable's directory,error=2,"},
      {dir.Path(), missing.c_str(), nullptr, "[stateDir=" + missing + ",chosenBy=KESTRAVO_STATE_DIR,error=2,"},
      {dir.Path(), underFile.c_str(), nullptr, "[stateDir=" + underFile + ",chosenBy=KESTRAVO_STATE_DIR,error=20,"},
      {dir.Path(), nullptr, missingList.c_str(), "[stateDir=" + missing + ",chosenBy=STATE_DIRECTORY,error=2,"},
  };
  WriteFile(file, "<kestravo><process hpid=\"3\" pid=\"30\" guid=\"{3}\" /></kestravo>");
  const bool rootFileBefore = std::filesystem::exists("/kestravo.xml");
  for (const Case& c : cases) {
    StateDirVariables(c.own, c.systemd);
    TestConfig elsewhere(c.moduleDir);
    LogCapture log;
    elsewhere.SetSink(&sink);
    EXPECT_FALSE(elsewhere.LoadXml()) << c.logged;
    for (uint32_t hpid = 0; hpid < 2; ++hpid) EXPECT_FALSE(elsewhere.AddNewProcConfig(Entry({hpid, 9, "e", "c", "{g}"})));
    const bool noDir = c.moduleDir.empty();
    EXPECT_EQ(log.Count({c.logged, noDir ? "" : unwritable, noDir ? "" : "set KESTRAVO_STATE_DIR"}), 2) << c.logged;
    std::vector<std::string> levels;  // of every line but the INFO ones
    for (const LogLine& line : log.Lines())
      if (line.level != "INFO") levels.push_back(line.level);
    EXPECT_EQ(levels, std::vector<std::string>(2, noDir ? "WARN" : "ERROR")) << c.logged;
    EXPECT_FALSE(std::filesystem::exists(missing));
  }
  EXPECT_EQ(sink.calls, 0);
  StateDirVariables(nullptr, nullptr);
  EXPECT_EQ(std::filesystem::exists("/kestravo.xml"), rootFileBefore);
  if (!rootFileBefore) std::filesystem::remove("/kestravo.xml");
}

TEST(ConfigStore, ModuleDirIsTheExecutablesDirectory) {
  char exe[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  CKestravoConfig config;
  EXPECT_EQ(config.GetModuleDir(), std::filesystem::path(exe).parent_path().string());
}

}  // namespace
}  // namespace kestravo::test
