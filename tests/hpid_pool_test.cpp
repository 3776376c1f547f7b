// The pool of hpids: lowest free first, 1024 of them, and safe across threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "manager/hpid_pool.h"

namespace kestravo::test {
namespace {

TEST(HpidPool, LowestFreeFirstUpToTheLastAndNothingOutsideTheRange) {
  HpidPool pool;
  pool.Set(5, 1);
  for (uint32_t i = 0; i < KESTRAVO_MAX_HPID - 1; ++i) ASSERT_EQ(pool.Alloc(), i < 5 ? i : i + 1);
  EXPECT_EQ(pool.Alloc(), KESTRAVO_NO_HPID);
  for (int32_t bad : {-1, 1024, INT32_MIN, INT32_MAX}) {
    EXPECT_FALSE(pool.Free(bad)) << bad;
    pool.Set(bad, 0);
  }
  EXPECT_EQ(pool.Alloc(), KESTRAVO_NO_HPID) << "an out-of-range call freed a slot";
  ASSERT_TRUE(pool.Free(1023));
  pool.Set(5, 0);
  EXPECT_EQ(pool.Alloc(), 5u);
  EXPECT_EQ(pool.Alloc(), 1023u);
}

TEST(HpidPool, ConcurrentAllocAndFreeNeverShareAnHpid) {
  HpidPool pool;
  std::vector<std::atomic<bool>> held(KESTRAVO_MAX_HPID);
  std::atomic<int> doubles{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 1000; ++round) {
        std::vector<uint32_t> mine;  // 20 per thread, so that the threads compete for the low slots
        for (int i = 0; i < 20; ++i) {
          uint32_t hpid = pool.Alloc();
          if (hpid >= KESTRAVO_MAX_HPID || held[hpid].exchange(true)) ++doubles;
          else mine.push_back(hpid);
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
