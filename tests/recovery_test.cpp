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

  // A first host starts children (hpids 0, 1, ...) with these command lines, each waiting on its
  // stop event, and is killed with SIGKILL.
  void LeaveChildren(const std::vector<std::string>& extras) {
    Host first(dir);
    ASSERT_EQ(first.Send("init").ret, 0);
    for (uint32_t hpid = 0; hpid < extras.size(); ++hpid) {
      reports.push_back(dir.File(std::to_string(hpid) + ".report"));
      std::string cmd = "stop " + reports[hpid] + " " + extras[hpid];
      ASSERT_EQ(first.Send("create " + HexArg(HelperChild()) + " " + HexArg(cmd))["out"], hpid);
      pids.push_back(first.WaitRunning(hpid, reports[hpid]));
      ASSERT_GT(pids.back(), 0);
      ASSERT_TRUE(WaitFor([&] { return BlockedOnFutex(pids.back()); }));  // opened while the host held it
      cmdLines.push_back(cmd + "kestravCmdLine:;pid=" + std::to_string(hpid) + ";guid=" + ReadReport(reports[hpid])["guid"]);
    }
    ASSERT_TRUE(WaitFor([&] { return dir.State().size() == extras.size(); }));
    first.Kill9();
    for (pid_t pid : pids) ASSERT_TRUE(ProcessAlive(pid));
  }

  HostDir dir;
  std::vector<std::string> reports, cmdLines;
  std::vector<pid_t> pids;
};

TEST_F(Recovery, NextHostHearsOfTheLivingChildrenAdoptsEachOnceAndSupervisesThem) {
  ASSERT_NO_FATAL_FAILURE(LeaveChildren({"", "", "-v "}));
  ASSERT_EQ(kill(pids[1], SIGKILL), 0);
  ASSERT_EQ(WaitExit(pids[1]), 128 + SIGKILL);
  Host second(dir);
  ASSERT_EQ(second.Send("setcb do 4 init;getpid $").ret, 0);
  ASSERT_EQ(second.Send("init").ret, 0);

  // Written before Init's answer: from inside Init, each survivor once, in file order. Calling in
  // does not deadlock; an Init from there counts once the first is done, which is not yet.
  std::vector<Message> reported = second.Messages();
  ASSERT_EQ(reported.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    uint32_t hpid = i * 2;
    EXPECT_EQ(reported[i].hpid, hpid);
    EXPECT_EQ(reported[i].type, static_cast<uint32_t>(MSG_ATTACHABLE));
    EXPECT_EQ(reported[i].field.at("user"), "1");
    EXPECT_EQ(reported[i].field.at("pid"), std::to_string(pids[hpid]));
    EXPECT_EQ(Unhex(reported[i].field.at("cmd")), cmdLines[hpid]);
    EXPECT_EQ(Unhex(reported[i].field.at("exe")), HelperChild());
    EXPECT_EQ(reported[i].field.at("call"), "0,5");
  }
  EXPECT_EQ(LinesWith(dir.Log(), {"[pid=" + std::to_string(pids[1]) + ",", "process is not exist"}), 1u);

  std::string p0 = std::to_string(pids[0]), p2 = std::to_string(pids[2]);
  const std::pair<std::string, int> attaches[] = {
      {"attach 0 " + p2, 1}, {"attach 1 " + std::to_string(pids[1]), 1},  // another's pid; dropped at load
      {"attach 0 " + p0, 0}, {"attach 0 " + p0, 6}, {"attach 2 " + p2, 0}, {"attach 2 " + p2, 6},
      {"attach 2 " + std::to_string(pids[2] + 1), 1}, {"attach 1024 " + p2, 1}};
  for (const auto& [call, ret] : attaches) EXPECT_EQ(second.Send(call).ret, ret) << call;
  EXPECT_EQ(second.Send("getpid 0")["out"], static_cast<uint32_t>(pids[0]));
  EXPECT_EQ(second.Send("ismanaged " + p2)["out"], 2u);
  // The adoptions rewrote the file: the dropped child has left it.
  StateXml state = ReadStateXml(dir.File("kestravo.xml"));
  ASSERT_EQ(state.entries.size(), 2u) << dir.StateText();
  EXPECT_EQ(state.entries[1].cmdline, cmdLines[2]);

  // Killed: reported, and started again under its hpid with its old command line.
  ASSERT_EQ(kill(pids[2], SIGKILL), 0);
  EXPECT_EQ(WaitExit(pids[2]), 128 + SIGKILL);
  ASSERT_TRUE(second.WaitCount(2, MSG_RESTARTED, 1));
  EXPECT_EQ(second.Count(2, MSG_EXITED), 1u);
  pid_t relaunched = second.WaitRunning(2, reports[2], pids[2]);
  ASSERT_GT(relaunched, 0);
  EXPECT_EQ(ReadReport(reports[2])["arg3"], "-v");
  EXPECT_TRUE(WaitFor([&] {
    std::vector<StateEntry> entries = dir.State();
    return entries.size() == 2 && entries[1].pid == static_cast<uint32_t>(relaunched) && entries[1].cmdline == cmdLines[2];
  })) << dir.StateText();

  // Destroyed: it hears its stop event and ends by itself, with 0; the entry leaves the file.
  EXPECT_EQ(second.Send("destroy 0").ret, 0);
  EXPECT_EQ(WaitExit(pids[0]), 0);
  EXPECT_TRUE(WaitFor([&] { return dir.State().size() == 1; })) << dir.StateText();
  EXPECT_EQ(second.Count(0, MSG_EXITED), 0u);
  // The last Uninit (the two from the callback count) asks the rest through their events.
  for (int i = 0; i < 2; ++i) EXPECT_EQ(second.Send("uninit").ret, 0);
  EXPECT_TRUE(ProcessAlive(relaunched));
  EXPECT_EQ(second.Send("uninit").ret, 0);
  EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(relaunched); }));
  EXPECT_EQ(LinesWith(dir.Log(), {"wait exit timeout"}), 0u);
  EXPECT_EQ(second.Finish(), 0);
  EXPECT_TRUE(ZombieChildren().empty());
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
    xml += "<process hpid=\"" + std::to_string(hpid) + "\" pid=\"" + std::to_string(pid[hpid]) + "\" exe=\"" + HelperChild() +
           "\" cmdline=\"ignore " + (hpid == 1 ? longArg + " " : "") + marker(hpid) + "\" guid=\"" + guid[hpid] + "\" />\n";
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
  if (taken.fd >= 0) { ASSERT_TRUE(fchown(taken.fd, 65534, 65534) == 0 && flock(taken.fd, LOCK_EX) == 0); }

  Host second(dir);
  ASSERT_EQ(second.Send("setcb do 4 hogfds 0").ret, 0);
  ASSERT_EQ(second.Send("init").ret, 0);
  ASSERT_EQ(second.Messages().size(), 1u);
  EXPECT_EQ(second.Messages()[0].hpid, 1u);
  std::string cmd = Unhex(second.Messages()[0].field.at("cmd"));
  EXPECT_EQ(cmd.size(), 1023u);
  EXPECT_EQ(cmd.substr(cmd.size() - marker(1).size()), marker(1));  // cut at the front
  std::string log = dir.Log();
  EXPECT_EQ(LinesWith(log, {"[hpid=0,pid=" + std::to_string(stranger) + "]", "not the recorded child"}), 1u);
  EXPECT_EQ(LinesWith(log, {"[pid=" + std::to_string(ended) + ",", "process is not exist"}), 1u);
  EXPECT_EQ(LinesWith(log, {"[hpid=3,pid=" + std::to_string(unchecked) + ",", "entry kept"}), 1u) << log;

  EXPECT_EQ(second.Send("attach 1 " + std::to_string(child)).ret, 4);  // still out of descriptors
  EXPECT_EQ(second.Send("hogfds release").ret, 0);
  EXPECT_EQ(second.Send("attach 0 " + std::to_string(stranger)).ret, 1);
  EXPECT_EQ(second.Send("attach 3 " + std::to_string(unchecked)).ret, 1);  // not reported
  EXPECT_EQ(second.Send("attach 1 " + std::to_string(child), std::chrono::seconds(2)).ret, 0);
  if (taken.fd >= 0) { EXPECT_EQ(LinesWith(dir.Log(), {"stop event cannot be opened"}), 1u); }
  std::vector<StateEntry> state = dir.State();
  ASSERT_EQ(state.size(), 2u) << dir.StateText();
  EXPECT_EQ(state[0].hpid, 1u);
  EXPECT_EQ(state[1].hpid, 3u);
  EXPECT_EQ(second.Send("uninit").ret, 0);
  EXPECT_EQ(WaitExit(child), 128 + SIGKILL);
  EXPECT_EQ(second.Finish(), 0);

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

// A state file the host cannot use, and the words its load failure is logged with.
struct UnusableFile {
  const char* name;
  enum Kind { kMissing, kText, kDirectory, kFifo } kind;
  const char* text;
  const char* logged;
  mode_t mode = 0600;
};

const UnusableFile kUnusableFiles[] = {
    {"Missing", UnusableFile::kMissing, "", "errorId=2,", 0600},
    {"Empty", UnusableFile::kText, "", "errorId=12,", 0600},
    {"CutInAnAttribute", UnusableFile::kText, "<?xml version=\"1.0\" ?>\n<kestravo>\n<process hpid=\"0\" pid=\"5128\" cmd", "errorId=6,", 0600},
    {"CutBeforeTheEndTag", UnusableFile::kText,
     "<?xml version=\"1.0\" ?>\n<kestravo>\n<process hpid=\"0\" pid=\"5128\" exe=\"/bin/x\" cmdline=\"a\" guid=\"g\" />\n", "errorId=8,", 0600},
    {"CutInTheRootName", UnusableFile::kText, "<?xml version=\"1.0\" ?>\n<kest", "errorId=4,", 0600},
    {"CutAfterTheDeclaration", UnusableFile::kText, "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n", "no root", 0600},
    {"NotXml", UnusableFile::kText, "hpid=0 pid=5128 exe=/bin/x\n", "errorId=12,", 0600},
    {"AnotherRoot", UnusableFile::kText, "<?xml version=\"1.0\" ?>\n<processes><process hpid=\"0\" pid=\"1\" /></processes>\n", "no kestravo", 0600},
    {"Directory", UnusableFile::kDirectory, "", "errorId=2,", 0600},
    {"Fifo", UnusableFile::kFifo, "", "errorId=2,", 0600},
    {"WritableByOthers", UnusableFile::kText, "<?xml version=\"1.0\" ?>\n<kestravo><process hpid=\"0\" pid=\"1\" guid=\"{G}\" /></kestravo>\n",
     "mode 0620", 0620},
};

void PrintTo(const UnusableFile& file, std::ostream* out) { *out << file.name; }

class UnusableStateFile : public ::testing::TestWithParam<UnusableFile> {};

TEST_P(UnusableStateFile, HostStartsAndLogsTheLoadFailure) {
  const UnusableFile& file = GetParam();
  HostDir dir;
  std::string path = dir.File("kestravo.xml");
  if (file.kind == UnusableFile::kText) {
    std::ofstream(path, std::ios::binary) << file.text;
    ASSERT_EQ(chmod(path.c_str(), file.mode), 0);
  }
  if (file.kind == UnusableFile::kDirectory) { ASSERT_EQ(mkdir(path.c_str(), 0700), 0); }
  if (file.kind == UnusableFile::kFifo) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }
  Host host(dir);
  ASSERT_EQ(host.Send("setcb").ret, 0);
  ASSERT_EQ(host.Send("init").ret, 0);
  EXPECT_EQ(LinesWith(dir.Log(), {"WARN", "LoadXml", file.logged}), 1u) << dir.Log();

  // The host works as usual; a file it can replace now names the new child alone.
  pid_t pid = host.Running("stop", dir.File("a.report"));
  EXPECT_GT(pid, 0);
  if (file.kind != UnusableFile::kDirectory) {
    EXPECT_TRUE(WaitFor([&] {
      StateXml state = std::filesystem::is_regular_file(path) ? ReadStateXml(path) : StateXml();  // a fifo would block
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
