// A host that ends without Uninit leaves its children running; the next host in the same place
// hears of them and adopts them. A state file it cannot use does not keep a host from starting.
#include <gtest/gtest.h>
#include <kestravo.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include "host_harness.h"

namespace kestravo::test {
namespace {

// The children of a host that ended become this process's, so that the test can reap them.
class Recovery : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0); }

  // A first host starts three children (hpids 0, 1, 2) that wait on their stop events and is
  // killed with SIGKILL; then the middle child is killed too.
  void LeaveTwoOfThreeChildren() {
    {
      Host first(dir);
      ASSERT_EQ(first.Send("init").ret, 0);
      for (uint32_t hpid = 0; hpid < 3; ++hpid) {
        reports.push_back(dir.File(std::to_string(hpid) + ".report"));
        ASSERT_EQ(first.CreateHelper("stop", reports[hpid])["hpid"], hpid);
        pids.push_back(first.WaitRunning(hpid, reports[hpid]));
        ASSERT_GT(pids.back(), 0);
        // It opened its event while the host still held it.
        ASSERT_TRUE(WaitFor([&] { return BlockedOnFutex(pids.back()); }));
        started.push_back(ReadReport(reports[hpid]));
      }
      ASSERT_TRUE(WaitFor([&] { return dir.State().size() == 3; }));
      first.Kill9();
    }
    for (pid_t pid : pids) ASSERT_TRUE(ProcessAlive(pid));
    ASSERT_EQ(kill(pids[1], SIGKILL), 0);
    ASSERT_EQ(WaitExit(pids[1]), 128 + SIGKILL);
  }

  // The command line the library gave child hpid: the host's text, then the marker.
  std::string CmdLineOf(uint32_t hpid) {
    return "stop " + reports[hpid] + " kestravCmdLine:;pid=" + std::to_string(hpid) +
           ";guid=" + started[hpid]["guid"];
  }

  HostDir dir;
  std::vector<std::string> reports;
  std::vector<pid_t> pids;
  std::vector<Report> started;  // each child's first report
};

TEST_F(Recovery, NextHostHearsOfTheLivingChildrenAndAdoptsEachOnce) {
  ASSERT_NO_FATAL_FAILURE(LeaveTwoOfThreeChildren());
  Host second(dir);
  ASSERT_EQ(second.Send("setcb do 4 init;getpid $").ret, 0);
  ASSERT_EQ(second.Send("init").ret, 0);

  // The host wrote these before Init's answer: they came from inside Init, each survivor once,
  // in file order.
  std::vector<Message> reported = second.Messages();
  std::vector<uint32_t> order;
  for (const Message& m : reported) order.push_back(m.hpid);
  EXPECT_EQ(order, (std::vector<uint32_t>{0, 2}));
  for (const Message& m : reported) {
    ASSERT_EQ(m.type, static_cast<uint32_t>(MSG_ATTACHABLE));
    ASSERT_TRUE(m.hpid == 0 || m.hpid == 2);
    EXPECT_EQ(m.field.at("user"), "1");
    EXPECT_EQ(m.field.at("pid"), std::to_string(pids[m.hpid]));
    EXPECT_EQ(Unhex(m.field.at("cmd")), CmdLineOf(m.hpid));
    EXPECT_EQ(Unhex(m.field.at("exe")), HelperChild());
    // Calling in does not deadlock; an Init from here is counted once the first is done, which
    // is not yet.
    EXPECT_EQ(m.field.at("call"), "0,5");
  }
  EXPECT_EQ(LogLines(dir.Log(), "CProcessMgr::OnConfigNotify"),
            std::vector<std::string>{"INFO [CProcessMgr::OnConfigNotify(N)] - [pid=" +
                                     std::to_string(pids[1]) + ",error=87]process is not exist"});

  std::string p0 = std::to_string(pids[0]), p2 = std::to_string(pids[2]);
  EXPECT_EQ(second.Send("attach 0 " + p2).ret, 1);  // a pid of another entry
  EXPECT_EQ(second.Send("attach 1 " + std::to_string(pids[1])).ret, 1);  // dropped at load
  EXPECT_EQ(second.Send("attach 0 " + p0).ret, 0);
  EXPECT_EQ(second.Send("attach 0 " + p0).ret, 6);
  EXPECT_EQ(second.Send("attach 2 " + p2).ret, 0);
  EXPECT_EQ(second.Send("attach 2 " + p2).ret, 6);
  EXPECT_EQ(second.Send("attach 2 " + std::to_string(pids[2] + 1)).ret, 1);
  // Only the second attaches are logged, with the pid of the adopted record.
  EXPECT_EQ(LogLines(dir.Log(), "CProcessMgr::Attach"),
            (std::vector<std::string>{
                "INFO [CProcessMgr::Attach(N)] - [hpid=0,pid=" + p0 + "]process has already been attached!",
                "INFO [CProcessMgr::Attach(N)] - [hpid=2,pid=" + p2 + "]process has already been attached!"}));
  EXPECT_EQ(second.Send("getpid 0")["pid"], static_cast<uint32_t>(pids[0]));
  Reply managed = second.Send("ismanaged " + p2);
  EXPECT_EQ(managed.ret, 1);
  EXPECT_EQ(managed["hpid"], 2u);
  // The adoptions rewrote the file: the dropped child has left it.
  StateXml state = ReadStateXml(dir.File("kestravo.xml"));
  ASSERT_TRUE(state.loaded) << state.error;
  ASSERT_EQ(state.entries.size(), 2u);
  EXPECT_EQ(state.entries[0].hpid, 0u);
  EXPECT_EQ(state.entries[1].hpid, 2u);
  EXPECT_EQ(state.entries[1].cmdline, CmdLineOf(2));

  // The last Uninit (the two from the callback count) asks both through their events; they end
  // by themselves.
  for (int i = 0; i < 2; ++i) EXPECT_EQ(second.Send("uninit").ret, 0);
  EXPECT_TRUE(ProcessAlive(pids[0]));
  EXPECT_EQ(second.Send("uninit").ret, 0);
  EXPECT_EQ(WaitExit(pids[0]), 0);
  EXPECT_EQ(WaitExit(pids[2]), 0);
  EXPECT_EQ(second.Finish(), 0);
  EXPECT_TRUE(ZombieChildren().empty());
}

TEST_F(Recovery, AdoptedChildIsRestartedWhenItDiesAndEndsByItsEventWhenDestroyed) {
  ASSERT_NO_FATAL_FAILURE(LeaveTwoOfThreeChildren());
  Host second(dir);
  ASSERT_EQ(second.Send("setcb").ret, 0);
  ASSERT_EQ(second.Send("init").ret, 0);
  ASSERT_EQ(second.Send("attach 0 " + std::to_string(pids[0])).ret, 0);
  ASSERT_EQ(second.Send("attach 2 " + std::to_string(pids[2])).ret, 0);
  size_t attachable = second.Messages().size();

  // Killed: reported, and started again under its hpid with its old command line.
  ASSERT_EQ(kill(pids[2], SIGKILL), 0);
  EXPECT_EQ(WaitExit(pids[2]), 128 + SIGKILL);
  ASSERT_TRUE(second.WaitCount(2, MSG_RESTARTED, 1));
  std::vector<Message> after(second.Messages().begin() + attachable, second.Messages().end());
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[0].hpid, 2u);
  EXPECT_EQ(after[0].type, static_cast<uint32_t>(MSG_EXITED));
  EXPECT_EQ(after[1].hpid, 2u);
  EXPECT_EQ(after[1].type, static_cast<uint32_t>(MSG_RESTARTED));
  pid_t relaunched = second.WaitRunning(2, reports[2], pids[2]);
  ASSERT_GT(relaunched, 0);
  Report again = ReadReport(reports[2]);
  for (const char* key : {"argc", "arg1", "arg2", "arg3", "hpid", "guid"})
    EXPECT_EQ(again[key], started[2][key]) << key;
  EXPECT_TRUE(WaitFor([&] {
    StateXml state = ReadStateXml(dir.File("kestravo.xml"));
    return state.entries.size() == 2 && state.entries[1].hpid == 2 &&
           state.entries[1].pid == static_cast<uint32_t>(relaunched) &&
           state.entries[1].cmdline == CmdLineOf(2);
  })) << dir.StateText();

  // Destroyed: it receives its stop event and ends by itself, with 0; nothing is terminated.
  EXPECT_EQ(second.Send("destroy 0").ret, 0);
  EXPECT_EQ(WaitExit(pids[0]), 0);
  EXPECT_EQ(second.Send("destroy 2").ret, 0);
  EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(relaunched); }));
  for (const std::string& line : LogLines(dir.Log(), "CProcessLauncher::insideLaucherRoutine"))
    EXPECT_EQ(line.find("wait exit timeout"), std::string::npos) << line;
  EXPECT_EQ(second.Count(0, MSG_EXITED), 0u);
  EXPECT_EQ(second.Count(2, MSG_EXITED), 1u);
  // The entry leaves the file just after the destroy is confirmed.
  EXPECT_TRUE(WaitFor([&] {
    StateXml state = ReadStateXml(dir.File("kestravo.xml"));
    return state.loaded && state.entries.empty();
  })) << dir.StateText();
  EXPECT_TRUE(second.NoZombies());
  EXPECT_EQ(second.Send("uninit").ret, 0);
  EXPECT_EQ(second.Finish(), 0);
  EXPECT_TRUE(ZombieChildren().empty());
}

TEST_F(Recovery, KilledHostsChildIsAdoptedWithoutACallbackAndStoppedByUninit) {
  std::string report = dir.File("a.report");
  pid_t pid = 0;
  {
    Host first(dir);
    ASSERT_EQ(first.Send("init").ret, 0);
    ASSERT_EQ(first.CreateHelper("stop", report).ret, 0);
    pid = first.WaitRunning(0, report);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(WaitFor([&] { return BlockedOnFutex(pid); }));
    ASSERT_TRUE(WaitFor([&] { return dir.State().size() == 1; }));
    first.Kill9();
  }
  EXPECT_TRUE(ProcessAlive(pid));

  Host second(dir);
  ASSERT_EQ(second.Send("init").ret, 0);
  EXPECT_EQ(second.Send("attach 0 " + std::to_string(pid)).ret, 0);
  EXPECT_EQ(second.Send("uninit").ret, 0);
  EXPECT_EQ(WaitExit(pid), 0);  // asked through its stop event, not terminated
  EXPECT_TRUE(second.Messages().empty());
  EXPECT_EQ(second.Finish(), 0);
}

// Entries whose pid now names another program, has ended, or cannot be checked. Only the recorded
// child is reported and adopted; a stranger is never signalled; an entry is dropped only when its
// process is known to be gone.
TEST_F(Recovery, OnlyTheRecordedChildIsAdoptedAndOnlyAGoneOneIsDropped) {
  const std::string guid[] = {"{00000000-0000-4000-8000-000000000000}", "{11111111-1111-4111-8111-111111111111}",
                              "{22222222-2222-4222-8222-222222222222}", "{33333333-3333-4333-8333-333333333333}"};
  auto marker = [&](int hpid) { return "kestravCmdLine:;pid=" + std::to_string(hpid) + ";guid=" + guid[hpid]; };
  // hpid 0: a stranger (another GUID); 1: the child, with a command line longer than the report
  // holds; 2: ended; 3: the child, but it cannot be checked while the host is out of descriptors.
  std::string longArg(2000, 'w');
  pid_t stranger = SpawnPlain({HelperChild(), "ignore", dir.File("s"), marker(1) + "x"});
  pid_t child = SpawnPlain({HelperChild(), "ignore", dir.File("a"), longArg, marker(1)});
  pid_t ended = SpawnPlain({HelperChild(), "exit", "-", "0"});
  pid_t unchecked = SpawnPlain({HelperChild(), "ignore", dir.File("b"), marker(3)});
  ASSERT_EQ(WaitExit(ended), 0);
  const pid_t pid[] = {stranger, child, ended, unchecked};
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<kestravo>\n";
  for (int hpid = 0; hpid < 4; ++hpid) {
    xml += "    <process hpid=\"" + std::to_string(hpid) + "\" pid=\"" + std::to_string(pid[hpid]) + "\" exe=\"" +
           HelperChild() + "\" cmdline=\"ignore " + (hpid == 1 ? longArg + " " : "") + marker(hpid) +
           "\" guid=\"" + guid[hpid] + "\" />\n";
  }
  std::ofstream(dir.File("kestravo.xml")) << xml << "</kestravo>\n";
  ASSERT_EQ(chmod(dir.File("kestravo.xml").c_str(), 0600), 0);

  // Another user has taken the child's stop-event name and holds it locked: the child is adopted
  // all the same, promptly, and a stop will end it by force.
  struct Taken {
    std::string path;
    int fd;
    ~Taken() {
      if (fd >= 0 && unlink(path.c_str()) == 0) close(fd);
    }
  } taken{"/dev/shm/kestravo-ev." + guid[1], -1};
  if (geteuid() == 0) taken.fd = open(taken.path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (taken.fd >= 0) ASSERT_TRUE(fchown(taken.fd, 65534, 65534) == 0 && flock(taken.fd, LOCK_EX) == 0);

  Host second(dir);
  ASSERT_EQ(second.Send("setcb do 4 hogfds 0").ret, 0);
  ASSERT_EQ(second.Send("init").ret, 0);
  ASSERT_EQ(second.Messages().size(), 1u);
  const Message& report = second.Messages()[0];
  EXPECT_EQ(report.hpid, 1u);
  std::string cmd = Unhex(report.field.at("cmd"));
  EXPECT_EQ(cmd.size(), 1023u);
  EXPECT_EQ(cmd.substr(cmd.size() - marker(1).size()), marker(1));  // cut at the front
  std::string log = dir.Log();
  EXPECT_NE(log.find("[hpid=0,pid=" + std::to_string(stranger) + "]process is not the recorded child"), std::string::npos);
  EXPECT_NE(log.find("[pid=" + std::to_string(ended) + ",error=87]process is not exist"), std::string::npos);
  EXPECT_NE(log.find("[hpid=3,pid=" + std::to_string(unchecked) + ",error=4]process cannot be checked, entry kept"),
            std::string::npos) << log;

  EXPECT_EQ(second.Send("attach 1 " + std::to_string(child)).ret, 4);  // still out of descriptors
  EXPECT_EQ(second.Send("hogfds release").ret, 0);
  EXPECT_EQ(second.Send("attach 0 " + std::to_string(stranger)).ret, 1);
  EXPECT_EQ(second.Send("attach 3 " + std::to_string(unchecked)).ret, 1);  // not reported
  EXPECT_EQ(second.Send("attach 1 " + std::to_string(child), std::chrono::seconds(2)).ret, 0);
  if (taken.fd >= 0) {
    EXPECT_NE(dir.Log().find("[hpid=1,pid=" + std::to_string(child) + ",error=5]stop event cannot be opened"), std::string::npos);
  }
  std::vector<StateEntry> state = dir.State();
  ASSERT_EQ(state.size(), 2u) << dir.StateText();
  EXPECT_EQ(state[0].hpid, 1u);
  EXPECT_EQ(state[1].hpid, 3u);
  EXPECT_EQ(second.Send("uninit").ret, 0);
  EXPECT_EQ(WaitExit(child), 128 + SIGKILL);
  EXPECT_EQ(second.Finish(), 0);
  EXPECT_TRUE(ProcessAlive(stranger));

  // The next host, with descriptors to spare, finds the kept child.
  Host third(dir);
  ASSERT_EQ(third.Send("setcb").ret, 0);
  ASSERT_EQ(third.Send("init").ret, 0);
  ASSERT_EQ(third.Count(3, MSG_ATTACHABLE), 1u);
  EXPECT_EQ(third.Send("attach 3 " + std::to_string(unchecked)).ret, 0);
  EXPECT_EQ(third.Send("uninit").ret, 0);
  EXPECT_EQ(WaitExit(unchecked), 128 + SIGKILL);
  EXPECT_EQ(third.Finish(), 0);
  EXPECT_TRUE(ProcessAlive(stranger));
}

// A state file the host cannot use: what it holds (or is), and the load failure logged for it.
struct UnusableFile {
  const char* name;
  enum Kind { kMissing, kText, kDirectory, kFifo } kind;
  const char* text;
  const char* logged;  // after "WARN [CKestravoConfig::LoadXml(N)] [0x01900014] - "; %s: path
  mode_t mode = 0600;
  std::string subdir;  // of the host's directory
};

const char kOneEntry[] = "<?xml version=\"1.0\" ?>\n<kestravo><process hpid=\"0\" pid=\"1\" guid=\"{G}\" /></kestravo>\n";

const UnusableFile kUnusableFiles[] = {
    {"Missing", UnusableFile::kMissing, "", "[filePath=%s,errorId=2,errorDesc=Failed to open file]load config fail"},
    {"Empty", UnusableFile::kText, "", "[filePath=%s,errorId=12,errorDesc=Error document empty.]load config fail"},
    {"CutInAnAttribute", UnusableFile::kText,
     "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<kestravo>\n    <process hpid=\"0\" pid=\"5128\" exe=\"/bin/x\" cmd",
     "[filePath=%s,errorId=6,errorDesc=Error reading Attributes.]load config fail"},
    {"CutBeforeTheEndTag", UnusableFile::kText,
     "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<kestravo>\n    <process hpid=\"0\" pid=\"5128\" "
     "exe=\"/bin/x\" cmdline=\"a\" guid=\"g\" />\n",
     "[filePath=%s,errorId=8,errorDesc=Error reading end tag.]load config fail"},
    {"CutInTheRootName", UnusableFile::kText, "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<kest",
     "[filePath=%s,errorId=4,errorDesc=Failed to read Element name]load config fail"},
    {"CutAfterTheDeclaration", UnusableFile::kText, "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n",
     "parse config fail, no root"},
    {"NotXml", UnusableFile::kText, "hpid=0 pid=5128 exe=/bin/x\n",
     "[filePath=%s,errorId=12,errorDesc=Error document empty.]load config fail"},
    {"AnotherRoot", UnusableFile::kText,
     "<?xml version=\"1.0\" ?>\n<processes>\n    <process hpid=\"0\" pid=\"1\" exe=\"/bin/x\" />\n</processes>\n",
     "parse config fail, no kestravo"},
    {"Directory", UnusableFile::kDirectory, "", "[filePath=%s,errorId=2,errorDesc=Failed to open file]load config fail"},
    {"Fifo", UnusableFile::kFifo, "", "[filePath=%s,errorId=2,errorDesc=Failed to open file]load config fail"},
    {"WritableByOthers", UnusableFile::kText, kOneEntry,
     "[filePath=%s,reason=writable by group or others (mode 0666)]state file not trusted, not loaded", 0666},
    // A path longer than the 260 bytes of a Windows path, read whole.
    {"MissingInALongPath", UnusableFile::kMissing, "", "[filePath=%s,errorId=2,errorDesc=Failed to open file]load config fail",
     0600, "/" + std::string(150, 'a') + "/" + std::string(150, 'b')},
};

void PrintTo(const UnusableFile& file, std::ostream* out) { *out << file.name; }

class UnusableStateFile : public ::testing::TestWithParam<UnusableFile> {};

TEST_P(UnusableStateFile, HostStartsAndLogsTheLoadFailure) {
  const UnusableFile& file = GetParam();
  HostDir dir(file.subdir);
  std::string path = dir.File("kestravo.xml");
  switch (file.kind) {
    case UnusableFile::kMissing:
      break;
    case UnusableFile::kText:
      std::ofstream(path, std::ios::binary) << file.text;
      ASSERT_EQ(chmod(path.c_str(), file.mode), 0);
      break;
    case UnusableFile::kDirectory:
      ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
      break;
    case UnusableFile::kFifo:
      ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
      break;
  }
  Host host(dir);
  ASSERT_EQ(host.Send("setcb").ret, 0);
  ASSERT_EQ(host.Send("init").ret, 0);
  std::string logged = file.logged;
  size_t at = logged.find("%s");
  if (at != std::string::npos) logged.replace(at, 2, path);
  EXPECT_EQ(LogLines(dir.Log(), "CKestravoConfig::LoadXml"),
            (std::vector<std::string>{
                "INFO [CKestravoConfig::LoadXml(N)] - [filepath=" + path + "]load kestravo xml file",
                "WARN [CKestravoConfig::LoadXml(N)] [0x01900014] - " + logged}));

  // The host works as usual; a file it can replace now names the new child alone.
  std::string report = dir.File("a.report");
  ASSERT_EQ(host.CreateHelper("stop", report).ret, 0);
  pid_t pid = host.WaitRunning(0, report);
  EXPECT_GT(pid, 0);
  if (file.kind != UnusableFile::kDirectory) {
    EXPECT_TRUE(WaitFor([&] {
      StateXml state = ReadStateXml(path);
      return state.loaded && state.entries.size() == 1 && state.entries[0].pid == static_cast<uint32_t>(pid);
    })) << dir.StateText();
  }
  EXPECT_TRUE(host.Messages().empty());
  EXPECT_EQ(host.Send("uninit").ret, 0);
  EXPECT_EQ(host.Finish(), 0);
}

INSTANTIATE_TEST_SUITE_P(Recovery, UnusableStateFile, ::testing::ValuesIn(kUnusableFiles),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestravo::test
