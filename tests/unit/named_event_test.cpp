// Events: named ones across processes and against hostile files, and the handle table under
// them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "kestravo_child.h"
#include "platform/os.h"
#include "platform/posix/inherited_event.h"
#include "platform/posix/named_event_file.h"
#include "test_support.h"

namespace kestravo::test {
namespace {

bool BackingFileExists(const std::string& name) { return access(posix::NamedEventPath(name).c_str(), F_OK) == 0; }

// A process outside the library that waits on the event, blocked in its wait once this returns.
pid_t StartWaiter(const std::string& name) {
  pid_t pid = SpawnPlain({KESTRAVO_WAIT_STOP, name, "20000"});
  EXPECT_TRUE(WaitFor([&] { return BlockedOnFutex(pid); }));
  return pid;
}

// Made ahead or not, a create of a name in use opens what is there.
TEST(NamedEvent, SecondCreateOpensTheFirstAndTheLastCloseRemovesIt) {
  std::string name = CreateGuidString();
  posix::NamedEventFile::PrepareSpare();
  HANDLE first = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  posix::NamedEventFile::PrepareSpare();
  HANDLE second = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(CloseHandle(second));
  second = CreateEventA(nullptr, TRUE, TRUE, name.c_str());  // flags ignored: it exists
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  ASSERT_TRUE(SetEvent(second));
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_TIMEOUT) << "automatic reset was lost";
  struct stat st {};
  ASSERT_EQ(stat(posix::NamedEventPath(name).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  EXPECT_TRUE(CloseHandle(first));
  EXPECT_TRUE(BackingFileExists(name));
  EXPECT_TRUE(CloseHandle(second));
  EXPECT_FALSE(BackingFileExists(name));
  EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// A descriptor named as inherited is taken only for the event it is, opened for writing too; the
// handles made from it share its state and leave the event's name and holders alone.
TEST(NamedEvent, AnInheritedDescriptorIsTakenOnlyForItsOwnEvent) {
  std::string name = CreateGuidString(), other = CreateGuidString();
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name.c_str()), foreign = CreateEventA(nullptr, TRUE, FALSE, other.c_str());
  const int fd = posix::InheritableEventDescriptor(event), otherFd = posix::InheritableEventDescriptor(foreign);
  const int readOnly = open(posix::NamedEventPath(name).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_TRUE(fd >= 3 && otherFd >= 3 && readOnly >= 0 && fcntl(fd, F_GETFD) == 0);
  const std::string own = std::to_string(fd);
  const std::pair<std::string, std::string> refused[] = {{std::to_string(otherFd), name}, {std::to_string(readOnly), name},
                                                         {own, other}, {own + "x", name}, {"", name}, {"-1", name}, {"999", name}};
  for (const auto& [text, named] : refused) {
    EXPECT_EQ(posix::OpenInheritedEvent(text.c_str(), named.c_str()), nullptr) << text << " " << named;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE) << text << " " << named;
  }
  HANDLE taken = posix::OpenInheritedEvent(own.c_str(), name.c_str());
  ASSERT_NE(taken, nullptr);
  ASSERT_TRUE(SetEvent(event));
  EXPECT_EQ(WaitForSingleObject(taken, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(taken));
  close(fd), close(otherFd), close(readOnly);
  EXPECT_TRUE(BackingFileExists(name));
  EXPECT_TRUE(CloseHandle(event) && CloseHandle(foreign));
  EXPECT_FALSE(BackingFileExists(name) || BackingFileExists(other));
}

// A forked copy closes the handle it inherited: this process still holds the event. An event
// the copy makes is its own, not the one made ahead here, which this process names next.
TEST(NamedEvent, AForkedCopyLeavesThisProcesssHoldAndSpareAlone) {
  std::string name = CreateGuidString(), copys = CreateGuidString(), next = CreateGuidString();
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
  posix::NamedEventFile::PrepareSpare();
  pid_t copy = fork();
  if (copy == 0) _exit(CloseHandle(event) && CreateEventA(nullptr, FALSE, FALSE, copys.c_str()) != nullptr ? 0 : 1);
  ASSERT_EQ(WaitExit(copy), 0);
  EXPECT_TRUE(BackingFileExists(name));
  HANDLE mine = CreateEventA(nullptr, FALSE, FALSE, next.c_str());
  struct stat st {};
  ASSERT_EQ(stat(posix::NamedEventPath(next).c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 1u) << "the copy named the spare of this process";
  EXPECT_TRUE(CloseHandle(event) && CloseHandle(mine));
  EXPECT_FALSE(BackingFileExists(name) || BackingFileExists(next));
  unlink(posix::NamedEventPath(copys).c_str());  // the copy ended without closing it
}

TEST(NamedEvent, EventWhoseLastHolderWasKilledIsMadeAnew) {
  std::string name = CreateGuidString();
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
  pid_t holder = StartWaiter(name);
  CloseHandle(event);
  ASSERT_TRUE(BackingFileExists(name));  // the holder still has it
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  // Nobody holds the file now: it is a crash leftover, and a create replaces it, flags and all.
  HANDLE fresh = CreateEventA(nullptr, FALSE, TRUE, name.c_str());
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(fresh, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(fresh, 0), WAIT_TIMEOUT) << "the old manual-reset event survived";
  CloseHandle(fresh);
  EXPECT_FALSE(BackingFileExists(name));
}

// What another process does to the file under a live event's name, given a copy of its block.
// Returns a descriptor it keeps (with its lock) during the host's calls, -1 for none, -2 when the
// act failed, -3 when it needs root.
using HostileAct = int (*)(const std::string& path, const std::string& block);

int Done(int rc) { return rc == 0 ? -1 : -2; }

// A new file holding block under the name, in place of the one there.
int Plant(const std::string& path, const std::string& block) {
  unlink(path.c_str());
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  return fd >= 0 && pwrite(fd, block.data(), block.size(), 0) == 16 ? fd : -2;
}

const struct HostileCase {
  const char* name;
  HostileAct act;
  bool damaged;     // the host's own file is spoilt: Set, Reset and waits fail
  DWORD openError;  // what creating the name again gives
} kHostileCases[] = {
    {"TruncatedToZero", [](auto& p, auto&) { return Done(truncate(p.c_str(), 0)); }, true, ERROR_INVALID_HANDLE},
    {"TruncatedToThreeBytes", [](auto& p, auto&) { return Done(truncate(p.c_str(), 3)); }, true, ERROR_INVALID_HANDLE},
    {"HeaderOverwritten", [](auto& p, auto&) { return std::fstream(p, std::ios::in | std::ios::out) << "XXXX" ? -1 : -2; },
     true, ERROR_INVALID_HANDLE},
    {"ReplacedByAForeignFile", [](auto& p, auto&) { return Plant(p, std::string(16, 'x')); }, false, ERROR_INVALID_HANDLE},
    {"OpenToEveryone", [](auto& p, auto&) { return Done(chmod(p.c_str(), 0666)); }, false, ERROR_ACCESS_DENIED},
    {"Fifo", [](auto& p, auto&) { return Done(unlink(p.c_str()) | mkfifo(p.c_str(), 0600)); }, false, ERROR_INVALID_HANDLE},
    {"Symlink", [](auto& p, auto&) { return Done(unlink(p.c_str()) | symlink("/dev/null", p.c_str())); }, false,
     ERROR_INVALID_HANDLE},
    {"HeldExclusively", [](auto& p, auto& block) { int fd = Plant(p, block); return fd >= 0 && flock(fd, LOCK_EX) == 0 ? fd : -2; },
     false, ERROR_SHARING_VIOLATION},
    {"AnotherUsersFile",
     [](auto& p, auto& block) { int fd = geteuid() != 0 ? -3 : Plant(p, block); return fd < 0 || fchown(fd, 65534, 65534) == 0 ? fd : -2; },
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
  ASSERT_TRUE(std::ifstream(path).read(&block[0], 16));
  struct stat own {}, planted {}, after {};
  ASSERT_EQ(lstat(path.c_str(), &own), 0);
  pid_t waiter = c.damaged ? StartWaiter(name) : -1;  // a child waiting on its spoilt stop event
  int kept = c.act(path, block);
  if (kept == -3) CloseHandle(event);
  if (kept == -3) GTEST_SKIP() << "only root can give a file away";
  ASSERT_NE(kept, -2) << strerror(errno);
  ASSERT_EQ(lstat(path.c_str(), &planted), 0);

  // A SIGBUS here would end the whole test program; a hang would run into ctest's time-out.
  EXPECT_EQ(SetEvent(event), !c.damaged);
  EXPECT_EQ(WaitForSingleObject(event, 0), c.damaged ? WAIT_FAILED : WAIT_OBJECT_0);
  EXPECT_EQ(ResetEvent(event), !c.damaged);
  EXPECT_EQ(GetLastError(), c.damaged ? ERROR_INVALID_HANDLE : ERROR_SUCCESS);
  posix::NamedEventFile::PrepareSpare();  // one made ahead gives way to what is under the name
  EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), c.openError);
  EXPECT_EQ(KESTRAVO_ChildOpenStopEvent(name.c_str()), nullptr);  // a child's open, kept off the handle table
  EXPECT_EQ(GetLastError(), c.openError);
  EXPECT_EQ(lstat(path.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, planted.st_ino) << "the other process's file was removed";
  EXPECT_EQ(waiter > 0 ? WaitExit(waiter) : 2, 2) << "the waiter did not notice";
  if (waiter > 0) kill(waiter, SIGKILL);
  if (kept >= 0) close(kept);
  CloseHandle(event);  // the last holder of its own file removes it, damaged or not
  if (planted.st_ino != own.st_ino && rmdir(path.c_str()) != 0) unlink(path.c_str());  // the other's
  EXPECT_NE(lstat(path.c_str(), &after), 0) << "left in /dev/shm";
}

INSTANTIATE_TEST_SUITE_P(NamedEvent, HostileFile, ::testing::ValuesIn(kHostileCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A handle is refused once closed, even when its slot has been reused, and by objects of
// another kind. One set of a manual-reset event releases every thread that waits on it.
TEST(Event, StaleAndForeignHandlesAreRefusedAndOneSetReleasesEveryWaiter) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(event));
  HANDLE reused = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(reused, event);
  for (HANDLE bad : {event, INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(0x12345)}) {
    EXPECT_FALSE(SetEvent(bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(bad, 0), WAIT_FAILED);
    EXPECT_FALSE(CloseHandle(bad));
  }
  EXPECT_EQ(WaitForSingleObject(reused, 0), WAIT_TIMEOUT) << "a stale handle reached the new event";
  EXPECT_FALSE(TerminateProcess(reused, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  std::atomic<int> released{0};
  std::atomic<pid_t> tids[3]{};
  std::vector<std::thread> waiters;
  for (auto& tid : tids) waiters.emplace_back([&] { tid = gettid(), released += WaitForSingleObject(reused, 15000) == WAIT_OBJECT_0; });
  EXPECT_TRUE(WaitFor([&] { return BlockedOnFutex(tids[0]) && BlockedOnFutex(tids[1]) && BlockedOnFutex(tids[2]); }));
  SetEvent(reused);
  EXPECT_TRUE(WaitFor([&] { return released == 3; })) << released << " of 3 released";
  for (std::thread& waiter : waiters) waiter.join();
  CloseHandle(reused);
}

}  // namespace
}  // namespace kestravo::test
