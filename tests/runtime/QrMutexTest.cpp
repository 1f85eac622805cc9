#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/AutoMutexLock.h"
#include "runtime/QrMutex.h"
#include "runtime/QrThread.h"
#include "runtime/RuntimeTestUtil.h"
#include "support/ScopedTestLogger.h"

// Misuse on purpose (recursion, release by a non-owner), which clang's lock analysis rejects.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wthread-safety-analysis"
#endif

using testutil::WaitUntil;

namespace {

bool FreeForOthers(QrMutex& mutex) {
  return std::async(std::launch::async, [&] { return mutex.Acquire(0) && mutex.Release(); }).get();
}

TEST(QrMutex, OwnershipRecursionCopiesAndReleasesByOthers) {
  QrMutex mutex(true, "ignored");  // owned from the start
  QrMutex copy(mutex), alias;
  alias = copy;
  EXPECT_EQ(mutex.DebugID(), alias.DebugID());
  ASSERT_TRUE(alias.Acquire(0));  // recursion never waits
  ASSERT_TRUE(mutex.Acquire(INFINITE));
  EXPECT_FALSE(std::async(std::launch::async, [&] { return mutex.Release(); }).get());
  EXPECT_TRUE(mutex.Release() && alias.Release());
  EXPECT_FALSE(FreeForOthers(mutex));  // as many releases as acquisitions
  EXPECT_TRUE(copy.Release());
  EXPECT_TRUE(FreeForOthers(copy));
  EXPECT_FALSE(mutex.Release());  // not held any more
  QrMutex moved(std::move(copy)), owner;
  owner = std::move(alias);
  for (QrMutex* empty : {&copy, &alias}) {
    EXPECT_FALSE(empty->IsValid() || empty->Acquire(0) || empty->Release());
  }
  AutoMutexLock lock(moved);
  EXPECT_FALSE(FreeForOthers(owner));
  EXPECT_TRUE(lock.Release());
  EXPECT_FALSE(lock.Release());  // already released: nothing to do
  EXPECT_TRUE(FreeForOthers(mutex));
  EXPECT_TRUE(lock.Acquire());
  EXPECT_FALSE(lock.Acquire());
  EXPECT_FALSE(FreeForOthers(mutex));
}

TEST(QrMutex, TimedAcquireGivesUpAndInfiniteAcquireWarnsOnceThenWaits) {
  ScopedTestLogger log(LOGGER_LOG_WARN);
  QrMutex::SetDeadlockWarningDelayForTests(30);
  QrMutex mutex;
  std::atomic<bool> done{false};
  std::atomic<QrThreadID> holderId{0};
  std::thread holder([&] {
    mutex.Acquire(INFINITE);
    holderId = QrThread::GetCurrentThreadID();
    WaitUntil([&] { return done.load(); }, 10000);
    testutil::SleepMs(100);
    mutex.Release();
  });
  ASSERT_TRUE(WaitUntil([&] { return holderId.load() != 0; }));
  EXPECT_FALSE(mutex.Acquire(0));
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(mutex.Acquire(100));  // longer than the warning delay: timed waits do not warn
  EXPECT_GE(testutil::MsSince(start), 90);
  done = true;
  EXPECT_TRUE(mutex.Acquire(INFINITE));
  EXPECT_TRUE(mutex.Release());
  holder.join();
  QrMutex::SetDeadlockWarningDelayForTests(30000);
  char expected[128];
  snprintf(expected, sizeof(expected),
           "Possible deadlock trying to acquire lock 0x%p held by thread 0x%08lX",
           static_cast<void*>(&mutex), static_cast<unsigned long>(holderId.load()));
  EXPECT_EQ(std::vector<std::string>{expected}, log.Writer()->Messages());
}

TEST(QrMutex, ExcludesOtherThreadsUnderContention) {
  QrMutex mutex;
  long counter = 0;  // guarded by mutex
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5000; ++i) {
        while (!mutex.Acquire((i + t) % 5 == 0 ? 1 : INFINITE)) continue;
        AutoMutexLock nested(mutex);
        ++counter;
        mutex.Release();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(4 * 5000, counter);
}

}  // namespace
