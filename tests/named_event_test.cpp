// Events: named ones across processes, unnamed ones across threads, and their lifetime.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
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

TEST(NamedEvent, KilledHolderDoesNotKeepTheEventAlive) {
  std::string name = CreateGuidString();
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
  ASSERT_NE(event, nullptr);
  pid_t holder = StartWaiter(name);
  ASSERT_TRUE(WaitFor([&] { return BlockedOnFutex(holder); }));
  KillAndReap(holder);
  EXPECT_TRUE(BackingFileExists(name));
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_FALSE(BackingFileExists(name));
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
