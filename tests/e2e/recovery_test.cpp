// A host that ends without Uninit leaves its children running; the next host in the same place
// hears of them and adopts them. A state file it cannot use does not keep a host from starting.
#include <gtest/gtest.h>
#include <kestravo.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include "host_harness.h"

namespace kestravo::test {
namespace {

// The children of a host that ended become this process's, so that the test can reap them.
class Recovery : public HostTest {
 protected:
  void SetUp() override { ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0); }

  // A first host starts children (hpids 0, 1, ...) with these command lines, each waiting on its
  // stop event, and is killed with SIGKILL.
  void LeaveChildren(const std::vector<std::string>& extras) {
    std::vector<std::string> args = {"init"};
    for (uint32_t hpid = 0; hpid < extras.size(); ++hpid) {
      reports.push_back(dir.File(std::to_string(hpid) + ".report"));
      args.insert(args.end(), {"create", HelperChild(), "stop " + reports[hpid] + " " + extras[hpid]});
    }
    args.push_back("wait");
    pid_t first = StartHost(dir, args);
    ASSERT_GT(first, 0);
    // Each child is recorded and has opened its stop event while the host held it.
    bool ready = WaitFor([&] {
      std::vector<StateEntry> state = dir.State();
      pids.clear();
      for (uint32_t hpid = 0; hpid < state.size() && hpid < extras.size(); ++hpid) {
        pid_t pid = std::atoi(ReadReport(reports[hpid])["pid"].c_str());
        if (pid <= 0 || std::count_if(state.begin(), state.end(), [&](const StateEntry& e) { return e.hpid == hpid && e.pid == uint32_t(pid); }) != 1 ||
            !BlockedOnFutex(pid))
          return false;
        pids.push_back(pid);
      }
      return pids.size() == extras.size();
    });
    kill(first, SIGKILL);
    ASSERT_EQ(WaitExit(first), 256 + SIGKILL);
    ASSERT_TRUE(ready) << dir.StateText();
    for (uint32_t hpid = 0; hpid < extras.size(); ++hpid) {
      cmdLines.push_back("stop " + reports[hpid] + " " + extras[hpid] + "kestravCmdLine:;pid=" + std::to_string(hpid) +
                         ";guid=" + ReadReport(reports[hpid])["guid"]);
      ASSERT_TRUE(ProcessAlive(pids[hpid]));
    }
  }

  std::vector<std::string> reports, cmdLines;
  std::vector<pid_t> pids;
};

TEST_F(Recovery, NextHostHearsOfTheLivingChildrenAdoptsEachOnceAndSupervisesThem) {
  ASSERT_NO_FATAL_FAILURE(LeaveChildren({"0 2 fork ", "", "-v "}));
  ASSERT_EQ(kill(pids[1], SIGKILL), 0);
  ASSERT_EQ(WaitExit(pids[1]), 256 + SIGKILL);
  actions[MSG_ATTACHABLE] = [](uint32_t h) {
    uint32_t out = 0;
    return Answers({KESTRAVO_Init(), KESTRAVO_GetOSPid(h, &out)});
  };
  ASSERT_TRUE(Start());

  // From inside Init, each survivor once, in file order. Calling in does not deadlock; an Init
  // from there counts once the first is done, which is not yet.
  std::vector<Message> reported = Messages();
  ASSERT_EQ(reported.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    uint32_t hpid = i * 2;
    EXPECT_EQ(reported[i].hpid, hpid);
    EXPECT_EQ(reported[i].type, static_cast<uint32_t>(MSG_ATTACHABLE));
    EXPECT_TRUE(reported[i].user);
    EXPECT_EQ(reported[i].pid, static_cast<uint32_t>(pids[hpid]));
    EXPECT_EQ(reported[i].cmd, cmdLines[hpid]);
    EXPECT_EQ(reported[i].exe, HelperChild());
    EXPECT_EQ(reported[i].call, "0,5");
  }
  EXPECT_EQ(LinesWith(dir.Log(), {"[pid=" + std::to_string(pids[1]) + ",", "process is not exist"}), 1u);

  const uint32_t p0 = pids[0], p2 = pids[2];
  const std::tuple<uint32_t, uint32_t, int> attaches[] = {
      {0, p2, 1}, {1, uint32_t(pids[1]), 1},  // another's pid; dropped at load
      {0, p0, 0}, {0, p0, 6}, {2, p2, 0}, {2, p2, 6}, {2, p2 + 1, 1}, {1024, p2, 1}};
  for (const auto& [hpid, pid, ret] : attaches) EXPECT_EQ(KESTRAVO_Attach(hpid, pid), ret) << hpid << " " << pid;
  uint32_t managed = 0;
  EXPECT_EQ(Pid(0), pids[0]);
  EXPECT_TRUE(KESTRAVO_IsManaged(p2, &managed));
  EXPECT_EQ(managed, 2u);
  // The adoptions rewrote the file: the dropped child has left it.
  StateXml state = ReadStateXml(dir.File("kestravo.xml"));
  ASSERT_EQ(state.entries.size(), 2u) << dir.StateText();
  EXPECT_EQ(state.entries[1].cmdline, cmdLines[2]);

  // Killed: reported, and started again under its hpid with its old command line.
  ASSERT_EQ(kill(pids[2], SIGKILL), 0);
  EXPECT_EQ(WaitExit(pids[2]), 256 + SIGKILL);
  ASSERT_TRUE(WaitCount(2, MSG_RESTARTED, 1));
  EXPECT_EQ(Count(2, MSG_EXITED), 1u);
  pid_t relaunched = WaitRunning(2, reports[2], pids[2]);
  ASSERT_GT(relaunched, 0);
  EXPECT_EQ(ReadReport(reports[2])["arg3"], "-v");
  EXPECT_TRUE(WaitFor([&] {
    std::vector<StateEntry> entries = dir.State();
    return entries.size() == 2 && entries[1].pid == static_cast<uint32_t>(relaunched) && entries[1].cmdline == cmdLines[2];
  })) << dir.StateText();

  // Destroyed: it hears its stop event (which a forked copy of it let go of) and ends by itself,
  // with 0, its workers with it; the entry leaves the file.
  std::istringstream workers(ReadReport(reports[0])["grandchildren"]);
  EXPECT_EQ(KESTRAVO_DestroyProcess(0, 0), 0);
  EXPECT_EQ(WaitExit(pids[0]), 0);
  for (std::string worker; std::getline(workers, worker, ',');) EXPECT_EQ(WaitExit(std::stoi(worker)), 256 + SIGKILL);
  EXPECT_TRUE(WaitFor([&] { return dir.State().size() == 1; })) << dir.StateText();
  EXPECT_EQ(Count(0, MSG_EXITED), 0u);
  // The last Uninit (the two from the callback count) asks the rest through their events.
  EXPECT_EQ(Answers({KESTRAVO_Uninit(), KESTRAVO_Uninit()}), "0,0");
  EXPECT_TRUE(ProcessAlive(relaunched));
  Stop();
  EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(relaunched); }));
  EXPECT_EQ(LinesWith(dir.Log(), {"wait exit timeout"}), 0u);
}

// A host that returns from main without Uninit ends at once (its workers once waited for ever on
// events closed at exit), and its child runs on for the next host to adopt; twice, the second
// time with the state file the first left.
TEST_F(Recovery, AHostThatReturnsWithoutUninitEndsAndItsChildRunsOn) {
  ASSERT_TRUE(Start());
  ASSERT_EQ(KESTRAVO_Uninit(), 0);  // this host waits to be the next one
  uint32_t hpid = 0;
  for (const char* run : {"first", "second"}) {
    SCOPED_TRACE(run);
    const std::string report = dir.File(std::string(run) + ".report");
    pid_t first = StartHost(dir, {"init", "create", HelperChild(), "stop " + report + " ", "until", report + ".waiting"});
    ASSERT_GT(first, 0);
    EXPECT_EQ(WaitExit(first), 0);
    pid_t pid = 0;
    ASSERT_TRUE(WaitFor([&] { return (pid = std::atoi(ReadReport(report)["pid"].c_str())) > 0; }));
    EXPECT_TRUE(ProcessAlive(pid));
    ASSERT_TRUE(Start());
    EXPECT_TRUE(WaitFor([&] {
      for (const Message& m : Messages()) {
        if (m.type == MSG_ATTACHABLE && m.pid == static_cast<uint32_t>(pid)) return (hpid = m.hpid), true;
      }
      return false;
    }));
    EXPECT_EQ(KESTRAVO_Attach(hpid, static_cast<uint32_t>(pid)), 0);
    EXPECT_EQ(KESTRAVO_Uninit(), 0);
    EXPECT_EQ(WaitExit(pid), 0);  // its stop event, from the last Uninit
  }
}

// What a child said of itself outlives its host: adopted, a ready child is reported ready again,
// its watchdog runs from the adoption, and its restart policy holds. Its pings end with its host,
// so that nothing it sends wakes the new host's watch: the adoption itself must. A child that
// then changes its settings at every message gets the file rewritten a few times, not at each
// (counted as renames onto it), and its last settings reach the file with no message after them.
TEST_F(Recovery, AnAdoptedChildKeepsItsWatchdogAndPolicy) {
  const std::string report = dir.File("0.report");
  constexpr int kChanges = 200;
  pid_t first = StartHost(dir, {"init", "create", HelperChild(),
                                "notify " + report + " say:KESTRAVO_RESTART=never|WATCHDOG_USEC=1000000|READY=1 pingtill:100 repeat:" +
                                    std::to_string(kChanges) + ":WATCHDOG=1|KESTRAVO_STOP_GRACE_MS=# ", "wait"});
  ASSERT_GT(first, 0);
  pid_t pid = 0;
  EXPECT_TRUE(WaitFor([&] {
    pid = std::atoi(ReadReport(report)["pid"].c_str());
    return pid > 0 && dir.StateText().find("READY=1 WATCHDOG_USEC=1000000 KESTRAVO_RESTART=never") != std::string::npos;
  })) << dir.StateText();
  const int renames = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(renames, 0);
  ASSERT_GE(inotify_add_watch(renames, dir.Path().c_str(), IN_MOVED_FROM), 0);
  std::ofstream(report + ".quiet").close();  // its pings end, its changes come: stopped a second after the adoption
  ASSERT_TRUE(WaitFor([&] { return std::ifstream(report + ".waiting").good(); }));  // on its stop event, pings done
  const std::string last = "KESTRAVO_STOP_GRACE_MS=" + std::to_string(kChanges) + "\"";
  EXPECT_TRUE(WaitFor([&] { return dir.StateText().find(last) != std::string::npos; })) << dir.StateText();
  int rewrites = 0;
  alignas(inotify_event) char events[64 * 1024];
  for (ssize_t n; (n = read(renames, events, sizeof events)) > 0;) {
    for (char* at = events; at < events + n; at += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(at)->len) {
      auto* event = reinterpret_cast<inotify_event*>(at);
      const std::string name = event->len > 0 ? event->name : "";
      rewrites += name.rfind("kestravo.xml.", 0) == 0 && name.size() > 17 && name.compare(name.size() - 4, 4, ".tmp") == 0;
    }
  }
  close(renames);
  EXPECT_GE(rewrites, 1);
  EXPECT_LT(rewrites, kChanges / 4);
  kill(first, SIGKILL);
  ASSERT_EQ(WaitExit(first), 256 + SIGKILL);
  ASSERT_TRUE(Start());
  ASSERT_EQ(KESTRAVO_Attach(0, pid), 0);
  ASSERT_TRUE(WaitCount(0, MSG_READY, 1));
  ASSERT_TRUE(WaitCount(0, MSG_EXITED, 1));
  EXPECT_EQ(WaitExit(pid), 0);  // on its stop event
  ExitedProcInfo e{};
  for (const Message& m : Messages()) e = m.type == MSG_EXITED ? m.exited : e;
  EXPECT_EQ(std::vector<uint64_t>({e.cause, e.causeValue, e.restarting}), std::vector<uint64_t>({KESTRAVO_CAUSE_WATCHDOG, 1000, 0}));
  EXPECT_EQ(KESTRAVO_DestroyProcess(0, 0), 0);
  EXPECT_EQ(Count(0, MSG_RESTARTED), 0u);
  Stop();
}

// Entries whose pid now names another program, has ended, or cannot be checked. Only the recorded
// child is reported and adopted; a stranger is never signalled; an entry is dropped only when its
// process is known to be gone.
TEST_F(Recovery, OnlyTheRecordedChildIsAdoptedAndOnlyAGoneOneIsDropped) {
  const std::string guid[] = {"{00000000-0000-4000-8000-000000000000}", "{11111111-1111-4111-8111-111111111111}",
                              "{22222222-2222-4222-8222-222222222222}", "{33333333-3333-4333-8333-333333333333}"};
  auto marker = [&](int hpid) { return "kestravCmdLine:;pid=" + std::to_string(hpid) + ";guid=" + guid[hpid]; };
  // hpid 0: a stranger (its marker, then more); 1: the child, with a command line longer than the report
  // holds; 2: ended; 3: the child, but it cannot be checked while the host is out of descriptors.
  std::string longArg(2000, 'w');
  pid_t stranger = SpawnPlain({HelperChild(), "ignore", dir.File("s"), marker(0), "x"});
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

  // The callback of the first survivor takes every free descriptor: the next cannot be checked.
  std::vector<int> held;
  actions[MSG_ATTACHABLE] = [&](uint32_t) {
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held.push_back(fd);
    return std::string("held");
  };
  ASSERT_TRUE(Start());
  EXPECT_EQ(KESTRAVO_Attach(1, child), 4);  // still out of descriptors
  for (int fd : held) close(fd);
  std::vector<Message> reported = Messages();
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].hpid, 1u);
  EXPECT_EQ(reported[0].cmd.size(), 1023u);
  EXPECT_EQ(reported[0].cmd.substr(1023 - marker(1).size()), marker(1));  // cut at the front
  std::string log = dir.Log();
  EXPECT_EQ(LinesWith(log, {"[hpid=0,pid=" + std::to_string(stranger) + "]", "not the recorded child"}), 1u);
  EXPECT_EQ(LinesWith(log, {"[pid=" + std::to_string(ended) + ",", "process is not exist"}), 1u);
  EXPECT_EQ(LinesWith(log, {"[hpid=3,pid=" + std::to_string(unchecked) + ",", "entry kept"}), 1u) << log;

  EXPECT_EQ(KESTRAVO_Attach(0, stranger), 1);
  EXPECT_EQ(KESTRAVO_Attach(3, unchecked), 1);  // not reported
  EXPECT_EQ(KESTRAVO_Attach(1, child), 0);
  if (taken.fd >= 0) { EXPECT_EQ(LinesWith(dir.Log(), {"stop event cannot be opened"}), 1u); }
  std::vector<StateEntry> state = dir.State();
  ASSERT_EQ(state.size(), 2u) << dir.StateText();
  EXPECT_EQ(state[0].hpid, 1u);
  EXPECT_EQ(state[1].hpid, 3u);
  EXPECT_EQ(KESTRAVO_Uninit(), 0);
  EXPECT_EQ(WaitExit(child), 256 + SIGKILL);

  // The next start, with descriptors to spare, finds the kept child.
  actions.clear();
  ASSERT_TRUE(Start());
  ASSERT_EQ(Count(3, MSG_ATTACHABLE), 1u);
  EXPECT_EQ(KESTRAVO_Attach(3, unchecked), 0);
  EXPECT_EQ(KESTRAVO_Uninit(), 0);
  EXPECT_EQ(WaitExit(unchecked), 256 + SIGKILL);
  EXPECT_TRUE(ProcessAlive(stranger));
}

// A state file the host cannot use, and the words its load failure is logged with.
struct UnusableFile {
  const char* name;
  enum Kind { kMissing, kText, kDirectory, kFifo } kind;
  const char* text;
  const char* logged;
};

const UnusableFile kUnusableFiles[] = {
    {"Missing", UnusableFile::kMissing, "", "errorId=2,"},
    {"Empty", UnusableFile::kText, "", "errorId=12,"},
    {"CutInAnAttribute", UnusableFile::kText, "<?xml version=\"1.0\" ?>\n<kestravo>\n<process hpid=\"0\" pid=\"5128\" cmd", "errorId=6,"},
    {"CutBeforeTheEndTag", UnusableFile::kText,
     "<?xml version=\"1.0\" ?>\n<kestravo>\n<process hpid=\"0\" pid=\"5128\" exe=\"/bin/x\" cmdline=\"a\" guid=\"g\" />\n", "errorId=8,"},
    {"CutAfterTheDeclaration", UnusableFile::kText, "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n", "no root"},
    {"AnotherRoot", UnusableFile::kText, "<?xml version=\"1.0\" ?>\n<processes><process hpid=\"0\" pid=\"1\" /></processes>\n", "no kestravo"},
    {"Directory", UnusableFile::kDirectory, "", "errorId=2,"},
    {"Fifo", UnusableFile::kFifo, "", "errorId=2,"},
};

void PrintTo(const UnusableFile& file, std::ostream* out) { *out << file.name; }

class UnusableStateFile : public HostTest, public ::testing::WithParamInterface<UnusableFile> {};

TEST_P(UnusableStateFile, HostStartsAndLogsTheLoadFailure) {
  const UnusableFile& file = GetParam();
  std::string path = dir.File("kestravo.xml");
  if (file.kind == UnusableFile::kText) {
    std::ofstream(path, std::ios::binary) << file.text;
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  }
  if (file.kind == UnusableFile::kDirectory) { ASSERT_EQ(mkdir(path.c_str(), 0700), 0); }
  if (file.kind == UnusableFile::kFifo) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }
  ASSERT_TRUE(Start());
  EXPECT_EQ(LinesWith(dir.Log(), {"WARN", "LoadXml", file.logged}), 1u) << dir.Log();

  // The host works as usual; a file it can replace now names the new child alone.
  pid_t pid = Running("stop", dir.File("a.report"));
  EXPECT_GT(pid, 0);
  if (file.kind != UnusableFile::kDirectory) {
    EXPECT_TRUE(WaitFor([&] {
      StateXml state = std::filesystem::is_regular_file(path) ? ReadStateXml(path) : StateXml();  // a fifo would block
      return state.loaded && state.entries.size() == 1 && state.entries[0].pid == static_cast<uint32_t>(pid);
    })) << dir.StateText();
  }
  EXPECT_TRUE(Messages().empty());
  Stop();
}

INSTANTIATE_TEST_SUITE_P(Recovery, UnusableStateFile, ::testing::ValuesIn(kUnusableFiles),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestravo::test
