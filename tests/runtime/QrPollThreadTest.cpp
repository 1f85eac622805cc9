#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/AutoMutexLock.h"
#include "runtime/QrEvent.h"
#include "runtime/QrPollItem.h"
#include "runtime/QrPollThread.h"
#include "runtime/RuntimeTestUtil.h"
#include "runtime/WkPtr.h"
#include "support/ScopedTestLogger.h"

using testutil::MsSince;
using testutil::WaitUntil;
using Clock = std::chrono::steady_clock;

namespace {

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Records each run: its start and end, whether it timed out, and (in a log shared by
// several items) the order the scheduler served them in.
class TestItem : public QrPollItem {
 public:
  typedef std::function<bool(TestItem*)> Body;

  explicit TestItem(const std::string& name, Body body = Body(),
                    std::vector<std::string>* order = nullptr)
      : QrPollItem(name), m_body(std::move(body)), m_order(order) {}

  bool Run(bool timedOut) override {
    {
      std::lock_guard<std::mutex> guard(s_lock);
      m_starts.push_back(Clock::now());
      m_timedOut.push_back(timedOut);
      if (m_order != nullptr) m_order->push_back(Name());
    }
    bool again = m_body ? m_body(this) : true;
    std::lock_guard<std::mutex> guard(s_lock);
    m_ends.push_back(Clock::now());
    ++m_runs;
    return again;
  }
  int Runs() const { return m_runs.load(); }
  std::vector<bool> TimedOutFlags() {
    std::lock_guard<std::mutex> guard(s_lock);
    return m_timedOut;
  }
  // Milliseconds from the end of run i-1 to the start of run i.
  long GapBefore(size_t i) {
    std::lock_guard<std::mutex> guard(s_lock);
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(m_starts[i] - m_ends[i - 1]).count());
  }
  static std::mutex s_lock;  // guards every item's records and the shared order

 private:
  Body m_body;
  std::vector<std::string>* m_order;
  std::atomic<int> m_runs{0};
  std::vector<Clock::time_point> m_starts, m_ends;
  std::vector<bool> m_timedOut;
};
std::mutex TestItem::s_lock;

// Stops the scheduler before the locals declared ahead of it (a test logger) die, also
// when an assertion leaves the test early.
struct StopAtScopeEnd {
  QrPollThread* pollThread;
  ~StopAtScopeEnd() { pollThread->StopScheduler(); }
};

class QrPollThreadTest : public ::testing::Test {
 protected:
  void SetUp() override { m_poll = new QrPollThread("test"); }
  void TearDown() override {
    if (m_poll.Ptr() != nullptr) m_poll->StopScheduler();
  }
  // Events that outlive the scheduler (a test body's locals die before TearDown stops it).
  QrEvent& NewEvent(bool manualReset, bool initialState) {
    m_events.emplace_back(new QrEvent(manualReset, initialState));
    return *m_events.back();
  }

  // State the items' bodies use: it outlives the scheduler, which TearDown stops.
  std::vector<std::unique_ptr<QrEvent>> m_events;
  std::vector<std::string> m_order;  // guarded by TestItem::s_lock
  std::atomic<bool> m_inRun{false};
  RCPtr<QrPollThread> m_poll;
};

// An event item runs once per signal and never timed out; a zero timeout is due right
// after each run.
TEST_F(QrPollThreadTest, EventItemRunsOncePerSignalAndZeroTimeoutRunsAtOnce) {
  QrEvent& event = NewEvent(false, false);
  RCPtr<TestItem> item(new TestItem("evented")), busy(new TestItem("busy"));
  ASSERT_TRUE(m_poll->AddItem(item, &event, -1));
  ASSERT_TRUE(m_poll->StartScheduler());
  SleepMs(30);
  EXPECT_EQ(0, item->Runs());
  for (int i = 1; i <= 20; ++i) {
    event.Set();
    ASSERT_TRUE(WaitUntil([&] { return item->Runs() == i; }));
  }
  ASSERT_TRUE(m_poll->AddItem(busy, nullptr, 0));
  ASSERT_TRUE(WaitUntil([&] { return busy->Runs() >= 50; }));
  EXPECT_EQ(20, item->Runs());
  EXPECT_EQ(std::vector<bool>(20, false), item->TimedOutFlags());
  EXPECT_EQ(-1, item->TimeRemainingMS());
}

TEST_F(QrPollThreadTest, ItemsSignalledTogetherAreServedInTurn) {
  QrEvent& always = NewEvent(true, true);  // never reset: every item is due on every pass
  std::vector<RCPtr<TestItem>> items;
  for (const char* name : {"a", "b", "c", "a"}) {
    if (std::string(name) != "a" || items.empty())
      items.emplace_back(new TestItem(name, {}, &m_order));
    ASSERT_TRUE(m_poll->AddItem(name[0] == 'a' ? items[0] : items.back(), &always, -1));
  }  // re-adding a moves it behind c
  EXPECT_EQ(3, m_poll->NumItems());
  ASSERT_TRUE(m_poll->StartScheduler());
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> guard(TestItem::s_lock);
    return m_order.size() >= 30;
  }));
  m_poll->StopScheduler();
  const char* expected[] = {"b", "c", "a"};
  for (size_t i = 0; i < m_order.size(); ++i) ASSERT_EQ(expected[i % 3], m_order[i]) << i;
}

TEST_F(QrPollThreadTest, PeriodicItemIsDueItsTimeoutAfterThePreviousRunEnded) {
  RCPtr<TestItem> item(new TestItem("periodic", [](TestItem* self) {
    SleepMs(40);
    return self->Runs() < 3;  // the fourth run is the last
  }));
  ASSERT_TRUE(m_poll->AddItem(item, nullptr, 100));
  auto start = Clock::now();
  ASSERT_TRUE(m_poll->StartScheduler());
  ASSERT_TRUE(WaitUntil([&] { return !m_poll->IsMember(item); }));
  EXPECT_GE(MsSince(start), 4 * 100 + 3 * 40 - 20);
  EXPECT_EQ(4, item->Runs());
  for (size_t i = 1; i < 4; ++i) {
    EXPECT_GE(item->GapBefore(i), 90) << "run " << i;
    EXPECT_LT(item->GapBefore(i), 2000) << "run " << i;
  }
  EXPECT_EQ(std::vector<bool>(4, true), item->TimedOutFlags());
  // Returning false removed it and cleared its handle.
  EXPECT_EQ(0, m_poll->NumItems());
  EXPECT_EQ(nullptr, item->GetPollThread().Ptr());
  EXPECT_FALSE(item->Remove(false));
}

TEST_F(QrPollThreadTest, TimerPausesResumesWhereItWasAndRestartsWhenReAdded) {
  RCPtr<TestItem> item(new TestItem("timer"));
  ASSERT_TRUE(m_poll->AddItem(item, nullptr, 10000));
  SleepMs(60);
  item->PauseTimer();
  int32_t atPause = item->TimeRemainingMS();
  EXPECT_LE(atPause, 10000 - 50);
  SleepMs(100);
  EXPECT_EQ(atPause, item->TimeRemainingMS());
  item->ResumeTimer();
  EXPECT_LE(item->TimeRemainingMS(), atPause);
  EXPECT_GT(item->TimeRemainingMS(), atPause - 100);
  ASSERT_TRUE(m_poll->AddItem(item, nullptr, 10000));
  EXPECT_GT(item->TimeRemainingMS(), atPause);
  EXPECT_EQ(1, m_poll->NumItems());
}

TEST_F(QrPollThreadTest, AddItemRefusesAnItemOfAnotherPollThread) {
  RCPtr<QrPollThread> other(new QrPollThread("other"));
  RCPtr<TestItem> item(new TestItem("owned"));
  ASSERT_TRUE(other->AddItem(item, &NewEvent(false, false), 5000));
  EXPECT_FALSE(m_poll->AddItem(item, nullptr, 10));
  EXPECT_FALSE(m_poll->AddItem(nullptr, nullptr, 10));
  EXPECT_FALSE(m_poll->RemoveItem(item, false));
  EXPECT_TRUE(other->IsMember(item));
  EXPECT_FALSE(m_poll->IsMember(item));
  EXPECT_EQ(other.Ptr(), item->GetPollThread().Ptr());
  EXPECT_EQ(0, m_poll->NumItems());
  EXPECT_GT(item->TimeRemainingMS(), 4000);  // its timeout was not changed to 10
  EXPECT_TRUE(item->Remove(false));
  EXPECT_TRUE(m_poll->AddItem(item, nullptr, 10));
}

// Disabling or removing everything with a wait returns only after the running Run has
// returned; two disables need two enables.
TEST_F(QrPollThreadTest, DisableAndRemoveAllWithWaitReturnOnlyAfterRunReturned) {
  QrEvent* entered = &NewEvent(true, false);
  RCPtr<TestItem> item(new TestItem("slow", [this, entered](TestItem*) {
    m_inRun = true;
    entered->Set();
    SleepMs(30);
    m_inRun = false;
    return true;
  }));
  ASSERT_TRUE(m_poll->AddItem(item, &NewEvent(true, true), -1));
  bool overlapped = false;
  RCPtr<TestItem> idle(new TestItem("idle"));
  ASSERT_TRUE(m_poll->AddItem(idle, nullptr, -1));
  ASSERT_TRUE(m_poll->StartScheduler());
  for (int round = 0; round < 5; ++round) {
    ASSERT_EQ(QrEvent::WAIT_RC_OK, entered->Wait(10000));
    item->Disable(true);
    overlapped = overlapped || m_inRun.load();
    item->Disable(false);
    entered->Reset();
    int runs = item->Runs();
    SleepMs(40);
    EXPECT_EQ(runs, item->Runs());
    EXPECT_FALSE(item->Enable());
    EXPECT_EQ(runs, item->Runs());
    EXPECT_TRUE(item->Enable());
  }
  ASSERT_EQ(QrEvent::WAIT_RC_OK, entered->Wait(10000));
  m_poll->RemoveAllItems(true);
  overlapped = overlapped || m_inRun.load();
  EXPECT_FALSE(overlapped);
  EXPECT_EQ(0, m_poll->NumItems());
  int runs = item->Runs();
  SleepMs(40);
  EXPECT_EQ(runs, item->Runs());
  EXPECT_EQ(0, idle->Runs());
}

TEST_F(QrPollThreadTest, SchedulerTraceNamesItsWaitsAndEachRunWithItsDuration) {
  ScopedTestLogger log(LOGGER_LOG_INFO);
  StopAtScopeEnd stopFirst{m_poll.Ptr()};  // before the logger goes
  RCPtr<TestItem> once(new TestItem("once", [](TestItem*) { return false; }));
  m_poll->SetSchedulerLogLevel(LOGGER_LOG_INFO);
  ASSERT_TRUE(m_poll->AddItem(once, nullptr, 10));
  ASSERT_TRUE(m_poll->StartScheduler());
  ASSERT_TRUE(
      WaitUntil([&] { return log.Writer()->CountContaining("test: Item once took ") == 1; }));
  EXPECT_EQ(1, log.Writer()->CountContaining("test: Item once timed out; last run "));
  EXPECT_LE(1, log.Writer()->CountContaining("test: Waiting for once ("));
}

// From inside Run an item may disable, enable, re-time and remove itself without waiting
// on itself; once removed it is not rescheduled.
TEST_F(QrPollThreadTest, ItemOperationsFromInsideRunDoNotDeadlock) {
  QrEvent& event = NewEvent(false, false);
  RCPtr<TestItem> item(new TestItem("self", [](TestItem* self) {
    self->Disable(true);  // on the scheduler thread: no wait
    self->Enable();
    self->SetTimeoutMS(-1, true);
    self->TimeRemainingMS();
    EXPECT_TRUE(self->Runs() != 1 || self->Remove(true));
    return true;
  }));
  ASSERT_TRUE(m_poll->AddItem(item, &event, -1));
  ASSERT_TRUE(m_poll->StartScheduler());
  for (int i = 1; i <= 2; ++i) {
    event.Set();
    ASSERT_TRUE(WaitUntil([&] { return item->Runs() == i; }));
  }
  EXPECT_FALSE(m_poll->IsMember(item));
  event.Set();
  SleepMs(20);
  EXPECT_EQ(2, item->Runs());
}

// A paused item is never run, and the signal that came meanwhile is used up.
TEST_F(QrPollThreadTest, PausedItemIsNeverRunAndItsSignalIsUsedUp) {
  QrEvent& event = NewEvent(false, false);
  RCPtr<TestItem> evented(new TestItem("pausedEvent")), timed(new TestItem("pausedTimer"));
  ASSERT_TRUE(m_poll->AddItem(evented, &event, -1));
  ASSERT_TRUE(m_poll->AddItem(timed, nullptr, 0));
  evented->PauseTimer();
  timed->PauseTimer();
  ASSERT_TRUE(m_poll->StartScheduler());
  event.Set();
  ASSERT_TRUE(WaitUntil([&] { return !testutil::IsSignaled(event); }));  // the scheduler took it
  SleepMs(30);
  evented->ResumeTimer();
  SleepMs(20);
  EXPECT_EQ(0, evented->Runs());
  EXPECT_EQ(0, timed->Runs());
  event.Set();
  ASSERT_TRUE(WaitUntil([&] { return evented->Runs() == 1; }));
  timed->ResumeTimer();
  ASSERT_TRUE(WaitUntil([&] { return timed->Runs() >= 3; }));
}

TEST_F(QrPollThreadTest, ExternalLockGuardsItemOperations) {
  QrMutex external;
  m_poll->SetLock(&external);
  EXPECT_EQ(&external, &m_poll->GetLock());
  RCPtr<TestItem> item(new TestItem("locked"));
  ASSERT_TRUE(m_poll->AddItem(item, nullptr, 10000));
  std::atomic<bool> done{false};
  std::thread other;
  {
    AutoMutexLock hold(external);
    other = std::thread([&] {
      item->ResetTimer();
      done = true;
    });
    SleepMs(30);
    EXPECT_FALSE(done.load());
  }
  other.join();
  EXPECT_TRUE(done.load());
  m_poll->SetLock(nullptr);
}

TEST_F(QrPollThreadTest, DroppingTheLastReferenceDestroysThePollThreadOnItsScheduler) {
  RCPtr<TestItem> item(new TestItem("orphan"));
  ASSERT_TRUE(m_poll->AddItem(item, nullptr, 100000));
  ASSERT_TRUE(m_poll->StartScheduler());
  UserDataHandle handle = m_poll->Handle();
  ASSERT_TRUE(WaitUntil([&] { return m_poll->RefCount() >= 2; }));  // the scheduler's own
  // Watched without taking references, which would keep the scheduler from being the last.
  WkPtr<QrPollThread> weak(m_poll);
  m_poll = static_cast<QrPollThread*>(nullptr);
  EXPECT_NE(nullptr, weak.GetTrackedObject(false));
  item->ResetTimer();  // wakes the scheduler, which finds itself the last holder
  ASSERT_TRUE(WaitUntil([&] { return weak.GetTrackedObject(false) == nullptr; }));
  EXPECT_EQ(nullptr, QrPollThread::Find(handle).Ptr());
  EXPECT_EQ(nullptr, item->GetPollThread().Ptr());
  EXPECT_FALSE(item->Remove(false));
  // Unattached again: another poll thread may take it.
  RCPtr<QrPollThread> other(new QrPollThread("other"));
  EXPECT_TRUE(other->AddItem(item, nullptr, 10));
}

// An item whose poll thread is being destroyed (held up here on the poll thread's lock)
// finds it gone: its next operation warns once and it is unattached from then on.
TEST_F(QrPollThreadTest, ItemOfADestroyedPollThreadWarnsOnceThatItIsGone) {
  ScopedTestLogger log(LOGGER_LOG_WARN);
  QrMutex external(false);
  m_poll->SetLock(&external);
  RCPtr<TestItem> item(new TestItem("stale"));
  ASSERT_TRUE(m_poll->AddItem(item, nullptr, -1));
  UserDataHandle handle = m_poll->Handle();
  WkPtr<QrPollThread> weak(m_poll);
  ASSERT_TRUE(external.Acquire(INFINITE));
  std::thread dropper([&] { m_poll = static_cast<QrPollThread*>(nullptr); });
  ASSERT_TRUE(WaitUntil([&] { return weak.GetTrackedObject(false) == nullptr; }));
  EXPECT_EQ(nullptr, item->GetPollThread().Ptr());
  EXPECT_EQ(nullptr, item->GetPollThread().Ptr());
  EXPECT_FALSE(item->Remove(false));
  external.Release();
  dropper.join();
  char expected[128];
  snprintf(expected, sizeof(expected), "stale: QrPollThread 0x%p has been deleted", handle);
  EXPECT_EQ(std::vector<std::string>{expected}, log.Writer()->Messages());
}

TEST_F(QrPollThreadTest, ItemListingStartsWithTheCountInItsHeader) {
  ScopedTestLogger log(LOGGER_LOG_INFO);
  RCPtr<TestItem> first(new TestItem("first")), second(new TestItem("second"));
  m_poll->LogAllItems(LOGGER_LOG_INFO);
  ASSERT_TRUE(m_poll->AddItem(first, nullptr, -1));
  m_poll->LogAllItems(LOGGER_LOG_INFO);
  ASSERT_TRUE(m_poll->AddItem(second, nullptr, 1500));
  m_poll->LogAllItems(LOGGER_LOG_INFO);
  m_poll->LogAllItems(LOGGER_LOG_DEBUG);  // below the logger's level: nothing
  // One record per listing: the header, then a line per item in list order.
  std::vector<std::string> listings = log.Writer()->Messages();
  ASSERT_EQ(3u, listings.size());
  EXPECT_EQ("test - 0 items\n", listings[0]);
  const std::string firstLine = "   first - timeout(INFINITE)  elapsed(";
  EXPECT_EQ(0u, listings[1].find("test - 1 item\n" + firstLine)) << listings[1];
  size_t secondAt = listings[2].find("\n   second - timeout(1.500s)  elapsed(");
  EXPECT_EQ(0u, listings[2].find("test - 2 items\n" + firstLine)) << listings[2];
  ASSERT_NE(std::string::npos, secondAt) << listings[2];
  EXPECT_EQ(listings[2].size() - 44,
            listings[2].find(")  paused(FALSE)  event(FALSE)  disabled(0)\n", secondAt));
}

// Items come and go, are disabled, re-timed and signalled from several threads while the
// scheduler runs them. Each worker owns its items: an item outside a poll thread has no
// lock, so only one thread may use it then.
TEST_F(QrPollThreadTest, ConcurrentItemOperationsWhileSchedulerRuns) {
  QrEvent* events[3] = {&NewEvent(false, false), &NewEvent(true, false), &NewEvent(false, false)};
  const int kWorkers = 2, kItemsPerWorker = 3;
  std::vector<RCPtr<TestItem>> items;
  for (int i = 0; i < kWorkers * kItemsPerWorker; ++i) {
    items.emplace_back(
        new TestItem("item" + std::to_string(i), [i](TestItem*) { return i % 3 != 0; }));
  }
  ASSERT_TRUE(m_poll->StartScheduler());
  std::atomic<bool> stop{false};
  auto worker = [&](int index) {
    for (unsigned state = static_cast<unsigned>(index + 1); !stop;) {
      state = state * 1103515245u + 12345u;
      TestItem* item =
          items[static_cast<size_t>(index * kItemsPerWorker) + (state >> 8) % kItemsPerWorker]
              .Ptr();
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
  int runs = 0;
  for (RCPtr<TestItem>& item : items) {
    runs += item->Runs();
    EXPECT_FALSE(m_poll->IsMember(item));
  }
  EXPECT_GT(runs, 0);
}

}  // namespace
