// A host killed at any moment of its work leaves a state file that the next host can read and
// that names only children it really started.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <iostream>
#include <random>
#include <set>
#include <thread>

#include "host_harness.h"

namespace kestravo::test {
namespace {

// What a stopped host held: the files of /dev/shm it had open, by inode (an event it created
// shows under the unnamed file it was made in), and whether it was writing the state file (an
// unnamed file of its directory, or the named temporary, open).
struct Held {
  std::set<ino_t> shm;
  bool writing = false;
};

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (dirent* entry = d ? readdir(d) : nullptr) names.push_back(entry->d_name);
  if (d) closedir(d);
  return names;
}

Held Look(pid_t pid, const std::string& dir, bool withShm = true) {
  Held held;
  std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  for (const std::string& fd : Entries(fds)) {
    char target[4096];
    ssize_t n = readlink((fds + "/" + fd).c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    std::string path(target, static_cast<size_t>(n));
    struct stat status;
    if (path.rfind(dir + "/#", 0) == 0 || path.rfind(dir + "/kestravo.xml.", 0) == 0) {
      held.writing = true;
    } else if (withShm && path.rfind("/dev/shm/", 0) == 0 && stat((fds + "/" + fd).c_str(), &status) == 0) {
      held.shm.insert(status.st_ino);
    }
  }
  return held;
}

// Removes the events in /dev/shm whose inode is one of these.
void RemoveEvents(const std::set<ino_t>& inodes) {
  for (const std::string& name : Entries("/dev/shm")) {
    struct stat status;
    std::string path = "/dev/shm/" + name;
    if (name.rfind("kestravo-ev.", 0) == 0 && stat(path.c_str(), &status) == 0 && inodes.count(status.st_ino))
      unlink(path.c_str());
  }
}

// True once every thread of the process is stopped.
bool AllThreadsStopped(pid_t pid) {
  std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  std::vector<std::string> ids = Entries(tasks);
  bool any = false;
  for (const std::string& id : ids) {
    if (id[0] == '.') continue;
    std::string stat = FileText(tasks + "/" + id + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) continue;
    if (stat[close + 2] != 'T' && stat[close + 2] != 't') return false;
    any = true;
  }
  return any;
}

bool IsTemporary(const std::string& name) {
  const std::string head = "kestravo.xml.", tail = ".tmp";
  return name.size() > head.size() + tail.size() && name.rfind(head, 0) == 0 &&
         name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
}

// Watches, without pausing, until the host has a new state file open: a write lasts some tens
// of microseconds. False when none showed within 200 ms.
bool WaitForAWrite(pid_t pid, const std::string& dir) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
  while (std::chrono::steady_clock::now() < end) {
    if (Look(pid, dir, false).writing) return true;
  }
  return false;
}

TEST(HostKill, StateFileNamesOnlyStartedChildrenWhereverTheHostDies) {
  // The children of the killed hosts become ours, to be reaped here.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  const unsigned seed = std::random_device()();
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delayMs(0, 150);
  SCOPED_TRACE("seed " + std::to_string(seed));
  const int rounds = 50;
  int midWrite = 0, betweenLinkAndRename = 0, noFile = 0, checked = 0;

  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    HostDir dir;
    const std::string reportBase = dir.File("r.");
    Held held;
    {
      Host host(dir);
      ASSERT_EQ(host.Send("init").ret, 0);
      // Three children at a time, each with its own report file "r.N".
      ASSERT_EQ(host.Send("loop " + HexArg(HelperChild()) + " " + HexArg("stop " + reportBase) + " 3").ret, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(random)));
      // Every other round waits from there for a write to be under way, so that some kills
      // land inside one; the stop shows where the host really was.
      if (round % 2 == 1) WaitForAWrite(host.Pid(), dir.Path());
      ASSERT_EQ(kill(host.Pid(), SIGSTOP), 0);
      ASSERT_TRUE(WaitFor([&] { return AllThreadsStopped(host.Pid()); }));
      held = Look(host.Pid(), dir.Path());
      host.Kill9();
    }
    midWrite += held.writing;
    for (const std::string& name : Entries(dir.Path())) betweenLinkAndRename += IsTemporary(name);

    std::string path = dir.File("kestravo.xml");
    if (access(path.c_str(), F_OK) != 0) {
      ++noFile;  // killed before its first child was recorded
    } else {
      StateXml state = ReadStateXml(path);
      ASSERT_TRUE(state.loaded) << state.error << "\n" << dir.StateText();
      EXPECT_TRUE(state.complete) << dir.StateText();
      std::set<uint32_t> hpids;
      for (const StateEntry& entry : state.entries) {
        EXPECT_TRUE(hpids.insert(entry.hpid).second) << "hpid " << entry.hpid << " twice";
        EXPECT_EQ(entry.exe, HelperChild());
        // "stop r.N kestravCmdLine:;pid=H;guid=G": child N wrote r.N when it started.
        ASSERT_EQ(entry.cmdline.rfind("stop " + reportBase, 0), 0u) << entry.cmdline;
        size_t blank = entry.cmdline.find(' ', 5);
        ASSERT_NE(blank, std::string::npos) << entry.cmdline;
        std::string report = entry.cmdline.substr(5, blank - 5);
        EXPECT_EQ(entry.cmdline, "stop " + report + " kestravCmdLine:;pid=" + std::to_string(entry.hpid) +
                                     ";guid=" + entry.guid);
        Report started = WaitForReport(report);
        EXPECT_EQ(started["pid"], std::to_string(entry.pid)) << report;
        EXPECT_EQ(started["hpid"], std::to_string(entry.hpid)) << report;
        EXPECT_EQ(started["guid"], entry.guid) << report;
        ++checked;
      }
    }

    // No strays: every child of the round ends, is reaped, and its event is removed. Ours until
    // reaped: one that is still dying names nothing any more, and is not a zombie yet.
    for (pid_t pid : dir.ProcessesNamingMe()) kill(pid, SIGKILL);
    EXPECT_TRUE(WaitFor([&] {
      while (waitpid(-1, nullptr, WNOHANG) > 0) {
      }
      return dir.ProcessesNamingMe().empty() && ChildrenOfThisProcess().empty();
    }));
    RemoveEvents(held.shm);
    // A file left between naming and renaming is swept by the next host that starts here.
    auto temporaries = [&] {
      int n = 0;
      for (const std::string& name : Entries(dir.Path())) n += IsTemporary(name);
      return n;
    };
    if (temporaries() > 0) {
      Host next(dir);
      EXPECT_EQ(next.Send("init").ret, 0);
      EXPECT_EQ(temporaries(), 0);
      EXPECT_EQ(next.Send("uninit").ret, 0);
      EXPECT_EQ(next.Finish(), 0);
    }
    // Every event the host made was logged or held: those of destroyed children are gone too.
    for (const std::string& event : Captures(dir.Log(), "[namedEvent=", "]"))
      EXPECT_NE(access(("/dev/shm/kestravo-ev." + event).c_str(), F_OK), 0) << event;
  }
  EXPECT_TRUE(ZombieChildren().empty());
  std::cout << rounds << " kills: " << midWrite << " while writing the state file, "
            << betweenLinkAndRename << " between naming the new file and the rename, " << noFile
            << " before the first write; " << checked << " recorded children checked" << std::endl;
}

}  // namespace
}  // namespace kestravo::test
