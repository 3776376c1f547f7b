// A host killed at any moment of its work leaves a state file that the next host can read and
// that names only children it really started.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <random>
#include <set>
#include <thread>

#include "host_harness.h"

namespace kestravo::test {
namespace {

// Whether the host has a new state file open (an unnamed file of its directory, or the named
// temporary), and the inodes of the files of /dev/shm it holds (an event it created shows under
// the unnamed file it was made in).
bool Writing(pid_t pid, const std::string& dir, std::set<ino_t>* shm = nullptr) {
  bool writing = false;
  std::string fds = "/proc/" + std::to_string(pid) + "/fd/";
  for (const std::string& fd : DirEntries(fds)) {
    std::error_code error;
    std::string path = std::filesystem::read_symlink(fds + fd, error).string();
    struct stat status;
    writing = writing || path.rfind(dir + "/#", 0) == 0 || path.rfind(dir + "/kestravo.xml.", 0) == 0;
    if (shm && path.rfind("/dev/shm/", 0) == 0 && stat((fds + fd).c_str(), &status) == 0) shm->insert(status.st_ino);
  }
  return writing;
}

bool AllThreadsStopped(pid_t pid) {
  std::string tasks = "/proc/" + std::to_string(pid) + "/task/";
  bool any = false;
  for (const std::string& id : DirEntries(tasks)) {
    std::string stat = id[0] == '.' ? "" : FileText(tasks + id + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) continue;
    if (stat[close + 2] != 'T' && stat[close + 2] != 't') return false;
    any = true;
  }
  return any;
}

size_t Temporaries(const std::string& dir) {
  size_t n = 0;
  for (const std::string& name : DirEntries(dir))
    n += name.rfind("kestravo.xml.", 0) == 0 && name.size() > 17 && name.compare(name.size() - 4, 4, ".tmp") == 0;
  return n;
}

TEST(HostKill, StateFileNamesOnlyStartedChildrenWhereverTheHostDies) {
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);  // the killed hosts' children are ours to reap
  const unsigned seed = std::random_device()();
  std::mt19937 random(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  int midWrite = 0, checked = 0;
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    HostDir dir;
    const std::string reportBase = dir.File("r.");
    std::set<ino_t> shm;
    {
      // Three children at a time, each with its own report file "r.N".
      pid_t host = StartHost(dir, {"init", "loop", HelperChild(), "stop " + reportBase, "3"});
      ASSERT_GT(host, 0);
      ASSERT_FALSE(WaitForReport(reportBase + "0").empty());
      std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 150)(random)));
      // Every other round waits from there for a write to be under way (some tens of
      // microseconds), so that some kills land inside one; the stop shows where the host was.
      auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
      while (round % 2 == 1 && std::chrono::steady_clock::now() < end && !Writing(host, dir.Path())) {
      }
      ASSERT_EQ(kill(host, SIGSTOP), 0);
      ASSERT_TRUE(WaitFor([&] { return AllThreadsStopped(host); }));
      midWrite += Writing(host, dir.Path(), &shm);
      kill(host, SIGKILL);
      ASSERT_EQ(WaitExit(host), 256 + SIGKILL);
    }

    std::string path = dir.File("kestravo.xml");
    if (access(path.c_str(), F_OK) == 0) {  // else killed before its first child was recorded
      StateXml state = ReadStateXml(path);
      ASSERT_TRUE(state.loaded) << dir.StateText();
      EXPECT_TRUE(state.complete) << dir.StateText();
      std::set<uint32_t> hpids;
      for (const StateEntry& entry : state.entries) {
        EXPECT_TRUE(hpids.insert(entry.hpid).second) << "hpid " << entry.hpid << " twice";
        EXPECT_EQ(entry.exe, HelperChild());
        // "stop r.N kestravCmdLine:;pid=H;guid=G": child N wrote r.N when it started.
        std::string report = entry.cmdline.substr(5, entry.cmdline.find(' ', 5) - 5);
        EXPECT_EQ(entry.cmdline, "stop " + report + " kestravCmdLine:;pid=" + std::to_string(entry.hpid) + ";guid=" + entry.guid);
        Report started = WaitForReport(report);
        EXPECT_EQ(started["pid"], std::to_string(entry.pid)) << report;
        EXPECT_EQ(started["guid"], entry.guid) << report;
        ++checked;
      }
    }

    // No strays: every child of the round ends and is reaped, and its event is removed.
    for (pid_t pid : dir.ProcessesNamingMe()) kill(pid, SIGKILL);
    EXPECT_TRUE(WaitFor([&] {
      while (waitpid(-1, nullptr, WNOHANG) > 0) {
      }
      return dir.ProcessesNamingMe().empty() && ChildrenOfThisProcess().empty();
    }));
    for (const std::string& name : DirEntries("/dev/shm")) {
      struct stat status;
      std::string event = "/dev/shm/" + name;
      if (name.rfind("kestravo-ev.", 0) == 0 && stat(event.c_str(), &status) == 0 && shm.count(status.st_ino)) unlink(event.c_str());
    }
    // A file left between naming and renaming is swept by the next host that starts here.
    if (Temporaries(dir.Path()) > 0) {
      pid_t next = StartHost(dir, {"init", "uninit"});
      EXPECT_EQ(WaitExit(next), 0);
      EXPECT_EQ(Temporaries(dir.Path()), 0u);
    }
    // Every event the host made was logged or held: those of destroyed children are gone too.
    std::string log = dir.Log();
    for (size_t at = log.find("[namedEvent="); at != std::string::npos; at = log.find("[namedEvent=", at + 1))
      EXPECT_NE(access(("/dev/shm/kestravo-ev." + log.substr(at + 12, 38)).c_str(), F_OK), 0) << log.substr(at, 50);
  }
  EXPECT_TRUE(ZombieChildren().empty());
  std::cout << midWrite << " kills while writing the state file; " << checked << " recorded children checked" << std::endl;
}

}  // namespace
}  // namespace kestravo::test
