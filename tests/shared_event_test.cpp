// Shared handle holders: the last holder closes the handle, once, whatever thread it is on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "manager/managed_process.h"
#include "manager/shared_event.h"
#include "platform/os.h"
#include "platform/zol_runtime.h"

namespace kestravo::test {
namespace {

// Setting an event succeeds only while its handle is open; handles are never reused.
bool IsOpen(HANDLE event) { return ZOL_SetEvent(event) == 0; }

TEST(SharedEvent, CopiesShareAndTheLastOneCloses) {
  HANDLE event = ZOL_CreateEvent(0);
  ASSERT_NE(event, nullptr);
  auto first = std::make_unique<SharedEvent>(event);
  SharedEvent second;
  second = *first;
  EXPECT_EQ(second.Get(), event);
  first.reset();
  EXPECT_TRUE(IsOpen(event));
  SharedEvent third(second);
  second = SharedEvent();
  EXPECT_TRUE(IsOpen(event));
  // Assigning another handle releases this holder's share, the last one.
  HANDLE other = ZOL_CreateEvent(0);
  ASSERT_NE(other, nullptr);
  third = SharedEvent(other);
  EXPECT_NE(ZOL_CloseEvent(event), 0) << "the last holder left the handle open";
  EXPECT_EQ(third.Get(), other);
  EXPECT_TRUE(IsOpen(other));
}

TEST(SharedEvent, AssigningTheSameHandleKeepsItOpen) {
  HANDLE event = ZOL_CreateEvent(0);
  ASSERT_NE(event, nullptr);
  {
    SharedEvent holder(event);
    SharedEvent& alias = holder;
    holder = alias;
    EXPECT_EQ(holder.Get(), event);
    ASSERT_TRUE(IsOpen(event)) << "self-assignment closed the handle";

    SharedEvent copy(holder);
    holder = copy;
    copy = holder;
    EXPECT_TRUE(IsOpen(event));
  }
  // Both holders gone: a share lost on the way would leave the handle open.
  EXPECT_NE(ZOL_CloseEvent(event), 0);
}

TEST(SharedEvent, RecordCopyKeepsTheHandlesOfARemovedRecord) {
  HANDLE process = OpenProcess(0x1FFFFF, FALSE, static_cast<DWORD>(getpid()));
  HANDLE stop = ZOL_CreateEvent(0);
  HANDLE sync = ZOL_CreateEvent(0);
  ASSERT_TRUE(process && stop && sync);
  ProcessMap table;
  ManagedProcess& record = table[3];
  record.hpid = 3;
  record.processHandle = SharedEvent(process);
  record.namedEvent = SharedEvent(stop);
  record.syncEvent = SharedEvent(sync);
  ProcessMap snapshot = table;
  table.erase(3);

  EXPECT_EQ(ZOL_WaitForSingleObject(process, 0), WAIT_TIMEOUT) << "process handle closed early";
  EXPECT_TRUE(IsOpen(stop));
  EXPECT_TRUE(IsOpen(sync));
  snapshot.clear();
  EXPECT_EQ(ZOL_WaitForSingleObject(process, 0), WAIT_FAILED);
  EXPECT_NE(ZOL_CloseEvent(stop), 0);
  EXPECT_NE(ZOL_CloseEvent(sync), 0);
}

TEST(SharedEvent, CopiesDroppedOnManyThreadsCloseOnce) {
  constexpr int kThreads = 8;
  constexpr int kCopiesPerThread = 2000;
  for (int round = 0; round < 20; ++round) {
    HANDLE event = ZOL_CreateEvent(0);
    ASSERT_NE(event, nullptr);
    auto original = std::make_unique<SharedEvent>(event);
    std::atomic<int> closedEarly{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      // Each thread starts with its own copy and churns more of them.
      threads.emplace_back([copy = *original, &closedEarly]() mutable {
        for (int i = 0; i < kCopiesPerThread; ++i) {
          SharedEvent another(copy);
          copy = another;
          if (i % 100 == 0 && !IsOpen(copy.Get())) ++closedEarly;
        }
      });
    }
    original.reset();  // races with the threads' copies
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(closedEarly.load(), 0) << "round " << round;
    ASSERT_NE(ZOL_CloseEvent(event), 0) << "round " << round << ": the handle outlived its holders";
  }
}

}  // namespace
}  // namespace kestravo::test
