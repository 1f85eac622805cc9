#include <atomic>
#include <functional>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/QrEvent.h"
#include "runtime/QrMutex.h"
#include "runtime/RuntimeTestUtil.h"

using testutil::WaiterCount;
using testutil::WaitUntil;

namespace {

const DWORD kLong = 10000;  // "forever" for a test: a broken wake-up fails, never hangs
const int kPending = 99;    // a wait's result before it returned

// Waits on a thread of its own; the result lands in `result`.
std::thread WaitOn(std::atomic<int>& result, std::function<int()> wait) {
  result = kPending;
  return std::thread([&result, wait] { result = wait(); });
}

// Timeouts hold; an empty group is done at once. Handles: an assigned copy shares the
// state, a move takes it over and leaves the source empty, where every call fails softly.
TEST(QrEventWait, TimeoutsHoldAndHandlesShareOrHandOverTheirState) {
  QrEvent unsignalled(false, false);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(QrEvent::WAIT_RC_TIMEOUT, unsignalled.Wait(0));
  EXPECT_LT(testutil::MsSince(start), 1000);
  EXPECT_EQ(QrEvent::WAIT_RC_TIMEOUT, unsignalled.Wait(100));
  std::vector<QrEvent*> none;
  EXPECT_EQ(QrEvent::WAIT_RC_TIMEOUT, QrEvent::WaitMultiple(none, false, 100));
  EXPECT_GE(testutil::MsSince(start), 180);
  EXPECT_LT(testutil::MsSince(start), 4000);
  EXPECT_EQ(0, QrEvent::WaitMultiple(none, true, kLong));  // nothing to wait for: all done
  EXPECT_EQ(0u, WaiterCount(unsignalled));                 // the waiter unlinked itself

  QrEvent event(true, false), shared(false, false), taker(false, false);
  shared = event;
  ASSERT_TRUE(shared.Set());
  EXPECT_EQ(QrEvent::WAIT_RC_OK, event.Wait(0));
  taker = std::move(shared);
  EXPECT_EQ(QrEvent::WAIT_RC_OK, taker.Wait(0));
  QrEvent moved(std::move(taker));
  for (QrEvent* empty : {&shared, &taker}) {
    EXPECT_FALSE(empty->IsValid() || empty->Reset() || empty->Set());
    EXPECT_EQ(QrEvent::WAIT_RC_ERROR, empty->Wait(0));
  }
  std::vector<QrEvent*> events{&moved, &taker};
  EXPECT_EQ(QrEvent::WAIT_RC_ERROR, QrEvent::WaitMultiple(events, false, 0));
  QrMutex mutex, alias, owner;
  alias = mutex;
  ASSERT_TRUE(alias.Acquire(0));
  EXPECT_EQ(mutex.DebugID(), alias.DebugID());
  owner = std::move(alias);
  EXPECT_FALSE(alias.IsValid() || alias.Release());
  EXPECT_TRUE(mutex.Release());  // the lock the three names shared, taken once
}

// An auto-reset Set completes exactly one waiter, the first registered; the signal is
// never left over while someone waits.
TEST(QrEventWait, AutoResetSetCompletesOneWaiterInTheOrderTheyCame) {
  for (int round = 0; round < 30; ++round) {
    QrEvent event(false, false);
    std::atomic<int> first, second;
    std::thread t1 = WaitOn(first, [&] { return event.Wait(kLong); });
    ASSERT_TRUE(WaitUntil([&] { return WaiterCount(event) == 1; }));
    std::thread t2 = WaitOn(second, [&] { return event.Wait(kLong); });
    ASSERT_TRUE(WaitUntil([&] { return WaiterCount(event) == 2; }));
    EXPECT_TRUE(event.Set());
    t1.join();
    EXPECT_EQ(QrEvent::WAIT_RC_OK, first.load());
    EXPECT_EQ(kPending, second.load());
    EXPECT_EQ(1u, WaiterCount(event));
    EXPECT_TRUE(event.Set());
    t2.join();
    EXPECT_EQ(QrEvent::WAIT_RC_OK, second.load());
    EXPECT_EQ(QrEvent::WAIT_RC_TIMEOUT, event.Wait(0));  // both signals were consumed
  }
  const int kWaiters = 3, kSets = 150;
  QrEvent event(false, false);
  std::atomic<int> completions{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      while (!stop) completions += event.Wait(kLong) == QrEvent::WAIT_RC_OK ? 1 : 0;
    });
  }
  for (int i = 1; i <= kSets + kWaiters; ++i) {
    // All waiters registered: the set cannot be left over for a later wait.
    ASSERT_TRUE(WaitUntil([&] { return WaiterCount(event) == kWaiters || stop; }));
    stop = i > kSets;
    event.Set();
    ASSERT_TRUE(WaitUntil([&] { return completions.load() >= i; }));
  }
  for (std::thread& t : waiters) t.join();
  EXPECT_EQ(kSets + kWaiters, completions.load());
}

// A manual-reset Set completes every waiter; copies share one event and reassigning
// between them does not close it; closing the last handle completes waiters with an error.
TEST(QrEventWait, ManualResetWakesEveryWaiterAndClosingFailsThem) {
  for (int round = 0; round < 20; ++round) {
    QrEvent event(true, false);
    QrEvent copy(event), third(false, false);
    EXPECT_EQ(event.DebugID(), copy.DebugID());
    std::atomic<int> results[4];
    std::vector<std::thread> waiters;
    for (std::atomic<int>& r : results)
      waiters.push_back(WaitOn(r, [&] { return event.Wait(kLong); }));
    ASSERT_TRUE(WaitUntil([&] { return WaiterCount(event) == 4; }));
    third = copy;
    copy = third;
    EXPECT_TRUE(third.Set());
    for (std::thread& t : waiters) t.join();
    for (std::atomic<int>& r : results) EXPECT_EQ(QrEvent::WAIT_RC_OK, r.load());
    EXPECT_EQ(QrEvent::WAIT_RC_OK, event.Wait(0));

    auto single = std::make_unique<QrEvent>(false, false);
    auto grouped = std::make_unique<QrEvent>(true, false);
    QrEvent other(false, false);
    std::vector<QrEvent*> group{&other, grouped.get()};
    QrEvent* singleRaw = single.get();
    std::thread w1 = WaitOn(results[0], [&] { return singleRaw->Wait(kLong); });
    std::thread w2 =
        WaitOn(results[1], [&] { return QrEvent::WaitMultiple(group, round % 2 == 0, kLong); });
    ASSERT_TRUE(WaitUntil([&] { return WaiterCount(*single) == 1 && WaiterCount(other) == 1; }));
    single.reset();
    grouped.reset();
    w1.join();
    w2.join();
    EXPECT_EQ(QrEvent::WAIT_RC_ERROR, results[0].load());
    EXPECT_EQ(QrEvent::WAIT_RC_ERROR, results[1].load());
    EXPECT_EQ(0u, WaiterCount(other));
  }
}

// Wait-any takes only the first signalled event, also when it comes later; a wait-all group
// takes auto-reset events together or not at all, also while a single waiter competes.
TEST(QrEventWaitMultiple, WaitAnyTakesOnlyTheFirstSignalledAndWaitAllNeverTakesHalf) {
  QrEvent e0(false, false), e1(true, false), e2(false, true);
  std::vector<QrEvent*> events{&e0, &e1, &e2};
  e0.Set();
  EXPECT_EQ(0, QrEvent::WaitMultiple(events, false, 0));
  EXPECT_EQ(QrEvent::WAIT_RC_TIMEOUT, e0.Wait(0));  // only the returned one was consumed
  EXPECT_EQ(QrEvent::WAIT_RC_OK, e2.Wait(0));
  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    int which = static_cast<int>(rng() % 3);
    std::atomic<int> result;
    std::thread waiter =
        WaitOn(result, [&] { return QrEvent::WaitMultiple(events, false, kLong); });
    EXPECT_TRUE(rng() % 2 == 0 || WaitUntil([&] { return WaiterCount(e2) == 1; }));
    events[static_cast<size_t>(which)]->Set();
    waiter.join();
    EXPECT_EQ(which, result.load());
    EXPECT_EQ(0u, WaiterCount(e0) + WaiterCount(e1) + WaiterCount(e2));
    e1.Reset();
  }

  QrEvent a(false, true), b(false, false);
  std::vector<QrEvent*> both{&a, &b};
  EXPECT_EQ(QrEvent::WAIT_RC_TIMEOUT, QrEvent::WaitMultiple(both, true, 50));
  EXPECT_EQ(0u, WaiterCount(a));
  b.Set();
  EXPECT_EQ(0, QrEvent::WaitMultiple(both, true, 0));  // a was left signalled
  for (int round = 0; round < 100; ++round) {
    std::atomic<int> groupResult, singleResult;
    std::thread group =
        WaitOn(groupResult, [&] { return QrEvent::WaitMultiple(both, true, kLong); });
    std::thread single = WaitOn(singleResult, [&] { return a.Wait(kLong); });
    EXPECT_TRUE(rng() % 2 == 0 || WaitUntil([&] { return WaiterCount(a) == 2; }));
    QrEvent* first = rng() % 2 == 0 ? &a : &b;
    first->Set();
    (first == &a ? b : a).Set();
    // Exactly one of them got a; the other still waits and takes the next one.
    ASSERT_TRUE(WaitUntil([&] { return groupResult != kPending || singleResult != kPending; }));
    a.Set();
    group.join();
    single.join();
    EXPECT_EQ(0, groupResult.load());
    EXPECT_EQ(QrEvent::WAIT_RC_OK, singleResult.load());
    EXPECT_EQ(QrEvent::WAIT_RC_TIMEOUT, a.Wait(0));
    EXPECT_EQ(QrEvent::WAIT_RC_TIMEOUT, b.Wait(0));
  }
}

}  // namespace
