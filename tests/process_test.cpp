// Processes: starting, waiting, terminating and opening real processes, and reaping them.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/os.h"
#include "platform/posix/process_tree.h"
#include "test_support.h"

namespace kestravo::test {
namespace {

using std::chrono::milliseconds;

BOOL Start(const std::string& line, PROCESS_INFORMATION* pi) {
  std::string buffer = line;  // CreateProcessA may write to its command line
  STARTUPINFOA si{};
  si.cb = sizeof si;
  return CreateProcessA(nullptr, &buffer[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &si, pi);
}

// A child started through the library; killed and closed when the test ends.
class Child {
 public:
  explicit Child(const std::string& line) {
    ok_ = Start(line, &pi_) != FALSE;
    error_ = GetLastError();
  }
  ~Child() {
    if (pi_.hProcess) TerminateProcess(pi_.hProcess, 1);
    Close();
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool ok() const { return ok_; }
  DWORD error() const { return error_; }
  HANDLE handle() const { return pi_.hProcess; }
  pid_t pid() const { return static_cast<pid_t>(pi_.dwProcessId); }
  void Close() {
    if (!pi_.hProcess) return;
    EXPECT_TRUE(CloseHandle(pi_.hProcess));
    EXPECT_TRUE(CloseHandle(pi_.hThread));
    pi_.hProcess = nullptr;
  }

 private:
  PROCESS_INFORMATION pi_{};
  bool ok_ = false;
  DWORD error_ = 0;
};

// A handle from OpenProcess, terminated and closed when the test ends.
struct Opened {
  explicit Opened(HANDLE h) : handle(h) {}
  ~Opened() {
    if (!handle) return;
    TerminateProcess(handle, 1);
    CloseHandle(handle);
  }
  HANDLE handle;
};

bool IsChild(pid_t pid) {
  std::vector<pid_t> children = ChildrenOfThisProcess();
  return std::find(children.begin(), children.end(), pid) != children.end();
}

bool IsZombieChild(pid_t pid) {
  std::vector<pid_t> zombies = ZombieChildren();
  return std::find(zombies.begin(), zombies.end(), pid) != zombies.end();
}

std::vector<pid_t> SortedChildren() {
  std::vector<pid_t> children = ChildrenOfThisProcess();
  std::sort(children.begin(), children.end());
  return children;
}

std::string ReadLink(const std::string& path) {
  std::error_code error;
  return std::filesystem::read_symlink(path, error).string();
}

// The value of a "Name:" line of /proc/PID/status.
std::string StatusField(pid_t pid, const std::string& name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(name + ":", 0) == 0) {
      size_t value = line.find_first_not_of(" \t", name.size() + 1);
      return value == std::string::npos ? "" : line.substr(value);
    }
  }
  return "";
}

// True while the thread is blocked in poll.
bool ThreadInPoll(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
  long number = -1;
  in >> number;
  return number == SYS_poll || number == SYS_ppoll;
}

TEST(Process, StartsAnUnquotedPathWithABlankAndSplitsItsArguments) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.File("my app").c_str(), 0700), 0);
  std::string program = dir.File("my app/helper_child");
  std::filesystem::copy_file(HelperChild(), program);  // a regular file, not a link
  std::string report = dir.File("report");
  Child child(program + " exit " + report + R"( 0 a\\\b d"e f"g h "" "C:\TEST A\\" a\\\"b)");
  ASSERT_TRUE(child.ok()) << "error " << child.error();

  Report seen = WaitForReport(report);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen["pid"], std::to_string(child.pid()));
  std::vector<std::string> expected = {
      program, "exit", report, "0", R"(a\\\b)", "de fg", "h", "", R"(C:\TEST A\)", R"(a\"b)"};
  ASSERT_EQ(seen["argc"], std::to_string(expected.size()));
  for (size_t i = 0; i < expected.size(); ++i) {
    std::string key = "arg" + std::to_string(i);
    ASSERT_EQ(seen.count(key), 1u) << key;
    EXPECT_EQ(seen[key], expected[i]) << key;
  }
  EXPECT_EQ(WaitForSingleObject(child.handle(), 10000), WAIT_OBJECT_0);
}

TEST(Process, AProgramThatCannotRunFailsAndStartsNothing) {
  TempDir dir;
  std::ofstream(dir.File("plain")) << "#!/bin/sh\nexit 0\n";  // mode 0644: not executable
  struct Case {
    std::string line;
    DWORD error;
  };
  std::vector<Case> cases = {
      {dir.File("missing") + " -x", ERROR_FILE_NOT_FOUND},
      {dir.File("no dir/missing") + " -x", ERROR_FILE_NOT_FOUND},
      {"\"" + dir.File("missing") + "\" -x", ERROR_FILE_NOT_FOUND},
      {dir.File("plain/x") + " -x", ERROR_PATH_NOT_FOUND},
      {dir.Path() + " -x", ERROR_ACCESS_DENIED},
      {"\"" + dir.Path() + "\" -x", ERROR_ACCESS_DENIED},
      {dir.File("plain") + " -x", ERROR_ACCESS_DENIED},
  };
  std::vector<pid_t> before = SortedChildren();
  for (const Case& c : cases) {
    PROCESS_INFORMATION pi{};
    EXPECT_FALSE(Start(c.line, &pi)) << c.line;
    EXPECT_EQ(GetLastError(), c.error) << c.line;
    EXPECT_EQ(pi.hProcess, nullptr) << c.line;
    EXPECT_EQ(SortedChildren(), before) << c.line;
  }
}

TEST(Process, ChildGetsStandardStreamsOnDevNullItsOwnSessionAndDefaultSignals) {
  // Descriptors without close-on-exec, low and high, that must not reach the child.
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  int devNull = open("/dev/null", O_RDONLY);
  ASSERT_GE(devNull, 0);
  int high = fcntl(devNull, F_DUPFD, 200);
  ASSERT_GE(high, 200);
  // A blocked and an ignored signal, which the child must not inherit.
  sigset_t usr1;
  sigset_t oldMask;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &usr1, &oldMask), 0);
  struct sigaction ignore {};
  struct sigaction oldUsr2 {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGUSR2, &ignore, &oldUsr2), 0);

  TempDir dir;
  std::string report = dir.File("report");
  Child child(HelperCommandLine("ignore", report));

  pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  sigaction(SIGUSR2, &oldUsr2, nullptr);
  for (int fd : {pipeFds[0], pipeFds[1], devNull, high}) close(fd);

  ASSERT_TRUE(child.ok()) << "error " << child.error();
  Report seen = WaitForReport(report);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen["fds"], "0,1,2");
  EXPECT_EQ(seen["session_leader"], "1");
  EXPECT_EQ(getpgid(child.pid()), child.pid());
  std::string fdDir = "/proc/" + std::to_string(child.pid()) + "/fd/";
  for (const char* fd : {"0", "1", "2"}) EXPECT_EQ(ReadLink(fdDir + fd), "/dev/null") << fd;
  EXPECT_EQ(StatusField(child.pid(), "SigBlk"), "0000000000000000");
  EXPECT_EQ(StatusField(child.pid(), "SigIgn"), "0000000000000000");
}

TEST(Process, TerminateEndsTheChildAndFailsOnceItIsReaped) {
  TempDir dir;
  std::string report = dir.File("report");
  Child child(HelperCommandLine("ignore", report));
  ASSERT_TRUE(child.ok()) << "error " << child.error();
  ASSERT_FALSE(WaitForReport(report).empty());

  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(child.handle(), 100), WAIT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(100));

  EXPECT_TRUE(TerminateProcess(child.handle(), 7));
  EXPECT_EQ(WaitForSingleObject(child.handle(), 10000), WAIT_OBJECT_0);
  EXPECT_FALSE(IsChild(child.pid()));
  EXPECT_FALSE(TerminateProcess(child.handle(), 7));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

// Terminate ends the child's workers: with its process group alone, and with its cgroup where
// there is one; the same through a handle opened by pid, as an adopted child's is.
TEST(Process, TerminateEndsTheWholeTree) {
  for (bool cgroups : {false, true}) {
    for (bool opened : {false, true}) {
      kestravo::posix::UseCgroups(cgroups);
      TempDir dir;
      std::string report = dir.File("report");
      Child child(HelperCommandLine("grandchild", report, "2"));
      ASSERT_TRUE(child.ok()) << "error " << child.error();
      Report seen = WaitForReport(report);
      std::string cgroup = kestravo::posix::ChildCgroupOf(child.pid());
      if (!cgroups) EXPECT_EQ(cgroup, "");
      if (cgroups && !opened) std::cout << "child in " << (cgroup.empty() ? "no cgroup" : cgroup) << std::endl;
      Opened byPid(opened ? OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(child.pid())) : nullptr);
      EXPECT_TRUE(TerminateProcess(opened ? byPid.handle : child.handle(), 1));
      std::istringstream workers(seen["grandchildren"]);
      for (std::string worker; std::getline(workers, worker, ',');) {
        EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(std::stoi(worker)); })) << worker << " opened " << opened;
        kill(std::stoi(worker), SIGKILL);  // none left behind by a failure
      }
      if (!cgroup.empty()) EXPECT_TRUE(WaitFor([&] { return access(cgroup.c_str(), F_OK) != 0; })) << cgroup;
    }
  }
}

TEST(Process, OpenProcessWaitsOnAndTerminatesAProcessItDidNotStart) {
  TempDir dir;
  std::string report = dir.File("report");
  Child parent(HelperCommandLine("grandchild", report));
  ASSERT_TRUE(parent.ok()) << "error " << parent.error();
  Report seen = WaitForReport(report);
  ASSERT_EQ(seen.count("grandchild"), 1u);
  pid_t grandchild = std::stoi(seen["grandchild"]);
  ASSERT_FALSE(IsChild(grandchild));

  Opened opened(OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(grandchild)));
  ASSERT_NE(opened.handle, nullptr) << "error " << GetLastError();
  EXPECT_EQ(WaitForSingleObject(opened.handle, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(TerminateProcess(opened.handle, 1));
  EXPECT_EQ(WaitForSingleObject(opened.handle, 10000), WAIT_OBJECT_0);
  EXPECT_FALSE(ProcessAlive(grandchild));
}

TEST(Process, OpenProcessNeverReapsTheHostsOwnChild) {
  // Started by the host itself, not by the library: its status is the host's to collect.
  pid_t pid = SpawnPlain({HelperChild(), "exit", "-", "50"});
  ASSERT_GT(pid, 0);

  HANDLE h = OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(pid));
  EXPECT_NE(h, nullptr) << "error " << GetLastError();
  if (h) {
    EXPECT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(h));
  } else {
    kill(pid, SIGKILL);
  }
  int status = -1;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(Process, OpenProcessOfAPidThatDoesNotExistFails) {
  DWORD pidMax = 0;
  std::ifstream("/proc/sys/kernel/pid_max") >> pidMax;
  ASSERT_GT(pidMax, 0u);
  // pid_max itself is never handed out.
  for (DWORD pid : {0u, pidMax, 0x80000000u, 0xFFFFFFFFu}) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid), nullptr) << pid;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << pid;
  }
  EXPECT_EQ(OpenProcess(PROCESS_ALL_ACCESS, TRUE, static_cast<DWORD>(getpid())), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

TEST(Process, CloseWhileOtherThreadsWaitLetsThemFinish) {
  Child child(HelperCommandLine("ignore", "-"));
  ASSERT_TRUE(child.ok()) << "error " << child.error();
  HANDLE h = child.handle();
  pid_t pid = child.pid();

  constexpr DWORD kNotDone = 0xDEAD;
  std::atomic<pid_t> tids[2] = {{0}, {0}};
  std::atomic<DWORD> results[2] = {{kNotDone}, {kNotDone}};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&, i] {
      tids[i] = gettid();
      results[i] = WaitForSingleObject(h, 20000);
    });
  }
  for (auto& tid : tids) {
    EXPECT_TRUE(WaitFor([&] { return tid != 0 && ThreadInPoll(tid); }));
  }
  child.Close();
  EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
  EXPECT_EQ(results[0], kNotDone);
  EXPECT_EQ(results[1], kNotDone);

  // No handle is left to terminate it with; the waiters keep the unreaped child, so its pid
  // cannot have been reused.
  kill(pid, SIGKILL);
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(results[0], WAIT_OBJECT_0);
  EXPECT_EQ(results[1], WAIT_OBJECT_0);
  EXPECT_FALSE(IsChild(pid));
}

TEST(Process, ClosingTheLastHandleLeavesNoZombie) {
  // Terminated and closed at once: the close waits for the kill and reaps.
  Child killed(HelperCommandLine("ignore", "-"));
  ASSERT_TRUE(killed.ok()) << "error " << killed.error();
  EXPECT_TRUE(TerminateProcess(killed.handle(), 1));
  killed.Close();
  EXPECT_FALSE(IsChild(killed.pid()));

  // Ended by itself and never waited on: the close reaps.
  Child exited(HelperCommandLine("exit", "-", "0"));
  ASSERT_TRUE(exited.ok()) << "error " << exited.error();
  ASSERT_TRUE(WaitFor([&] { return IsZombieChild(exited.pid()); }));
  exited.Close();
  EXPECT_FALSE(IsChild(exited.pid()));

  // Still running at the close: abandoned, then reaped by a later call once it has ended.
  Child running(HelperCommandLine("ignore", "-"));
  ASSERT_TRUE(running.ok()) << "error " << running.error();
  running.Close();
  EXPECT_TRUE(IsChild(running.pid()));
  kill(running.pid(), SIGKILL);  // unreaped, so still ours
  ASSERT_TRUE(WaitFor([&] { return IsZombieChild(running.pid()); }));
  Child next(HelperCommandLine("exit", "-", "0"));
  ASSERT_TRUE(next.ok()) << "error " << next.error();
  EXPECT_FALSE(IsChild(running.pid()));
  EXPECT_EQ(WaitForSingleObject(next.handle(), 10000), WAIT_OBJECT_0);
  next.Close();
  EXPECT_TRUE(ZombieChildren().empty());
}

}  // namespace
}  // namespace kestravo::test
