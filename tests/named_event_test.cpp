// Events: named ones across processes, unnamed ones across threads, and their lifetime.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/os.h"
#include "platform/posix/named_event_file.h"
#include "launcher/child_identity.h"
#include "test_support.h"

namespace kestravo::test {
namespace {

using std::chrono::milliseconds;

bool BackingFileExists(const std::string& name) {
  return access(posix::NamedEventPath(name).c_str(), F_OK) == 0;
}

// A process outside the library that waits on the event: kestravo-wait-stop.
pid_t StartWaiter(const std::string& guid, const std::string& timeoutMs = "20000") {
  return SpawnPlain({KESTRAVO_WAIT_STOP, guid, timeoutMs});
}

void KillAndReap(pid_t pid) {
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

TEST(NamedEvent, SecondCreateOpensTheFirstAndKeepsItsFlags) {
  std::string name = CreateGuidString();
  HANDLE first = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  // Manual reset and initially set are asked for, and ignored: the event exists already.
  HANDLE second = CreateEventA(nullptr, TRUE, TRUE, name.c_str());
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_NE(first, second);
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_TIMEOUT);

  ASSERT_TRUE(SetEvent(second));
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_TIMEOUT) << "automatic reset was lost";

  struct stat st {};
  ASSERT_EQ(stat(posix::NamedEventPath(name).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(CloseHandle(first));
  EXPECT_TRUE(CloseHandle(second));
}

TEST(NamedEvent, AutomaticResetReleasesOneWaiterAcrossProcesses) {
  std::string name = CreateGuidString();
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
  ASSERT_NE(event, nullptr);
  pid_t a = StartWaiter(name);
  pid_t b = StartWaiter(name);
  ASSERT_TRUE(WaitFor([&] { return BlockedOnFutex(a) && BlockedOnFutex(b); }));

  ASSERT_TRUE(SetEvent(event));
  int codeA = -1, codeB = -1;
  ASSERT_TRUE(WaitFor([&] {
    codeA = codeA >= 0 ? codeA : ExitCodeIfEnded(a);
    codeB = codeB >= 0 ? codeB : ExitCodeIfEnded(b);
    return codeA >= 0 || codeB >= 0;
  }));
  EXPECT_EQ(std::max(codeA, codeB), 0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "the signal was not consumed";
  pid_t other = codeA >= 0 ? b : a;
  EXPECT_EQ(ExitCodeIfEnded(other), -1) << "one set released two waiters";

  ASSERT_TRUE(SetEvent(event));
  EXPECT_EQ(WaitExit(other), 0);
  CloseHandle(event);
}

TEST(NamedEvent, ManualResetReleasesEveryWaiterAndStaysSet) {
  std::string name = CreateGuidString();
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
  ASSERT_NE(event, nullptr);
  std::vector<pid_t> waiters = {StartWaiter(name), StartWaiter(name), StartWaiter(name)};
  ASSERT_TRUE(WaitFor([&] {
    for (pid_t pid : waiters) {
      if (!BlockedOnFutex(pid)) return false;
    }
    return true;
  }));
  ASSERT_TRUE(SetEvent(event));
  for (pid_t pid : waiters) EXPECT_EQ(WaitExit(pid), 0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  ASSERT_TRUE(ResetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  CloseHandle(event);
}

TEST(NamedEvent, WaitTimesOutAtItsDeadline) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, CreateGuidString().c_str());
  ASSERT_NE(event, nullptr);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(event, 150), WAIT_TIMEOUT);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, milliseconds(150));
  EXPECT_LT(waited, milliseconds(5000));
  CloseHandle(event);
}

TEST(NamedEvent, BackingFileGoesWithTheLastHandle) {
  std::string name = CreateGuidString();
  HANDLE created = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
  HANDLE opened = OpenEventA(SYNCHRONIZE, FALSE, name.c_str());
  ASSERT_NE(created, nullptr);
  ASSERT_NE(opened, nullptr);
  EXPECT_TRUE(CloseHandle(created));
  EXPECT_TRUE(BackingFileExists(name));
  EXPECT_TRUE(CloseHandle(opened));
  EXPECT_FALSE(BackingFileExists(name));
  EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(NamedEvent, EventWhoseLastHolderWasKilledIsMadeAnew) {
  std::string name = CreateGuidString();
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
  ASSERT_NE(event, nullptr);
  pid_t holder = StartWaiter(name);
  ASSERT_TRUE(WaitFor([&] { return BlockedOnFutex(holder); }));
  CloseHandle(event);
  ASSERT_TRUE(BackingFileExists(name));  // the holder still has it
  KillAndReap(holder);

  // Nobody holds the file now: it is a crash leftover, and a create replaces it, flags and all.
  HANDLE fresh = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  ASSERT_TRUE(SetEvent(fresh));
  EXPECT_EQ(WaitForSingleObject(fresh, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(fresh, 0), WAIT_TIMEOUT) << "the old manual-reset event survived";
  CloseHandle(fresh);
  EXPECT_FALSE(BackingFileExists(name));
}

TEST(NamedEvent, ConcurrentCreateAndCloseNeverSplitsTheEvent) {
  // Threads open and close the same name in a loop while a holder stays: every open must find
  // the one live event, whose state the holder can see.
  std::string name = CreateGuidString();
  HANDLE holder = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
  ASSERT_NE(holder, nullptr);
  std::atomic<int> splits{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        HANDLE h = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
        if (h == nullptr || GetLastError() != ERROR_ALREADY_EXISTS) splits++;
        CloseHandle(h);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(splits.load(), 0);
  CloseHandle(holder);
  EXPECT_FALSE(BackingFileExists(name));
}

TEST(NamedEvent, NamesAreCheckedAndEscaped) {
  HANDLE slashed = CreateEventA(nullptr, FALSE, FALSE, "a/b%c");
  ASSERT_NE(slashed, nullptr);
  EXPECT_EQ(posix::NamedEventPath("a/b%c"), "/dev/shm/kestravo-ev.a%2Fb%25c");
  EXPECT_TRUE(BackingFileExists("a/b%c"));
  CloseHandle(slashed);

  std::string tooLong(300, 'x');
  EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, tooLong.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// What another process does to the file under a live event's name. Returns a descriptor it keeps
// (with its lock) until the host has made its calls, -1 for none, -2 when the act failed, -3 when
// it needs root.
using HostileAct = int (*)(const std::string& path, const std::string& block);

struct HostileCase {
  const char* name;
  HostileAct act;
  bool damaged;     // the host's own file is spoilt: Set, Reset and waits fail
  DWORD openError;  // what creating the name again gives
};

int Done(int rc) { return rc == 0 ? -1 : -2; }

// A new file holding block under the name, in place of the one there.
int Plant(const std::string& path, const std::string& block, mode_t mode) {
  unlink(path.c_str());
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return -2;
  bool ok = fchmod(fd, mode) == 0 && pwrite(fd, block.data(), block.size(), 0) == 16;
  return ok ? fd : -2;
}

const HostileCase kHostileCases[] = {
    {"TruncatedToZero", [](auto& p, auto&) { return Done(truncate(p.c_str(), 0)); }, true,
     ERROR_INVALID_HANDLE},
    {"TruncatedToThreeBytes", [](auto& p, auto&) { return Done(truncate(p.c_str(), 3)); }, true,
     ERROR_INVALID_HANDLE},
    {"HeaderOverwritten",
     [](auto& p, auto&) {
       int fd = open(p.c_str(), O_WRONLY | O_CLOEXEC);
       bool ok = pwrite(fd, "XXXX", 4, 0) == 4;
       close(fd);
       return ok ? -1 : -2;
     },
     true, ERROR_INVALID_HANDLE},
    {"ReplacedByAForeignFile", [](auto& p, auto&) { return Plant(p, std::string(16, 'x'), 0600); },
     false, ERROR_INVALID_HANDLE},
    {"OpenToEveryone", [](auto& p, auto&) { return Done(chmod(p.c_str(), 0666)); }, false,
     ERROR_ACCESS_DENIED},
    {"OpenToNobody", [](auto& p, auto&) { return Done(chmod(p.c_str(), 0)); }, false,
     ERROR_ACCESS_DENIED},
    {"Fifo", [](auto& p, auto&) { return Done(unlink(p.c_str()) | mkfifo(p.c_str(), 0600)); },
     false, ERROR_INVALID_HANDLE},
    {"Directory", [](auto& p, auto&) { return Done(unlink(p.c_str()) | mkdir(p.c_str(), 0700)); },
     false, ERROR_INVALID_HANDLE},
    {"Symlink",
     [](auto& p, auto&) { return Done(unlink(p.c_str()) | symlink("/dev/null", p.c_str())); },
     false, ERROR_INVALID_HANDLE},
    {"HeldExclusively",
     [](auto& p, auto& block) {
       int fd = Plant(p, block, 0600);
       return fd >= 0 && flock(fd, LOCK_EX) == 0 ? fd : -2;
     },
     false, ERROR_SHARING_VIOLATION},
    {"AnotherUsersFile",
     [](auto& p, auto& block) {
       if (geteuid() != 0) return -3;
       int fd = Plant(p, block, 0600);
       return fd >= 0 && fchown(fd, 65534, 65534) == 0 ? fd : -2;
     },
     false, ERROR_ACCESS_DENIED},
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

class HostileFile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileFile, HostGetsAnErrorPromptlyAndLeavesTheNameAlone) {
  const HostileCase& c = GetParam();
  std::string name = CreateGuidString();
  std::string path = posix::NamedEventPath(name);
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
  ASSERT_NE(event, nullptr);
  std::string block(16, '\0');
  struct stat own {}, planted {}, after {};
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(pread(fd, block.data(), 16, 0), 16);
  ASSERT_EQ(fstat(fd, &own), 0);
  close(fd);
  pid_t waiter = c.damaged ? StartWaiter(name) : -1;  // a child waiting on its spoilt stop event
  if (waiter > 0) {
    ASSERT_TRUE(WaitFor([&] { return BlockedOnFutex(waiter); }));
  }
  int kept = c.act(path, block);
  if (kept == -3) {
    CloseHandle(event);
    GTEST_SKIP() << "only root can give a file away";
  }
  ASSERT_NE(kept, -2) << strerror(errno);
  ASSERT_EQ(lstat(path.c_str(), &planted), 0);

  // A SIGBUS here would end the whole test program; a hang would run into ctest's time-out.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SetEvent(event), c.damaged ? FALSE : TRUE);
  EXPECT_EQ(WaitForSingleObject(event, 0), c.damaged ? WAIT_FAILED : WAIT_OBJECT_0);
  EXPECT_EQ(ResetEvent(event), c.damaged ? FALSE : TRUE);
  EXPECT_EQ(GetLastError(), c.damaged ? ERROR_INVALID_HANDLE : ERROR_SUCCESS);
  HANDLE again = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
  EXPECT_EQ(again, nullptr);
  EXPECT_EQ(GetLastError(), c.openError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(lstat(path.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, planted.st_ino) << "the other process's file was removed";

  if (waiter > 0) {
    int code = WaitExit(waiter);
    if (code < 0) KillAndReap(waiter);
    EXPECT_EQ(code, 2) << "the waiter did not notice";
  }
  CloseHandle(again);
  if (kept >= 0) close(kept);
  CloseHandle(event);  // the last holder of its own file removes it, damaged or not
  if (planted.st_ino != own.st_ino) {
    EXPECT_EQ(S_ISDIR(planted.st_mode) ? rmdir(path.c_str()) : unlink(path.c_str()), 0);
  }
  EXPECT_NE(lstat(path.c_str(), &after), 0) << "left in /dev/shm";
}

INSTANTIATE_TEST_SUITE_P(NamedEvent, HostileFile, ::testing::ValuesIn(kHostileCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Event, UnnamedManualResetReleasesEveryThread) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  std::atomic<int> released{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      if (WaitForSingleObject(event, 10000) == WAIT_OBJECT_0) released++;
    });
  }
  ASSERT_TRUE(SetEvent(event));
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(released.load(), 4);
  CloseHandle(event);
}

TEST(Event, UnnamedAutomaticResetReleasesOneThreadPerSet) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  std::atomic<int> released{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&] {
      if (WaitForSingleObject(event, 10000) == WAIT_OBJECT_0) released++;
    });
  }
  for (int i = 1; i <= 3; ++i) {
    ASSERT_TRUE(SetEvent(event));
    ASSERT_TRUE(WaitFor([&] { return released.load() >= i; }));
    EXPECT_EQ(released.load(), i);
  }
  for (auto& thread : threads) thread.join();
  CloseHandle(event);
}

TEST(Event, BadHandlesFailCleanly) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  ASSERT_TRUE(CloseHandle(event));
  EXPECT_FALSE(CloseHandle(event));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
  EXPECT_TRUE(CloseHandle(nullptr));
  EXPECT_FALSE(SetEvent(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(ResetEvent(reinterpret_cast<HANDLE>(0x12345)));
  HANDLE other = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  EXPECT_FALSE(TerminateProcess(other, 0)) << "an event is not a process";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  CloseHandle(other);
}

}  // namespace
}  // namespace kestravo::test
