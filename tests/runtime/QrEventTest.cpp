#include <cstdlib>
#include <future>
#include <memory>
#include <new>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/QrEvent.h"
#include "runtime/RuntimeTestUtil.h"

using testutil::WaiterCount;
using testutil::WaitUntil;

namespace {

const DWORD kLong = 10000;      // "forever" for a test: a broken wake-up fails, never hangs
thread_local int t_failAt = 0;  // when armed, this thread's n-th allocation from now fails

template <class Wait>
std::future<int> WaitOn(Wait wait) {
  return std::async(std::launch::async, wait);
}
bool Pending(const std::future<int>& result) {
  return result.wait_for(std::chrono::seconds(0)) == std::future_status::timeout;
}

}  // namespace

// Every form is replaced, so that what one form allocates another may free (ASan checks the
// pairing). Inert until a test arms t_failAt on its own thread.
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  return (t_failAt > 0 && --t_failAt == 0) ? nullptr : std::malloc(n == 0 ? 1 : n);
}
void* operator new[](size_t n, const std::nothrow_t& tag) noexcept { return operator new(n, tag); }
void* operator new(size_t n) {
  void* p = operator new(n, std::nothrow);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t n) { return operator new(n); }
// GCC's pairing check sees these frees inlined into this file and does not know new is malloc.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

TEST(QrEventWait, TimeoutsHoldAndAMoveHandsTheStateOver) {
  QrEvent unsignalled(false, false);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(QrEvent::WAIT_RC_TIMEOUT, unsignalled.Wait(100));
  std::vector<QrEvent*> none;
  EXPECT_EQ(QrEvent::WAIT_RC_TIMEOUT, QrEvent::WaitMultiple(none, false, 100));
  EXPECT_GE(testutil::MsSince(start), 180);
  EXPECT_LT(testutil::MsSince(start), 4000);
  EXPECT_EQ(0, QrEvent::WaitMultiple(none, true, kLong));  // nothing to wait for: all done
  EXPECT_EQ(0u, WaiterCount(unsignalled));                 // the waiter unlinked itself

  QrEvent event(true, true), taker(false, false);
  taker = std::move(event);
  QrEvent moved(std::move(taker));
  EXPECT_EQ(QrEvent::WAIT_RC_OK, moved.Wait(0));  // still the signalled event
  for (QrEvent* empty : {&event, &taker}) {
    EXPECT_FALSE(empty->IsValid() || empty->Reset() || empty->Set());
    EXPECT_EQ(QrEvent::WAIT_RC_ERROR, empty->Wait(0));
  }
  std::vector<QrEvent*> events{&moved, &taker};
  EXPECT_EQ(QrEvent::WAIT_RC_ERROR, QrEvent::WaitMultiple(events, false, 0));
}

// Reassigning between copies must not close the event on the way.
TEST(QrEventWait, SetCompletesTheFirstOrEveryWaiterAndClosingFailsThem) {
  for (int round = 0; round < 40; ++round) {
    const bool manual = round % 2 == 1;
    QrEvent event(manual, false);
    QrEvent copy(event), third(false, false);
    std::future<int> t1 = WaitOn([&] { return event.Wait(kLong); });
    ASSERT_TRUE(WaitUntil([&] { return WaiterCount(event) == 1; }));
    std::future<int> t2 = WaitOn([&] { return copy.Wait(kLong); });
    ASSERT_TRUE(WaitUntil([&] { return WaiterCount(event) == 2; }));
    third = copy;
    copy = third;
    EXPECT_TRUE(third.Set());
    EXPECT_TRUE(!manual || event.Set());  // the waiters may still be listed, already done
    EXPECT_EQ(QrEvent::WAIT_RC_OK, t1.get());
    if (!manual) {
      EXPECT_TRUE(Pending(t2));
      EXPECT_TRUE(event.Set());
    }
    EXPECT_EQ(QrEvent::WAIT_RC_OK, t2.get());
    EXPECT_EQ(manual ? QrEvent::WAIT_RC_OK : QrEvent::WAIT_RC_TIMEOUT, event.Wait(0));

    auto single = std::make_unique<QrEvent>(false, false);
    auto grouped = std::make_unique<QrEvent>(true, false);
    QrEvent other(false, false);
    std::vector<QrEvent*> group{&other, grouped.get()};
    std::future<int> w1 = WaitOn([s = single.get()] { return s->Wait(kLong); });
    std::future<int> w2 = WaitOn([&] { return QrEvent::WaitMultiple(group, !manual, kLong); });
    ASSERT_TRUE(WaitUntil([&] { return WaiterCount(*single) == 1 && WaiterCount(other) == 1; }));
    single.reset();
    grouped.reset();
    EXPECT_EQ(QrEvent::WAIT_RC_ERROR, w1.get());
    EXPECT_EQ(QrEvent::WAIT_RC_ERROR, w2.get());
    EXPECT_EQ(0u, WaiterCount(other));
  }
}

TEST(QrEventWaitMultiple, WaitAnyTakesOnlyTheFirstSignalledAndWaitAllNeverTakesHalf) {
  QrEvent e0(false, false), e1(true, false), e2(false, true);
  std::vector<QrEvent*> events{&e0, &e1, &e2};
  e0.Set();
  EXPECT_EQ(0, QrEvent::WaitMultiple(events, false, 0));
  EXPECT_EQ(QrEvent::WAIT_RC_TIMEOUT, e0.Wait(0));  // only the returned one was consumed
  EXPECT_EQ(QrEvent::WAIT_RC_OK, e2.Wait(0));
  QrEvent a(false, true), b(false, false);
  std::vector<QrEvent*> both{&a, &b};
  EXPECT_EQ(QrEvent::WAIT_RC_TIMEOUT, QrEvent::WaitMultiple(both, true, 50));
  EXPECT_EQ(0u, WaiterCount(a));
  b.Set();
  EXPECT_EQ(0, QrEvent::WaitMultiple(both, true, 0));  // a was left signalled
  std::mt19937 rng(7);
  for (int round = 0; round < 100; ++round) {
    std::future<int> group = WaitOn([&] { return QrEvent::WaitMultiple(both, true, kLong); });
    std::future<int> single = WaitOn([&] { return a.Wait(kLong); });
    EXPECT_TRUE(rng() % 2 == 0 || WaitUntil([&] { return WaiterCount(a) == 2; }));
    QrEvent* first = rng() % 2 == 0 ? &a : &b;
    first->Set();
    (first == &a ? b : a).Set();
    // Exactly one of them got a; the other still waits and takes the next one.
    ASSERT_TRUE(WaitUntil([&] { return !Pending(group) || !Pending(single); }));
    a.Set();
    EXPECT_EQ(0, group.get());
    EXPECT_EQ(QrEvent::WAIT_RC_OK, single.get());
    EXPECT_EQ(QrEvent::WAIT_RC_TIMEOUT, QrEvent::WaitMultiple(both, false, 0));  // none left
  }
}

// A group whose registration fails part-way leaves no entry in any event's list: a left
// entry would be completed after the group is gone.
TEST(QrEventWaitMultiple, AFailedAllocationLeavesNoEntryBehind) {
  QrEvent a(false, false), b(false, false);
  std::vector<QrEvent*> both{&a, &b};
  QrEvent::WaitMultiple(both, false, 0);  // the first use sets up the shared flag lock
  for (int n = 1; n <= 8; ++n) {
    t_failAt = n;
    try {
      QrEvent::WaitMultiple(both, false, 0);
    } catch (const std::bad_alloc&) {
    }
    t_failAt = 0;
    EXPECT_EQ(0u, WaiterCount(a) + WaiterCount(b)) << n;
  }
  b.Set();
  EXPECT_EQ(1, QrEvent::WaitMultiple(both, false, 0));
}

}  // namespace
