#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/QrEvent.h"
#include "runtime/QrPollItem.h"
#include "runtime/QrPollThread.h"
#include "runtime/RuntimeTestUtil.h"
#include "runtime/WkPtr.h"
#include "support/ScopedTestLogger.h"

using testutil::SleepMs;
using testutil::WaitUntil;

namespace {

// Item runs in order, "+" if timed out; read only once the scheduler stopped or let go.
std::vector<std::string> g_order;

class TestItem : public QrPollItem {
 public:
  explicit TestItem(const std::string& name, std::function<bool(TestItem*)> body = {})
      : QrPollItem(name), m_body(std::move(body)) {}
  bool Run(bool timedOut) override {
    g_order.push_back(std::string(Name()) + (timedOut ? "+" : ""));
    bool again = !m_body || m_body(this);
    ++m_runs;
    return again;
  }
  int Runs() const { return m_runs.load(); }

 private:
  std::function<bool(TestItem*)> m_body;
  std::atomic<int> m_runs{0};
};

class QrPollThreadTest : public ::testing::Test {
 protected:
  void SetUp() override { g_order.clear(); }
  // The scheduler stops before the members its items use (events, the logger) go.
  void TearDown() override {
    if (m_poll.Ptr() != nullptr) m_poll->StopScheduler();
  }
  QrEvent& NewEvent(bool manualReset, bool initialState) {
    m_events.emplace_back(new QrEvent(manualReset, initialState));
    return *m_events.back();
  }
  TestLogWriter* Log(Level level) {
    m_log = std::make_unique<ScopedTestLogger>(level);
    return m_log->Writer();
  }

  std::unique_ptr<ScopedTestLogger> m_log;
  std::vector<std::unique_ptr<QrEvent>> m_events;
  RCPtr<QrPollThread> m_poll = new QrPollThread("test");
};

// An event item never times out; a re-added item moves last in the turn.
TEST_F(QrPollThreadTest, EventItemsRunOncePerSignalAndItemsDueTogetherTakeTurns) {
  QrEvent& event = NewEvent(false, false);
  RCPtr<TestItem> item(new TestItem("evented"));
  ASSERT_TRUE(m_poll->AddItem(item, &event, -1));
  ASSERT_TRUE(m_poll->StartScheduler());
  for (int i = 1; i <= 20; ++i) {
    event.Set();
    ASSERT_TRUE(WaitUntil([&] { return item->Runs() == i; }));
  }
  m_poll->StopScheduler();
  EXPECT_EQ(std::vector<std::string>(20, "evented"), g_order);
  EXPECT_EQ(-1, item->TimeRemainingMS());
  m_poll->RemoveAllItems(false);

  QrEvent& always = NewEvent(true, true);  // never reset: every item is due on every pass
  RCPtr<TestItem> a(new TestItem("a")), b(new TestItem("b")), c(new TestItem("c"));
  for (TestItem* added : {a.Ptr(), b.Ptr(), c.Ptr(), a.Ptr()}) {
    ASSERT_TRUE(m_poll->AddItem(added, &always, -1));
  }
  EXPECT_EQ(3, m_poll->NumItems());
  g_order.clear();
  ASSERT_TRUE(m_poll->StartScheduler());
  ASSERT_TRUE(WaitUntil([&] { return a->Runs() >= 10; }));
  m_poll->StopScheduler();
  const char* expected[] = {"b", "c", "a"};
  for (size_t i = 0; i < g_order.size(); ++i) ASSERT_EQ(expected[i % 3], g_order[i]) << i;
}

// Answering false removes the item; before each wait the scheduler logs what it waits for.
TEST_F(QrPollThreadTest, PeriodicItemIsDueItsTimeoutAfterThePreviousRunEndedAndIsTraced) {
  TestLogWriter* log = Log(LOGGER_LOG_INFO);
  m_poll->SetSchedulerLogLevel(LOGGER_LOG_INFO);
  auto now = std::chrono::steady_clock::now;
  std::vector<decltype(now())> starts, ends{now()};  // then only the scheduler adds
  RCPtr<TestItem> item(new TestItem("periodic", [&](TestItem* self) {
    starts.push_back(now());
    SleepMs(20);
    ends.push_back(now());
    return self->Runs() < 3;  // the fourth run is the last
  }));
  ASSERT_TRUE(m_poll->AddItem(item, nullptr, 50));
  ASSERT_TRUE(m_poll->StartScheduler());
  ASSERT_TRUE(WaitUntil([&] { return !m_poll->IsMember(item); }));  // its lock orders the data
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_GE(starts[i] - ends[i], std::chrono::milliseconds(45)) << "run " << i;
  }
  EXPECT_EQ(std::vector<std::string>(4, "periodic+"), g_order);
  EXPECT_EQ(0, m_poll->NumItems());
  EXPECT_EQ(4, log->CountContaining("test: Item periodic took "));
  EXPECT_EQ(4, log->CountContaining("test: Item periodic timed out; last run "));
  EXPECT_LE(1, log->CountContaining("test: Waiting for periodic ("));
  std::vector<std::string> listings = log->MessagesContaining("test - 1 item\n");
  EXPECT_LE(4u, listings.size());
  for (const std::string& listing : listings) {
    EXPECT_EQ(0u, listing.find("test - 1 item\n   periodic - timeout(50ms)  elapsed(")) << listing;
    EXPECT_EQ(listing.size() - 44, listing.find(")  paused(FALSE)  event(FALSE)  disabled(0)\n"))
        << listing;
  }
  EXPECT_TRUE(WaitUntil([&] { return log->CountContaining("test - 0 items\n") > 0; }));
  EXPECT_TRUE(log->HasMessage("test: Waiting for INFINITE"));
  size_t lines = log->Count();
  m_poll->LogAllItems(LOGGER_LOG_DEBUG);  // below the logger's level
  EXPECT_EQ(lines, log->Count());
}

// Two disables need two enables.
TEST_F(QrPollThreadTest, DisableAndRemoveAllWithWaitReturnOnlyAfterRunReturned) {
  QrEvent* entered = &NewEvent(true, false);
  std::atomic<bool> inRun{false}, overlapped{false};
  RCPtr<TestItem> item(new TestItem("slow", [&inRun, entered](TestItem*) {
    inRun = true;
    entered->Set();
    SleepMs(20);
    inRun = false;
    return true;
  }));
  ASSERT_TRUE(m_poll->AddItem(item, &NewEvent(true, true), -1));
  RCPtr<TestItem> idle(new TestItem("idle"));
  ASSERT_TRUE(m_poll->AddItem(idle, nullptr, -1));
  ASSERT_TRUE(m_poll->StartScheduler());
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(QrEvent::WAIT_RC_OK, entered->Wait(10000));
    idle->Disable(true);  // not the running item: nothing to wait for
    EXPECT_TRUE(idle->Enable());
    item->Disable(true);
    overlapped = overlapped || inRun;
    item->Disable(false);
    entered->Reset();
    int runs = item->Runs();
    SleepMs(30);
    EXPECT_FALSE(item->Enable());
    EXPECT_EQ(runs, item->Runs());
    EXPECT_TRUE(item->Enable());
  }
  ASSERT_EQ(QrEvent::WAIT_RC_OK, entered->Wait(10000));
  m_poll->RemoveAllItems(true);
  EXPECT_FALSE(overlapped || inRun);
  EXPECT_EQ(0, m_poll->NumItems());
}

// A signal that comes while an item is paused is used up.
TEST_F(QrPollThreadTest, ItemsMayChangeThemselvesInsideRunAndPausedItemsNeverRun) {
  QrEvent& event = NewEvent(false, false);
  QrEvent& pausedEvent = NewEvent(false, false);
  RCPtr<TestItem> item(new TestItem("self", [](TestItem* self) {
    self->Disable(true);  // on the scheduler thread: no wait
    self->Enable();
    self->SetTimeoutMS(-1, true);
    self->TimeRemainingMS();
    EXPECT_TRUE(self->Runs() != 1 || self->Remove(true));
    return true;
  }));
  RCPtr<TestItem> evented(new TestItem("pausedEvent")), timed(new TestItem("pausedTimer"));
  RCPtr<TestItem> timer(new TestItem("timer"));
  ASSERT_TRUE(m_poll->AddItem(item, &event, -1));
  ASSERT_TRUE(m_poll->AddItem(evented, &pausedEvent, -1));
  ASSERT_TRUE(m_poll->AddItem(timed, nullptr, 0));
  ASSERT_TRUE(m_poll->AddItem(timer, nullptr, 10000));
  evented->PauseTimer();
  timed->PauseTimer();
  ASSERT_TRUE(m_poll->StartScheduler());
  for (int i = 1; i <= 2; ++i) {
    event.Set();
    ASSERT_TRUE(WaitUntil([&] { return item->Runs() == i; }));
  }
  event.Set();
  pausedEvent.Set();
  ASSERT_TRUE(WaitUntil([&] { return !testutil::IsSignaled(pausedEvent); }));  // taken
  SleepMs(30);
  evented->ResumeTimer();
  SleepMs(100);
  int32_t remaining = timer->TimeRemainingMS();
  ASSERT_TRUE(m_poll->AddItem(timer, nullptr, 10000));  // again: starts its timeout anew
  EXPECT_GT(timer->TimeRemainingMS(), remaining);
  EXPECT_EQ(3, m_poll->NumItems());
  EXPECT_EQ((std::vector<int>{2, 0, 0}),
            (std::vector<int>{item->Runs(), evented->Runs(), timed->Runs()}));
  pausedEvent.Set();
  ASSERT_TRUE(WaitUntil([&] { return evented->Runs() == 1; }));
  timed->ResumeTimer();
  ASSERT_TRUE(WaitUntil([&] { return timed->Runs() >= 3; }));
  EXPECT_EQ(1, evented->Runs());  // not run again on the passes of another item
}

// The poll thread being destroyed is held up on the external lock while its item looks.
TEST_F(QrPollThreadTest, ExternalLockGuardsItemsAndAnItemOfADestroyedPollThreadWarnsOnce) {
  TestLogWriter* log = Log(LOGGER_LOG_WARN);
  QrMutex external(false);
  m_poll->SetLock(&external);
  EXPECT_EQ(&external, &m_poll->GetLock());
  RCPtr<TestItem> item(new TestItem("stale"));
  ASSERT_TRUE(m_poll->AddItem(item, nullptr, 10000));
  ASSERT_TRUE(external.Acquire(INFINITE));
  auto reset = std::async(std::launch::async, [&] { item->ResetTimer(); });
  EXPECT_EQ(std::future_status::timeout, reset.wait_for(std::chrono::milliseconds(30)));
  external.Release();
  reset.get();
  UserDataHandle handle = m_poll->Handle();
  WkPtr<QrPollThread> weak(m_poll);
  ASSERT_TRUE(external.Acquire(INFINITE));
  std::thread dropper([&] { m_poll = static_cast<QrPollThread*>(nullptr); });
  ASSERT_TRUE(WaitUntil([&] { return weak.GetTrackedObject(false) == nullptr; }));
  EXPECT_EQ(nullptr, item->GetPollThread().Ptr());
  EXPECT_FALSE(item->Remove(false));  // resolves again, without a second warning
  external.Release();
  dropper.join();
  char expected[128];
  snprintf(expected, sizeof(expected), "stale: QrPollThread 0x%p has been deleted", handle);
  EXPECT_EQ(std::vector<std::string>{expected}, log->Messages());
}

// Left the last reference, the scheduler's callback destroys the poll thread it runs for.
TEST_F(QrPollThreadTest, DroppingTheLastReferenceFreesItsItemsForAnotherPollThread) {
  TestLogWriter* log = Log(LOGGER_LOG_DEBUG);
  RCPtr<TestItem> item(new TestItem("orphan"));
  ASSERT_TRUE(m_poll->AddItem(item, nullptr, 100000));
  ASSERT_TRUE(m_poll->StartScheduler());
  UserDataHandle handle = m_poll->Handle();
  ASSERT_TRUE(WaitUntil([&] { return m_poll->RefCount() >= 2; }));
  // Watched without taking references, which would keep the scheduler from being the last.
  WkPtr<QrPollThread> weak(m_poll);
  m_poll = static_cast<QrPollThread*>(nullptr);
  EXPECT_NE(nullptr, weak.GetTrackedObject(false));
  item->ResetTimer();  // wakes the scheduler, which finds itself the last holder
  ASSERT_TRUE(WaitUntil([&] { return weak.GetTrackedObject(false) == nullptr; }));
  EXPECT_EQ(nullptr, QrPollThread::Find(handle).Ptr());
  EXPECT_EQ(nullptr, item->GetPollThread().Ptr());
  EXPECT_TRUE(WaitUntil([&] { return log->HasMessage("Thread QrPoll-test was deleted"); }));
  EXPECT_EQ(1, log->CountContaining("Setting deleted flag for thread QrPoll-test(0x"));
  m_log.reset();

  m_poll = new QrPollThread("test");
  EXPECT_FALSE(m_poll->RemoveItem(item, false));
  RCPtr<QrPollThread> other(new QrPollThread("other"));
  ASSERT_TRUE(other->AddItem(item, &NewEvent(false, false), 5000));
  EXPECT_FALSE(m_poll->AddItem(item, nullptr, 10) || m_poll->AddItem(nullptr, nullptr, 10) ||
               m_poll->RemoveItem(item, false));
  EXPECT_EQ(other.Ptr(), item->GetPollThread().Ptr());
  EXPECT_GT(item->TimeRemainingMS(), 4000);  // its timeout was not changed to 10
  EXPECT_TRUE(item->Remove(false));
  EXPECT_TRUE(m_poll->AddItem(item, nullptr, 10));
}

// Each worker owns its items: an item outside a poll thread has no lock to share.
TEST_F(QrPollThreadTest, ConcurrentItemOperationsWhileSchedulerRuns) {
  QrEvent* events[3] = {&NewEvent(false, false), &NewEvent(true, false), &NewEvent(false, false)};
  std::vector<RCPtr<TestItem>> items;
  for (int i = 0; i < 6; ++i) {
    items.emplace_back(new TestItem("item", [i](TestItem*) { return i % 3 != 0; }));
  }
  ASSERT_TRUE(m_poll->StartScheduler());
  std::atomic<bool> stop{false};
  auto worker = [&](int index) {
    for (unsigned state = static_cast<unsigned>(index + 1); !stop;) {
      state = state * 1103515245u + 12345u;
      TestItem* item = items[static_cast<size_t>(index * 3) + (state >> 8) % 3].Ptr();
      QrEvent* event = events[(state >> 4) % 3];
      // clang-format off
      switch ((state >> 16) % 7) {
        case 0: m_poll->AddItem(item, event, static_cast<int32_t>(state % 5) - 1); break;
        case 1: item->Remove((state & 1) != 0); break;
        case 2: item->Disable((state & 1) != 0); item->Enable(); break;
        case 3: event->Set(); break;
        case 4: events[1]->Reset(); break;
        case 5: item->SetTimeoutMS(static_cast<int32_t>(state % 4), false); break;
        default: item->PauseTimer(); item->ResumeTimer(); break;
      }
      // clang-format on
    }
  };
  std::thread w0(worker, 0), w1(worker, 1);
  SleepMs(300);
  stop = true;
  w0.join();
  w1.join();
  m_poll->RemoveAllItems(true);
  EXPECT_EQ(0, m_poll->NumItems());
  EXPECT_FALSE(g_order.empty());  // none runs now: safe to read
  for (RCPtr<TestItem>& item : items) EXPECT_FALSE(m_poll->IsMember(item));
}

}  // namespace
