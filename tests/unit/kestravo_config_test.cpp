// The state file store: where kestravo.xml lives, when it is trusted, and how it is rewritten.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "state/kestravo_config.h"
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

// Records what the load handed it.
struct TestSink : IConfigSink {
  int32_t OnConfigNotify(std::list<ProcConfig>& list) override {
    ++calls;
    received = list;
    return 0;
  }
  int calls = 0;
  std::list<ProcConfig> received;
};

ProcConfig Entry(uint32_t hpid, const std::string& guid) { return {hpid + 100, hpid, "/x/" + guid, "c " + guid, guid, {}}; }

// Owner-only, as the library writes it: a looser umask must not make the file untrusted.
void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
  chmod(path.c_str(), 0600);
}

// Sets (or, for null, unsets) the two variables that choose the state directory.
void StateDirVariables(const char* own, const char* systemd) {
  own ? setenv("KESTRAVO_STATE_DIR", own, 1) : unsetenv("KESTRAVO_STATE_DIR");
  systemd ? setenv("STATE_DIRECTORY", systemd, 1) : unsetenv("STATE_DIRECTORY");
}

struct ConfigTest : ::testing::Test {
  void TearDown() override { StateDirVariables(nullptr, nullptr); }
  TempDir dir;
  std::string file = dir.File("kestravo.xml");
  TestConfig config{dir.Path()};
  TestSink sink;
};

// A file anyone but this user could have written is not trusted, nor one too big to be ours, nor
// one with a second name. Something planted as the lock is neither written nor run without: the
// load fails as for a held lock.
TEST_F(ConfigTest, UntrustedFilesAreNotLoaded) {
  const std::string good = "<kestravo><process hpid=\"2\" pid=\"8\" guid=\"{2}\" /><process hpid=\"5\" pid=\"5\" guid=\"{5}\" /></kestravo>";
  auto mode = [](mode_t m) { return [m](const std::string& p) { return chmod(p.c_str(), m) == 0; }; };
  const std::pair<const char*, std::function<bool(const std::string& path)>> cases[] = {
      {"writable by group or others (mode 0602)", mode(0602)}, {"writable by group or others (mode 0620)", mode(0620)},
      {"16777217 bytes", [](const std::string& p) { return truncate(p.c_str(), kMaxStateFileSize + 1) == 0; }},
      {"owned by uid 4321", [](const std::string& p) { return geteuid() == 0 && chown(p.c_str(), 4321, 4321) == 0; }},
      {"a symbolic link",
       [](const std::string& p) { return rename(p.c_str(), (p + ".real").c_str()) == 0 && symlink((p + ".real").c_str(), p.c_str()) == 0; }},
      {"2 links", [](const std::string& p) { return std::filesystem::remove(p + ".other"), link(p.c_str(), (p + ".other").c_str()) == 0; }},
  };
  config.SetSink(&sink);
  for (const auto& [logged, spoil] : cases) {
    std::filesystem::remove(file);
    WriteFile(file, good);
    if (!spoil(file)) continue;  // chown needs root
    LogCapture log;
    EXPECT_FALSE(config.LoadXml()) << logged;
    EXPECT_EQ(log.Count({logged, "state file not trusted", "[0x01900014]"}), 1) << logged;
    EXPECT_EQ(log.Count({}, "WARN "), 1) << logged;
  }
  EXPECT_EQ(sink.calls, 0);
  std::filesystem::remove(file);
  WriteFile(file, good);  // the same text, trusted, loads

  const std::string lock = file + ".lock", victim = dir.File("victim");
  const std::pair<const char*, std::function<bool()>> planted[] = {
      {"a directory", [&] { return std::filesystem::create_directory(lock); }},
      {"a symbolic link", [&] { return symlink(victim.c_str(), lock.c_str()) == 0; }},
      {"a file with more than one link", [&] { return link(victim.c_str(), lock.c_str()) == 0; }},
      {"not a regular file", [&] { return mkfifo(lock.c_str(), 0600) == 0; }},
      {"a file of another user", [&] { return geteuid() == 0 && (WriteFile(lock, ""), chown(lock.c_str(), 65534, 65534) == 0); }},
  };
  for (const auto& [reason, plant] : planted) {
    config.ReleaseStateFile();
    std::filesystem::remove(lock);
    WriteFile(victim, "precious\n");
    if (!plant()) continue;  // chown needs root
    LogCapture log;
    EXPECT_FALSE(config.LoadXml()) << reason;
    EXPECT_TRUE(config.StateFileBusy()) << reason;
    EXPECT_EQ(log.Count({std::string("[lockPath=") + lock + ",reason=" + reason + "]", "is not this host's own file", "[0x01900014]"}), 1)
        << reason;
    EXPECT_EQ(FileText(victim), "precious\n") << reason;
    EXPECT_EQ(sink.calls, 0) << reason;
  }
  std::filesystem::remove(lock);
  EXPECT_TRUE(config.LoadXml());
  EXPECT_FALSE(config.StateFileBusy());
  EXPECT_EQ(sink.received.size(), 2u);
}

TEST_F(ConfigTest, EachChangeRewritesTheWholeFileInPlaceOfTheOld) {
  config.LoadXml();  // sets the file's path
  ASSERT_TRUE(config.AddNewProcConfig({100, 3, "/x/a", "c1", "{G3}", {}}));
  ASSERT_TRUE(config.AddNewProcConfig({200, 0, "/x/b", "c2", "{G0}", {}}));
  ASSERT_TRUE(config.AddNewProcConfig({101, 3, "/y/a", "c1b", "{OTHER}", {}}));  // a reused hpid is a new child
  EXPECT_FALSE(config.AddNewProcConfig(Entry(1024, "{G1024}")));
  const std::string text = FileText(file);
  EXPECT_EQ(text, "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<kestravo>\n"
                  "    <process hpid=\"3\" pid=\"101\" exe=\"/y/a\" cmdline=\"c1b\" guid=\"{OTHER}\" />\n"
                  "    <process hpid=\"0\" pid=\"200\" exe=\"/x/b\" cmdline=\"c2\" guid=\"{G0}\" />\n</kestravo>\n");

  struct stat before {}, after {};
  ASSERT_EQ(stat(file.c_str(), &before), 0);
  ASSERT_TRUE(config.DeleteProcConfig(3, "{G0}"));  // another record's guid: kept
  ASSERT_EQ(stat(file.c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino) << "the file was not replaced";
  EXPECT_EQ(FileText(file), text);
  ASSERT_TRUE(config.DeleteProcConfig(3, "{OTHER}"));
  EXPECT_EQ(FileText(file).find("hpid=\"3\""), std::string::npos);
  ASSERT_EQ(stat(file.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 0777, 0600u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 2) << "a temporary file was left";  // and the lock

  // A deferred add reaches the file at a flush once old enough, or with the next rewrite.
  ASSERT_TRUE(config.AddNewProcConfig(Entry(1, "{G1}"), true));
  config.FlushDeferred(60000);
  EXPECT_EQ(FileText(file).find("{G1}"), std::string::npos);
  config.FlushDeferred(0);
  EXPECT_NE(FileText(file).find("{G1}"), std::string::npos);
  ASSERT_TRUE(config.AddNewProcConfig(Entry(2, "{G2}"), true));
  ASSERT_TRUE(config.DeleteProcConfig(1, "{G1}"));
  EXPECT_NE(FileText(file).find("{G2}"), std::string::npos);
  ASSERT_TRUE(config.AddNewProcConfig(Entry(1, "{G1b}")) && config.AddNewProcConfig(Entry(1, "{G1c}")));  // removed, reused twice
  EXPECT_EQ(config.GetEntries().size(), 3u);

  // A child that changes its settings at every message: no rewrite until the first change is
  // due, then one with the last; an unchanged or unknown entry asks for none; a release writes
  // what is pending, and the next load has it.
  const ProcConfig child = Entry(1, "{G1c}");
  const std::string ready = FileText(file);
  ASSERT_EQ(stat(file.c_str(), &before), 0);
  ChildSettings said;
  for (said.stopGraceMs = 1; said.stopGraceMs <= 100; ++said.stopGraceMs) {
    EXPECT_TRUE(config.UpdateProcSettings(1, "{G1c}", child.pid, said, 60000));
  }
  said.stopGraceMs = 100;
  EXPECT_FALSE(config.UpdateProcSettings(1, "{G1c}", child.pid, said, 0));
  EXPECT_FALSE(config.UpdateProcSettings(1, "{G1b}", child.pid, ChildSettings{}, 0));
  const uint32_t dueIn = config.FlushDeferred(0);
  EXPECT_TRUE(dueIn >= 1 && dueIn <= 60000) << dueIn;
  ASSERT_EQ(stat(file.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino) << "rewritten before the change was due";
  EXPECT_EQ(FileText(file), ready);
  said.restart = RestartPolicy::kNever;
  EXPECT_TRUE(config.UpdateProcSettings(1, "{G1c}", child.pid, said, 0));  // due at once
  EXPECT_EQ(config.FlushDeferred(60000), CKestravoConfig::kNothingDue);
  EXPECT_NE(FileText(file).find("notify=\"KESTRAVO_RESTART=never KESTRAVO_STOP_GRACE_MS=100\""), std::string::npos) << FileText(file);
  EXPECT_EQ(config.FlushDeferred(0), CKestravoConfig::kNothingDue);
  said.stopGraceMs = 7;
  EXPECT_TRUE(config.UpdateProcSettings(1, "{G1c}", child.pid, said, 60000));
  config.ReleaseStateFile();
  EXPECT_NE(FileText(file).find("KESTRAVO_STOP_GRACE_MS=7\""), std::string::npos) << FileText(file);
  config.SetSink(&sink);
  auto adopted = std::find_if(sink.received.begin(), sink.received.end(), [](const ProcConfig& e) { return e.guid == "{G1c}"; });
  ASSERT_NE(adopted, sink.received.end());
  EXPECT_EQ(adopted->settings, said);
}

// The sink gets its copy with no lock of the store held (it calls the host, which may call the
// library from another thread), and the entries it drops leave the store.
TEST_F(ConfigTest, TheLoadedListIsHandedOverWithNoLockHeld) {
  WriteFile(file, "<kestravo><process hpid=\"2\" pid=\"8\" guid=\"{2}\" /><process hpid=\"5\" pid=\"5\" guid=\"{5}\" /></kestravo>");
  struct DroppingSink : IConfigSink {
    int32_t OnConfigNotify(std::list<ProcConfig>& list) override {
      // Joined after the load: with the lock held here it could not end before.
      other = std::thread([this] { answered = !store->GetEntries().empty(); });
      answeredMeanwhile = WaitFor([this] { return answered.load(); });
      list.remove_if([](const ProcConfig& entry) { return entry.hpid == 2; });
      return 0;
    }
    CKestravoConfig* store = nullptr;
    std::thread other;
    std::atomic<bool> answered{false};
    bool answeredMeanwhile = false;
  } dropping;
  dropping.store = &config;
  config.SetSink(&dropping);
  dropping.other.join();
  EXPECT_TRUE(dropping.answeredMeanwhile);
  const std::list<ProcConfig> left = config.GetEntries();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left.front().guid, "{5}");
}

// KESTRAVO_STATE_DIR first, else the first entry of STATE_DIRECTORY, else beside the executable:
// the file is loaded from there and rewritten there, and nowhere else. Without a directory the
// file can be written in, the load says so once (naming the directory and the variable that
// would fix it), nothing is recovered or saved, and a missing directory is not created.
TEST_F(ConfigTest, TheStateDirectoryIsChosenByTheEnvironmentFirst) {
  TempDir own, systemd;
  WriteFile(dir.File("plain"), "");
  const std::string missing = dir.File("missing"), underFile = dir.File("plain/sub");
  const std::string both = systemd.Path() + ":" + own.Path(), missingList = missing + ":" + dir.Path();
  const std::string* all[] = {&own.Path(), &systemd.Path(), &dir.Path()};
  const struct {
    std::string moduleDir;
    const char* own;
    const char* systemd;
    const std::string* expected;  // null: none can be used
    std::string logged;
  } cases[] = {
      {dir.Path(), own.Path().c_str(), both.c_str(), &own.Path(), ""},
      {dir.Path(), "", both.c_str(), &systemd.Path(), ""},
      {dir.Path(), nullptr, "", &dir.Path(), ""},
      {"", nullptr, nullptr, nullptr, "the host's executable path cannot be read"},  // not "/kestravo.xml"
      {missing, nullptr, nullptr, nullptr, "[stateDir=" + missing + ",chosenBy=the executable's directory,error=2,"},
      {dir.Path(), underFile.c_str(), nullptr, nullptr, "[stateDir=" + underFile + ",chosenBy=KESTRAVO_STATE_DIR,error=20,"},
      {dir.Path(), nullptr, missingList.c_str(), nullptr, "[stateDir=" + missing + ",chosenBy=STATE_DIRECTORY,error=2,"},
  };
  const bool rootFileBefore = std::filesystem::exists("/kestravo.xml");
  for (const auto& c : cases) {
    for (const std::string* d : all) WriteFile(*d + "/kestravo.xml", "<kestravo><process hpid=\"3\" pid=\"3\" guid=\"" + *d + "\" /></kestravo>");
    StateDirVariables(c.own, c.systemd);
    TestConfig where(c.moduleDir);
    TestSink recovered;
    LogCapture log;
    where.SetSink(&recovered);
    EXPECT_EQ(where.AddNewProcConfig(Entry(4, "{new}")), c.expected != nullptr) << c.logged;
    EXPECT_EQ(recovered.received.empty() ? "" : recovered.received.front().guid, c.expected ? *c.expected : "") << c.logged;
    for (const std::string* d : all)
      EXPECT_EQ(FileText(*d + "/kestravo.xml").find("{new}") != std::string::npos, d == c.expected) << c.logged << " " << *d;
    if (c.expected) continue;
    const bool noDir = c.moduleDir.empty();
    EXPECT_EQ(log.Count({c.logged, noDir ? "" : "set KESTRAVO_STATE_DIR"}), 1) << c.logged;
    EXPECT_EQ(log.Count({}, noDir ? "WARN " : "ERROR "), 1) << c.logged;
    EXPECT_FALSE(std::filesystem::exists(missing));
  }
  EXPECT_EQ(std::filesystem::exists("/kestravo.xml"), rootFileBefore);
  if (!rootFileBefore) std::filesystem::remove("/kestravo.xml");
}

}  // namespace
}  // namespace kestravo::test
