#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "EventTestUtil.h"
#include "runtime/QrEvent.h"
#include "runtime/QrMutex.h"

using testutil::MsSince;
using testutil::WaitUntil;
using testutil::WaiterCount;
using Clock = std::chrono::steady_clock;

namespace {

const DWORD kLong = 10000;  // "forever" for a test: a broken wake-up fails, never hangs

TEST(QrEventWait, ZeroTimeoutLooksWithoutSleeping) {
  QrEvent unsignalled(false, false);
  auto start = Clock::now();
  EXPECT_EQ(QrEvent::WAIT_RC_TIMEOUT, unsignalled.Wait(0));
  EXPECT_LT(MsSince(start), 1000);

  QrEvent autoReset(false, true);
  EXPECT_EQ(QrEvent::WAIT_RC_OK, autoReset.Wait(0));
  EXPECT_EQ(QrEvent::WAIT_RC_TIMEOUT, autoReset.Wait(0));  // consumed

  QrEvent manual(true, true);
  EXPECT_EQ(QrEvent::WAIT_RC_OK, manual.Wait(0));
  EXPECT_EQ(QrEvent::WAIT_RC_OK, manual.Wait(0));  // stays signalled
  EXPECT_TRUE(manual.Reset());
  EXPECT_EQ(QrEvent::WAIT_RC_TIMEOUT, manual.Wait(0));
}

TEST(QrEventWait, TimeoutHoldsWithinMargins) {
  QrEvent event(false, false);
  auto start = Clock::now();
  EXPECT_EQ(QrEvent::WAIT_RC_TIMEOUT, event.Wait(100));
  long elapsed = MsSince(start);
  EXPECT_GE(elapsed, 90);
  EXPECT_LT(elapsed, 2000);
  EXPECT_EQ(0u, WaiterCount(event));  // the waiter unlinked itself
}

TEST(QrEventWait, AutoResetSetCompletesOnlyTheFirstRegisteredWaiter) {
  for (int round = 0; round < 30; ++round) {
    QrEvent event(false, false);
    std::atomic<int> firstResult{99};
    std::atomic<int> secondResult{99};
    std::thread first([&] { firstResult = event.Wait(kLong); });
    ASSERT_TRUE(WaitUntil([&] { return WaiterCount(event) == 1; }));
    std::thread second([&] { secondResult = event.Wait(kLong); });
    ASSERT_TRUE(WaitUntil([&] { return WaiterCount(event) == 2; }));

    EXPECT_TRUE(event.Set());
    first.join();
    EXPECT_EQ(QrEvent::WAIT_RC_OK, firstResult.load());
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(99, secondResult.load());
    EXPECT_EQ(1u, WaiterCount(event));

    EXPECT_TRUE(event.Set());
    second.join();
    EXPECT_EQ(QrEvent::WAIT_RC_OK, secondResult.load());
    EXPECT_EQ(QrEvent::WAIT_RC_TIMEOUT, event.Wait(0));  // both signals were consumed
  }
}

TEST(QrEventWait, AutoResetEachSetCompletesExactlyOneOfManyWaiters) {
  const int kWaiters = 3;
  const int kSets = 150;
  QrEvent event(false, false);
  std::atomic<int> completions{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      while (!stop) {
        if (event.Wait(kLong) == QrEvent::WAIT_RC_OK) {
          ++completions;
        }
      }
    });
  }
  for (int i = 1; i <= kSets; ++i) {
    // All waiters registered: the set cannot be left over for a later wait.
    ASSERT_TRUE(WaitUntil([&] { return WaiterCount(event) == kWaiters; }));
    event.Set();
    ASSERT_TRUE(WaitUntil([&] { return completions.load() >= i; }));
  }
  ASSERT_TRUE(WaitUntil([&] { return WaiterCount(event) == kWaiters; }));
  EXPECT_EQ(kSets, completions.load());
  stop = true;
  for (int i = 0; i < kWaiters; ++i) {
    event.Set();
    ASSERT_TRUE(WaitUntil([&] { return completions.load() == kSets + i + 1; }));
  }
  for (std::thread& t : waiters) {
    t.join();
  }
}

TEST(QrEventWait, ManualResetSetCompletesEveryWaiterAndStaysSignalled) {
  const int kWaiters = 4;
  for (int round = 0; round < 20; ++round) {
    QrEvent event(true, false);
    std::atomic<int> ok{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
      waiters.emplace_back([&] { ok += event.Wait(kLong) == QrEvent::WAIT_RC_OK ? 1 : 0; });
    }
    ASSERT_TRUE(WaitUntil([&] { return WaiterCount(event) == kWaiters; }));
    event.Set();
    for (std::thread& t : waiters) {
      t.join();
    }
    EXPECT_EQ(kWaiters, ok.load());
    EXPECT_EQ(QrEvent::WAIT_RC_OK, event.Wait(0));
  }
}

TEST(QrEventWait, CopiesShareOneEvent) {
  QrEvent original(false, false);
  QrEvent copy(original);
  EXPECT_EQ(original.DebugID(), copy.DebugID());
  std::atomic<int> result{99};
  std::thread waiter([&] { result = original.Wait(kLong); });
  ASSERT_TRUE(WaitUntil([&] { return WaiterCount(copy) == 1; }));
  // Reassigning between copies of the same event must not look like closing it.
  QrEvent third(true, false);
  third = copy;
  copy = third;
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(99, result.load());
  EXPECT_TRUE(third.Set());
  waiter.join();
  EXPECT_EQ(QrEvent::WAIT_RC_OK, result.load());
  QrEvent moved(std::move(copy));  // the moved-from handle fails softly
  EXPECT_FALSE(copy.Set());
  EXPECT_EQ(QrEvent::WAIT_RC_ERROR, copy.Wait(0));
  std::vector<QrEvent*> events{&moved, &copy};
  EXPECT_EQ(QrEvent::WAIT_RC_ERROR, QrEvent::WaitMultiple(events, false, 0));
}

TEST(QrEventWait, ClosingTheLastHandleCompletesWaitersWithError) {
  for (int round = 0; round < 20; ++round) {
    auto single = std::make_unique<QrEvent>(false, false);
    auto grouped = std::make_unique<QrEvent>(true, false);
    QrEvent other(false, false);
    std::atomic<int> singleResult{99};
    std::atomic<int> groupResult{99};
    QrEvent* singleRaw = single.get();
    std::vector<QrEvent*> group{&other, grouped.get()};
    std::thread w1([&] { singleResult = singleRaw->Wait(kLong); });
    std::thread w2([&] { groupResult = QrEvent::WaitMultiple(group, round % 2 == 0, kLong); });
    ASSERT_TRUE(WaitUntil([&] { return WaiterCount(*single) == 1 && WaiterCount(other) == 1; }));
    single.reset();
    grouped.reset();
    w1.join();
    w2.join();
    EXPECT_EQ(QrEvent::WAIT_RC_ERROR, singleResult.load());
    EXPECT_EQ(QrEvent::WAIT_RC_ERROR, groupResult.load());
    EXPECT_EQ(0u, WaiterCount(other));
  }
}

TEST(QrEventWaitMultiple, WaitAnyReturnsFirstSignalledIndex) {
  QrEvent e0(false, false), e1(false, true), e2(false, true);
  std::vector<QrEvent*> events{&e0, &e1, &e2};
  EXPECT_EQ(1, QrEvent::WaitMultiple(events, false, 0));
  EXPECT_EQ(QrEvent::WAIT_RC_TIMEOUT, e1.Wait(0));  // only the returned one was consumed
  EXPECT_EQ(QrEvent::WAIT_RC_OK, e2.Wait(0));
}

TEST(QrEventWaitMultiple, WaitAnyWakesOnTheEventSetByAnotherThread) {
  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    QrEvent e0(false, false), e1(true, false), e2(false, false);
    std::vector<QrEvent*> events{&e0, &e1, &e2};
    int which = static_cast<int>(rng() % 3);
    std::atomic<int> result{99};
    std::thread waiter([&] { result = QrEvent::WaitMultiple(events, false, kLong); });
    if (rng() % 2 == 0) {
      ASSERT_TRUE(WaitUntil([&] { return WaiterCount(e2) == 1; }));
    }
    events[static_cast<size_t>(which)]->Set();
    waiter.join();
    EXPECT_EQ(which, result.load());
    EXPECT_EQ(0u, WaiterCount(e0) + WaiterCount(e1) + WaiterCount(e2));
  }
}

TEST(QrEventWaitMultiple, WaitAllTakesAutoResetEventsTogetherOrNotAtAll) {
  QrEvent a(false, true), b(false, false);
  std::vector<QrEvent*> events{&a, &b};
  auto start = Clock::now();
  EXPECT_EQ(QrEvent::WAIT_RC_TIMEOUT, QrEvent::WaitMultiple(events, true, 50));
  EXPECT_GE(MsSince(start), 45);
  EXPECT_EQ(0u, WaiterCount(a));
  b.Set();
  EXPECT_EQ(0, QrEvent::WaitMultiple(events, true, 0));  // a was left signalled
  EXPECT_EQ(QrEvent::WAIT_RC_TIMEOUT, a.Wait(0));
  EXPECT_EQ(QrEvent::WAIT_RC_TIMEOUT, b.Wait(0));
}

// A wait-all group and a single waiter compete for one auto-reset event; the group must
// never take it without the other event, nor the other event without it.
TEST(QrEventWaitMultiple, WaitAllCompetingWithSingleWaiterNeverTakesHalf) {
  std::mt19937 rng(11);
  for (int round = 0; round < 100; ++round) {
    QrEvent a(false, false), b(false, false);
    std::vector<QrEvent*> both{&a, &b};
    std::atomic<int> groupResult{99};
    std::atomic<int> singleResult{99};
    std::thread group([&] { groupResult = QrEvent::WaitMultiple(both, true, kLong); });
    std::thread single([&] { singleResult = a.Wait(kLong); });
    if (rng() % 2 == 0) {
      ASSERT_TRUE(WaitUntil([&] { return WaiterCount(a) == 2; }));
    }
    if (rng() % 2 == 0) {
      a.Set();
      b.Set();
    } else {
      b.Set();
      a.Set();
    }
    // Exactly one of them got a; the other still waits and takes the next one.
    ASSERT_TRUE(WaitUntil([&] { return groupResult.load() != 99 || singleResult.load() != 99; }));
    a.Set();
    group.join();
    single.join();
    EXPECT_EQ(0, groupResult.load());
    EXPECT_EQ(QrEvent::WAIT_RC_OK, singleResult.load());
    EXPECT_EQ(QrEvent::WAIT_RC_TIMEOUT, a.Wait(0));
    EXPECT_EQ(QrEvent::WAIT_RC_TIMEOUT, b.Wait(0));
  }
}

TEST(QrEventWaitMultiple, EmptyListCompletesWaitAllAndTimesOutWaitAny) {
  std::vector<QrEvent*> none;
  EXPECT_EQ(0, QrEvent::WaitMultiple(none, true, kLong));
  auto start = Clock::now();
  EXPECT_EQ(QrEvent::WAIT_RC_TIMEOUT, QrEvent::WaitMultiple(none, false, 100));
  long elapsed = MsSince(start);
  EXPECT_GE(elapsed, 90);
  EXPECT_LT(elapsed, 2000);
}

// Handles: an assigned copy shares the state, a move assignment takes it over and leaves
// the source empty, where every call fails softly.
TEST(QrHandles, AssignmentSharesTheStateAndMoveAssignmentTransfersIt) {
  QrEvent event(true, false);
  QrEvent shared(false, false);
  shared = event;
  ASSERT_TRUE(shared.Set());
  EXPECT_EQ(QrEvent::WAIT_RC_OK, event.Wait(0));
  QrEvent taker(false, false);
  taker = std::move(shared);
  EXPECT_EQ(QrEvent::WAIT_RC_OK, taker.Wait(0));
  EXPECT_FALSE(shared.IsValid());
  EXPECT_FALSE(shared.Reset());
  EXPECT_EQ(QrEvent::WAIT_RC_ERROR, shared.Wait(0));

  QrMutex mutex;
  QrMutex alias;
  alias = mutex;
  ASSERT_TRUE(alias.Acquire(0));
  EXPECT_EQ(mutex.DebugID(), alias.DebugID());
  QrMutex owner;
  owner = std::move(alias);
  EXPECT_FALSE(alias.IsValid());
  EXPECT_FALSE(alias.Release());
  EXPECT_TRUE(mutex.Release());  // the lock the three names shared, taken once
}

}  // namespace
