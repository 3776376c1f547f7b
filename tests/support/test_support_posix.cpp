// The parts of the test helpers that read /proc and start and reap processes the POSIX way.
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "test_support.h"

extern char** environ;

namespace kestravo::test {

namespace {

// Every host of a test keeps its state beside its executable, whatever the shell that runs the
// tests set (or systemd, for a suite run as a service).
const bool kStateDirVariablesCleared = unsetenv("KESTRAVO_STATE_DIR") == 0 && unsetenv("STATE_DIRECTORY") == 0;

// Parent pid and state letter from /proc/PID/stat; false when the process is gone.
bool ReadStat(pid_t pid, pid_t* parent, char* state) {
  // FileText reads with stdio: a process that ends during the read fails it with ESRCH, which a
  // stream turns into an exception.
  const std::string text = FileText("/proc/" + std::to_string(pid) + "/stat");
  size_t close = text.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream rest(text.substr(close + 1));
  rest >> *state >> *parent;
  return static_cast<bool>(rest);
}

enum class Which { kAll, kZombies, kLive };

// The processes whose parent is parent, or only the zombies or the others among them.
std::vector<pid_t> ChildrenOf(pid_t parent, Which which) {
  std::vector<pid_t> children;
  for (const std::string& name : DirEntries("/proc")) {
    pid_t pid = atoi(name.c_str()), up = 0;
    char state = 0;
    if (pid > 0 && ReadStat(pid, &up, &state) && up == parent && (which == Which::kAll || (state == 'Z') == (which == Which::kZombies)))
      children.push_back(pid);
  }
  return children;
}

}  // namespace

std::vector<std::string> DirEntries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (dirent* entry = d ? readdir(d) : nullptr) names.push_back(entry->d_name);
  if (d) closedir(d);
  return names;
}

std::vector<pid_t> ChildrenOfThisProcess() { return ChildrenOf(getpid(), Which::kAll); }

std::vector<pid_t> ZombieChildren() { return ChildrenOf(getpid(), Which::kZombies); }


std::vector<pid_t> LiveChildrenOf(pid_t parent) { return ChildrenOf(parent, Which::kLive); }

bool ProcessAlive(pid_t pid) {
  pid_t parent = 0;
  char state = 0;
  return ReadStat(pid, &parent, &state) && state != 'Z' && state != 'X';
}

pid_t SpawnPlain(std::vector<std::string> args, bool quiet) { return SpawnPlainTo(std::move(args), "", "", quiet ? "/dev/null" : ""); }

pid_t SpawnPlainTo(std::vector<std::string> args, const std::string& cwd, const std::string& out, const std::string& err) {
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  if (!out.empty()) posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (!err.empty()) posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return spawned == 0 ? pid : -1;
}

int WaitExit(pid_t pid, std::chrono::milliseconds limit) {
  int status = 0;
  if (!WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit)) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 256 + WTERMSIG(status);
}

bool BlockedOnFutex(pid_t pid) { return FileText("/proc/" + std::to_string(pid) + "/wchan").find("futex") != std::string::npos; }

}  // namespace kestravo::test
