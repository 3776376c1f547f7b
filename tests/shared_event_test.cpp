// Shared handle holders: the last holder closes the handle, once, whatever thread it is on.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "manager/shared_event.h"
#include "platform/os.h"
#include "platform/zol_runtime.h"

namespace kestravo::test {
namespace {

// Setting an event succeeds only while its handle is open; handles are never reused.
bool IsOpen(HANDLE event) { return ZOL_SetEvent(event) == 0; }
// Closing it here fails when the last holder has closed it already.
bool ClosedByHolders(HANDLE event) { return ZOL_CloseEvent(event) != 0; }

TEST(SharedEvent, CopiesShareAndTheLastOneCloses) {
  HANDLE event = ZOL_CreateEvent(0);
  HANDLE other = ZOL_CreateEvent(0);
  ASSERT_TRUE(event && other);
  {
    SharedEvent holder(event);
    SharedEvent& alias = holder;
    holder = alias;  // the only holder counts itself before letting go
    ASSERT_TRUE(IsOpen(event));
    auto copy = std::make_unique<SharedEvent>(holder);
    holder = *copy;  // the same handle from another holder
    holder = SharedEvent(other);
    EXPECT_TRUE(IsOpen(event)) << "closed while a copy holds it";
    copy.reset();
    EXPECT_TRUE(ClosedByHolders(event)) << "the last holder left the handle open";
    EXPECT_TRUE(IsOpen(other));
  }
  EXPECT_TRUE(ClosedByHolders(other));
}

TEST(SharedEvent, CopiesDroppedOnManyThreadsCloseOnce) {
  HANDLE event = ZOL_CreateEvent(0);
  ASSERT_NE(event, nullptr);
  auto original = std::make_unique<SharedEvent>(event);
  std::atomic<int> closedEarly{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([copy = *original, &closedEarly]() mutable {
      for (int i = 0; i < 20000; ++i) {
        SharedEvent another(copy);
        copy = another;
        if (i % 100 == 0 && !IsOpen(copy.Get())) ++closedEarly;
      }
    });
  }
  original.reset();  // races with the threads' copies
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(closedEarly.load(), 0);
  EXPECT_TRUE(ClosedByHolders(event)) << "the handle outlived its holders";
}

}  // namespace
}  // namespace kestravo::test
