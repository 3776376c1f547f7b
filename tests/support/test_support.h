// Helpers shared by the tests: waiting with deadlines, temporary directories, the helper child's
// reports, and the checks for zombies and leftovers.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kestravo::test {

using Report = std::map<std::string, std::string>;

// Polls cond until it holds or the limit passes; true when it held.
bool WaitFor(const std::function<bool()>& cond,
             std::chrono::milliseconds limit = std::chrono::seconds(10));

// A fresh directory under /tmp, removed with its contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The helper child's path, and a command line that runs it in a mode with a report file.
std::string HelperChild();
std::string HelperCommandLine(const std::string& mode, const std::string& report,
                              const std::string& extra = "");

// The whole file ("" when it cannot be read).
std::string FileText(const std::string& path);

// The key=value lines of a report, once the file exists (empty map until then).
Report ReadReport(const std::string& path);
// Waits for the report file; the map is empty when it did not appear in time.
Report WaitForReport(const std::string& path,
                     std::chrono::milliseconds limit = std::chrono::seconds(10));

// A fresh GUID text; empty when none could be made.
std::string CreateGuidString();

// Processes whose parent is this process, and those of them that are zombies.
std::vector<pid_t> ChildrenOfThisProcess();
std::vector<pid_t> ZombieChildren();
// Another process's children that are not zombies.
std::vector<pid_t> LiveChildrenOf(pid_t parent);
// The names in a directory ("." and ".." included; none when it cannot be read).
std::vector<std::string> DirEntries(const std::string& dir);
// True while the pid names a process that has not ended (zombies count as ended).
bool ProcessAlive(pid_t pid);

// Starts a program with posix_spawn, outside the library (standard error on /dev/null when
// quiet). -1 on failure. The caller reaps it with WaitExit.
pid_t SpawnPlain(std::vector<std::string> args, bool quiet = false);
// The same, run in cwd, with standard output and error to the files named (truncated, owner-only;
// "" leaves one as it is).
pid_t SpawnPlainTo(std::vector<std::string> args, const std::string& cwd, const std::string& out, const std::string& err);
// Reaps the process once it ends: its exit code (256 + signal for a signal, so that an exit code
// that mimics one is told apart), or -1 when it still runs at the limit.
int WaitExit(pid_t pid, std::chrono::milliseconds limit = std::chrono::seconds(10));
// True once the process sleeps in a futex wait: blocked on an event.
bool BlockedOnFutex(pid_t pid);

}  // namespace kestravo::test
