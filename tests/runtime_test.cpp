// The runtime library: locks and their scoped holders, events, threads, the atomic counter.
#include <gtest/gtest.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/atomic_counter.h"
#include "platform/zol_mutex.h"
#include "platform/zol_runtime.h"
#include "test_support.h"

namespace kestravo::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// How long a held lock is watched for another thread wrongly taking it.
constexpr milliseconds kHeldWindow(150);

// Another thread that blocks in Lock until it owns the mutex, then gives it back at once.
// The test must leave the mutex free before the contender goes, or its join waits forever.
class Contender {
 public:
  explicit Contender(ZOL_Mutex* mutex)
      : thread_([this, mutex] {
          mutex->Lock();
          acquired_ = true;
          mutex->Unlock();
        }) {}
  ~Contender() { thread_.join(); }
  bool Acquires(milliseconds limit = milliseconds(10000)) {
    return WaitFor([this] { return acquired_.load(); }, limit);
  }

 private:
  std::atomic<bool> acquired_{false};
  std::thread thread_;
};

// Whether another thread can take the C-style mutex right now (it gives it back at once).
bool FreeForOtherThread(ZOL_MUTEX* mutex) {
  int rc = -1;
  std::thread([&] {
    rc = ZOL_MutexTryLock(mutex);
    if (rc == 0) ZOL_MutexUnlock(mutex);
  }).join();
  return rc == 0;
}

TEST(Mutex, OwnerLocksAgainAndOthersWaitForTheLastUnlock) {
  ZOL_MUTEX mutex = nullptr;
  ASSERT_EQ(ZOL_MutexCreate(&mutex, 0), 0);
  ASSERT_EQ(ZOL_MutexLock(&mutex), 0);
  ASSERT_EQ(ZOL_MutexTryLock(&mutex), 0) << "the owner could not lock again";
  ASSERT_EQ(ZOL_MutexLock(&mutex), 0);

  for (int held = 3; held > 0; --held) {
    EXPECT_FALSE(FreeForOtherThread(&mutex)) << "held " << held << " times";
    EXPECT_EQ(ZOL_MutexUnlock(&mutex), 0);
  }
  EXPECT_TRUE(FreeForOtherThread(&mutex));
  EXPECT_EQ(ZOL_MutexDestroy(&mutex), 0);
}

TEST(Mutex, GuardReleaseUnlocksOnceAndItsDestructorThenDoesNothing) {
  ZOL_Mutex mutex;
  ASSERT_EQ(mutex.Lock(), 0);  // our own hold, under the guard's
  {
    ZOL_Guard guard(&mutex);
    ASSERT_EQ(mutex.Lock(), 0);  // recursive through the class too
    ASSERT_EQ(mutex.Unlock(), 0);
    guard.Release();
    guard.Release();
  }
  Contender contender(&mutex);
  EXPECT_FALSE(contender.Acquires(kHeldWindow)) << "the guard unlocked more than once";
  ASSERT_EQ(mutex.Unlock(), 0);
  EXPECT_TRUE(contender.Acquires());
}

TEST(Runtime, EventStartsUnsetAndStaysSetUntilReset) {
  HANDLE event = ZOL_CreateEvent(0);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(ZOL_WaitForSingleObject(event, 0), WAIT_TIMEOUT);

  uint32_t waited = WAIT_FAILED;
  std::thread waiter([&] { waited = ZOL_WaitForSingleObject(event, 10000); });
  EXPECT_EQ(ZOL_SetEvent(event), 0);
  waiter.join();
  EXPECT_EQ(waited, 0u);
  EXPECT_EQ(ZOL_WaitForSingleObject(event, 0), 0u);
  EXPECT_EQ(ZOL_WaitForSingleObject(event, 0), 0u) << "a wait cleared the event";
  EXPECT_EQ(ZOL_ResetEvent(event), 0);

  auto start = steady_clock::now();
  EXPECT_EQ(ZOL_WaitForSingleObject(event, 200), WAIT_TIMEOUT);
  auto elapsed = steady_clock::now() - start;
  EXPECT_GE(elapsed, milliseconds(200));
  EXPECT_LT(elapsed, milliseconds(5000));
  EXPECT_EQ(ZOL_CloseEvent(event), 0);
}

struct ThreadProbe {
  int value = 0;
  pthread_t thread{};
  bool termBlocked = false;
  bool segvBlocked = true;
};

uint32_t Probe(void* param) {
  auto* probe = static_cast<ThreadProbe*>(param);
  probe->value += 41;
  probe->thread = pthread_self();
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  probe->termBlocked = sigismember(&mask, SIGTERM) == 1;
  probe->segvBlocked = sigismember(&mask, SIGSEGV) == 1;
  return 0;
}

TEST(Runtime, ThreadRunsTheRoutineWithItsParameter) {
  ThreadProbe first;
  ThreadProbe second;
  uint32_t firstId = 0;
  uint32_t secondId = 0;
  void* a = ZOL_Thread_Create(Probe, &first, 0, 0, 0, &firstId);
  void* b = ZOL_Thread_Create(Probe, &second, 1, 0, 0, &secondId);  // raised to the minimum
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(ZOL_Thread_Wait(a), 0);
  EXPECT_EQ(ZOL_Thread_Wait(b), 0);
  EXPECT_EQ(first.value, 41);
  EXPECT_EQ(second.value, 41);
  EXPECT_FALSE(pthread_equal(first.thread, pthread_self()));
  EXPECT_NE(firstId, secondId);
  EXPECT_TRUE(first.termBlocked) << "asynchronous signals must stay with the host's threads";
  EXPECT_FALSE(first.segvBlocked);

  EXPECT_EQ(ZOL_Thread_Create(Probe, &first, 0, 5, 0, nullptr), nullptr);
  EXPECT_EQ(ZOL_GetSystemLastError(), EINVAL);
  EXPECT_EQ(ZOL_GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ZOL_Thread_Create(nullptr, nullptr, 0, 0, 0, nullptr), nullptr);
  EXPECT_NE(ZOL_Thread_Wait(nullptr), 0);
}

TEST(Runtime, AtomicCounterUnderThreads) {
  constexpr int kThreads = 6;
  constexpr int kPerThread = 5000;
  AtomicCounter counter(100);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kPerThread; ++i) {
        counter.Increment();
        counter.Decrement();
        counter.Increment();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter.Get(), 100 + kThreads * kPerThread);
  EXPECT_EQ(counter.Increment(), 101 + kThreads * kPerThread);
  AtomicCounter zero;
  EXPECT_EQ(zero.Decrement(), -1);
}

}  // namespace
}  // namespace kestravo::test
