// The pool of hpids: lowest free first, 1024 of them, and safe across threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "manager/hpid_pool.h"

namespace kestravo::test {
namespace {

TEST(HpidPool, HandsOutTheLowestFreeHpid) {
  HpidPool pool;
  EXPECT_EQ(pool.Alloc(), 0u);
  EXPECT_EQ(pool.Alloc(), 1u);
  EXPECT_EQ(pool.Alloc(), 2u);
  EXPECT_TRUE(pool.Free(1));
  EXPECT_EQ(pool.Alloc(), 1u);
  EXPECT_EQ(pool.Alloc(), 3u);
}

TEST(HpidPool, ExhaustionChangesNothing) {
  HpidPool pool;
  for (uint32_t i = 0; i < KESTRAVO_MAX_HPID; ++i) ASSERT_EQ(pool.Alloc(), i);
  EXPECT_EQ(pool.Alloc(), KESTRAVO_NO_HPID);
  EXPECT_EQ(pool.Alloc(), KESTRAVO_NO_HPID);
  // Every slot is still taken: freeing one gives back exactly that one.
  ASSERT_TRUE(pool.Free(1023));
  EXPECT_EQ(pool.Alloc(), 1023u);
  ASSERT_TRUE(pool.Free(500));
  EXPECT_EQ(pool.Alloc(), 500u);
  EXPECT_EQ(pool.Alloc(), KESTRAVO_NO_HPID);
}

TEST(HpidPool, FreeAndSetWithinAndOutsideTheRange) {
  HpidPool pool;
  pool.Set(5, 1);
  for (uint32_t i = 0; i < 5; ++i) ASSERT_EQ(pool.Alloc(), i);
  EXPECT_EQ(pool.Alloc(), 6u) << "Set did not mark 5";
  for (int32_t bad : {-1, 1024, INT32_MIN, INT32_MAX}) {
    EXPECT_FALSE(pool.Free(bad)) << bad;
    pool.Set(bad, 0);
  }
  EXPECT_TRUE(pool.Free(1023));  // already free
  pool.Set(5, 0);
  EXPECT_EQ(pool.Alloc(), 5u);
  EXPECT_EQ(pool.Alloc(), 7u) << "an out-of-range call freed a slot";
}

TEST(HpidPool, ConcurrentAllocAndFreeNeverShareAnHpid) {
  HpidPool pool;
  constexpr int kThreads = 8;
  constexpr int kRounds = 2000;
  constexpr int kHeld = 20;  // per thread, so the threads compete for the same low slots
  std::vector<std::atomic<bool>> held(KESTRAVO_MAX_HPID);
  std::atomic<int> doubles{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) {
        std::vector<uint32_t> mine;
        for (int i = 0; i < kHeld; ++i) {
          uint32_t hpid = pool.Alloc();
          ASSERT_LT(hpid, KESTRAVO_MAX_HPID);  // 160 held at most
          if (held[hpid].exchange(true)) ++doubles;
          mine.push_back(hpid);
        }
        for (uint32_t hpid : mine) {
          held[hpid] = false;
          pool.Free(static_cast<int32_t>(hpid));
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(doubles.load(), 0);
  EXPECT_EQ(pool.Alloc(), 0u) << "a freed hpid stayed taken";
}

}  // namespace
}  // namespace kestravo::test
