#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "EventTestUtil.h"
#include "runtime/AutoMutexLock.h"
#include "runtime/QrEvent.h"
#include "runtime/QrPollItem.h"
#include "runtime/QrPollThread.h"
#include "runtime/WkPtr.h"
#include "support/ScopedTestLogger.h"

using testutil::MsSince;
using testutil::WaitUntil;
using Clock = std::chrono::steady_clock;

namespace {

// Runs shared by several items, in the order the scheduler served them.
struct RunLog {
  std::mutex lock;
  std::vector<std::string> names;  // guarded by lock
  void Add(const std::string& name) {
    std::lock_guard<std::mutex> guard(lock);
    names.push_back(name);
  }
  std::vector<std::string> Copy() {
    std::lock_guard<std::mutex> guard(lock);
    return names;
  }
};

class TestItem : public QrPollItem {
 public:
  typedef std::function<bool(TestItem*, bool)> Body;

  TestItem(const std::string& name, RunLog* log = nullptr, Body body = Body())
      : QrPollItem(name), m_log(log), m_body(std::move(body)) {}

  bool Run(bool timedOut) override {
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_starts.push_back(Clock::now());
      m_timedOut.push_back(timedOut);
    }
    if (m_log != nullptr) {
      m_log->Add(Name());
    }
    bool again = m_body ? m_body(this, timedOut) : true;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_ends.push_back(Clock::now());
    }
    ++m_runs;
    return again;
  }

  int Runs() const { return m_runs.load(); }
  std::vector<bool> TimedOutFlags() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_timedOut;
  }
  // Milliseconds from the end of run i-1 to the start of run i.
  long GapBefore(size_t i) {
    std::lock_guard<std::mutex> guard(m_lock);
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(m_starts[i] - m_ends[i - 1]).count());
  }

 private:
  RunLog* m_log;
  Body m_body;
  std::atomic<int> m_runs{0};
  std::mutex m_lock;
  std::vector<Clock::time_point> m_starts;  // guarded by m_lock
  std::vector<Clock::time_point> m_ends;    // guarded by m_lock
  std::vector<bool> m_timedOut;             // guarded by m_lock
};

// Stops the scheduler before the locals declared ahead of it (which items' bodies use) die,
// also when an assertion leaves the test early.
struct StopAtScopeEnd {
  QrPollThread* pollThread;
  ~StopAtScopeEnd() { pollThread->StopScheduler(); }
};

class QrPollThreadTest : public ::testing::Test {
 protected:
  void SetUp() override { m_poll = new QrPollThread("test"); }
  void TearDown() override {
    if (m_poll.Ptr() != nullptr) {
      m_poll->StopScheduler();
    }
  }
  // Events that outlive the scheduler (a test body's locals die before TearDown stops it).
  QrEvent& NewEvent(bool manualReset, bool initialState) {
    m_events.emplace_back(new QrEvent(manualReset, initialState));
    return *m_events.back();
  }

  std::vector<std::unique_ptr<QrEvent>> m_events;
  RCPtr<QrPollThread> m_poll;
};

TEST_F(QrPollThreadTest, EventItemRunsOnlyWhenSignalled) {
  QrEvent& event = NewEvent(false, false);
  RCPtr<TestItem> item(new TestItem("evented"));
  ASSERT_TRUE(m_poll->AddItem(item, &event, -1));
  ASSERT_TRUE(m_poll->StartScheduler());
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(0, item->Runs());
  for (int i = 1; i <= 20; ++i) {
    event.Set();
    ASSERT_TRUE(WaitUntil([&] { return item->Runs() == i; }));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(20, item->Runs());
  for (bool timedOut : item->TimedOutFlags()) {
    EXPECT_FALSE(timedOut);
  }
  EXPECT_EQ(-1, item->TimeRemainingMS());
}

TEST_F(QrPollThreadTest, ItemsSignalledTogetherAreServedInTurn) {
  RunLog log;
  QrEvent& always = NewEvent(true, true);  // never reset: every item is due on every pass
  RCPtr<TestItem> a(new TestItem("a", &log)), b(new TestItem("b", &log)),
      c(new TestItem("c", &log));
  StopAtScopeEnd stopFirst{m_poll.Ptr()};
  ASSERT_TRUE(m_poll->AddItem(a, &always, -1));
  ASSERT_TRUE(m_poll->AddItem(b, &always, -1));
  ASSERT_TRUE(m_poll->AddItem(c, &always, -1));
  ASSERT_TRUE(m_poll->AddItem(a, &always, -1));  // moves a behind c
  EXPECT_EQ(3, m_poll->NumItems());
  ASSERT_TRUE(m_poll->StartScheduler());
  ASSERT_TRUE(WaitUntil([&] { return log.Copy().size() >= 30; }));
  m_poll->StopScheduler();
  std::vector<std::string> names = log.Copy();
  const char* expected[] = {"b", "c", "a"};
  for (size_t i = 0; i < names.size(); ++i) {
    ASSERT_EQ(expected[i % 3], names[i]) << "at run " << i;
  }
}

TEST_F(QrPollThreadTest, PeriodicItemIsDueItsTimeoutAfterThePreviousRunEnded) {
  RCPtr<TestItem> item(new TestItem("periodic", nullptr, [](TestItem* self, bool) {
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
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
  for (bool timedOut : item->TimedOutFlags()) {
    EXPECT_TRUE(timedOut);
  }
  // Returning false removed it and cleared its handle.
  EXPECT_EQ(0, m_poll->NumItems());
  EXPECT_EQ(nullptr, item->GetPollThread().Ptr());
  EXPECT_FALSE(item->Remove(false));
}

TEST_F(QrPollThreadTest, ZeroTimeoutIsDueRightAfterEachRun) {
  RCPtr<TestItem> item(new TestItem("busy"));
  ASSERT_TRUE(m_poll->AddItem(item, nullptr, 0));
  ASSERT_TRUE(m_poll->StartScheduler());
  ASSERT_TRUE(WaitUntil([&] { return item->Runs() >= 50; }));
}

TEST_F(QrPollThreadTest, AddItemRefusesAnItemOfAnotherPollThread) {
  RCPtr<QrPollThread> other(new QrPollThread("other"));
  QrEvent& event = NewEvent(false, false);
  RCPtr<TestItem> item(new TestItem("owned"));
  ASSERT_TRUE(other->AddItem(item, &event, 5000));
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

TEST_F(QrPollThreadTest, ReAddingRestartsTheTimer) {
  RCPtr<TestItem> item(new TestItem("timer"));
  ASSERT_TRUE(m_poll->AddItem(item, nullptr, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  int32_t before = item->TimeRemainingMS();
  EXPECT_LE(before, 10000 - 110);
  ASSERT_TRUE(m_poll->AddItem(item, nullptr, 10000));
  EXPECT_GT(item->TimeRemainingMS(), before);
  EXPECT_EQ(1, m_poll->NumItems());
}

TEST_F(QrPollThreadTest, DisableWithWaitReturnsOnlyAfterRunReturned) {
  QrEvent& always = NewEvent(true, true);
  QrEvent& entered = NewEvent(true, false);
  std::atomic<bool> inRun{false};
  std::atomic<bool> overlapped{false};
  RCPtr<TestItem> item(new TestItem("slow", nullptr, [&](TestItem*, bool) {
    inRun = true;
    entered.Set();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    inRun = false;
    return true;
  }));
  StopAtScopeEnd stopFirst{m_poll.Ptr()};
  ASSERT_TRUE(m_poll->AddItem(item, &always, -1));
  ASSERT_TRUE(m_poll->StartScheduler());
  for (int round = 0; round < 5; ++round) {
    ASSERT_EQ(QrEvent::WAIT_RC_OK, entered.Wait(10000));
    item->Disable(true);
    overlapped = overlapped || inRun.load();
    item->Disable(false);  // two disables need two enables
    entered.Reset();
    int runs = item->Runs();
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    EXPECT_EQ(runs, item->Runs());
    EXPECT_FALSE(item->Enable());
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(runs, item->Runs());
    EXPECT_TRUE(item->Enable());
  }
  EXPECT_FALSE(overlapped.load());
}

TEST_F(QrPollThreadTest, RemoveAllWithWaitReturnsOnlyAfterTheRunningItemReturned) {
  QrEvent& always = NewEvent(true, true);
  QrEvent& entered = NewEvent(true, false);
  std::atomic<bool> inRun{false};
  RCPtr<TestItem> slow(new TestItem("slow", nullptr, [&](TestItem*, bool) {
    inRun = true;
    entered.Set();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    inRun = false;
    return true;
  }));
  RCPtr<TestItem> idle(new TestItem("idle"));
  StopAtScopeEnd stopFirst{m_poll.Ptr()};
  ASSERT_TRUE(m_poll->AddItem(slow, &always, -1));
  ASSERT_TRUE(m_poll->AddItem(idle, nullptr, -1));
  ASSERT_TRUE(m_poll->StartScheduler());
  ASSERT_EQ(QrEvent::WAIT_RC_OK, entered.Wait(10000));
  m_poll->RemoveAllItems(true);
  EXPECT_FALSE(inRun.load());
  EXPECT_EQ(0, m_poll->NumItems());
  int runs = slow->Runs();
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_EQ(runs, slow->Runs());
  EXPECT_EQ(0, idle->Runs());
}

TEST_F(QrPollThreadTest, SchedulerTraceNamesItsWaitsAndEachRunWithItsDuration) {
  ScopedTestLogger log(LOGGER_LOG_INFO);
  RCPtr<TestItem> once(new TestItem("once", nullptr, [](TestItem*, bool) { return false; }));
  StopAtScopeEnd stopFirst{m_poll.Ptr()};
  m_poll->SetSchedulerLogLevel(LOGGER_LOG_INFO);
  ASSERT_TRUE(m_poll->AddItem(once, nullptr, 10));
  ASSERT_TRUE(m_poll->StartScheduler());
  ASSERT_TRUE(
      WaitUntil([&] { return log.Writer()->CountContaining("test: Item once took ") == 1; }));
  EXPECT_EQ(1, log.Writer()->CountContaining("test: Item once timed out; last run "));
  EXPECT_LE(1, log.Writer()->CountContaining("test: Waiting for once ("));
  EXPECT_LE(1, log.Writer()->CountContaining("test - 1 item\n"));  // the list follows each wait
}

TEST_F(QrPollThreadTest, ItemOperationsFromInsideRunDoNotDeadlock) {
  QrEvent& event = NewEvent(false, false);
  std::atomic<int> phase{0};
  RCPtr<TestItem> item(new TestItem("self", nullptr, [&](TestItem* self, bool) {
    self->Disable(true);  // on the scheduler thread: no wait
    self->Enable();
    self->SetTimeoutMS(-1, true);
    self->TimeRemainingMS();
    if (++phase == 2) {
      EXPECT_TRUE(self->Remove(true));
    }
    return true;
  }));
  StopAtScopeEnd stopFirst{m_poll.Ptr()};
  ASSERT_TRUE(m_poll->AddItem(item, &event, -1));
  ASSERT_TRUE(m_poll->StartScheduler());
  event.Set();
  ASSERT_TRUE(WaitUntil([&] { return item->Runs() == 1; }));
  event.Set();
  ASSERT_TRUE(WaitUntil([&] { return item->Runs() == 2; }));
  EXPECT_FALSE(m_poll->IsMember(item));  // removed by itself; not rescheduled
  event.Set();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(2, item->Runs());
}

TEST_F(QrPollThreadTest, PausedItemIsNeverRunAndItsSignalIsUsedUp) {
  QrEvent& event = NewEvent(false, false);
  RCPtr<TestItem> evented(new TestItem("pausedEvent"));
  RCPtr<TestItem> timed(new TestItem("pausedTimer"));
  ASSERT_TRUE(m_poll->AddItem(evented, &event, -1));
  ASSERT_TRUE(m_poll->AddItem(timed, nullptr, 0));
  evented->PauseTimer();
  timed->PauseTimer();
  ASSERT_TRUE(m_poll->StartScheduler());
  event.Set();
  ASSERT_TRUE(WaitUntil([&] { return !testutil::IsSignaled(event); }));  // the scheduler took it
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(0, evented->Runs());
  EXPECT_EQ(0, timed->Runs());
  evented->ResumeTimer();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(0, evented->Runs());  // the signal was consumed while paused
  event.Set();
  ASSERT_TRUE(WaitUntil([&] { return evented->Runs() == 1; }));
  timed->ResumeTimer();
  ASSERT_TRUE(WaitUntil([&] { return timed->Runs() >= 3; }));
}

TEST_F(QrPollThreadTest, ResumeContinuesTheTimerFromWhereItWasPaused) {
  RCPtr<TestItem> item(new TestItem("resume"));
  ASSERT_TRUE(m_poll->AddItem(item, nullptr, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  item->PauseTimer();
  int32_t atPause = item->TimeRemainingMS();
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(atPause, item->TimeRemainingMS());
  item->ResumeTimer();
  int32_t afterResume = item->TimeRemainingMS();
  EXPECT_LE(afterResume, atPause);
  EXPECT_GT(afterResume, atPause - 100);
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
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
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
  RCPtr<TestItem> first(new TestItem("first"));
  RCPtr<TestItem> second(new TestItem("second"));
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
  const int kWorkers = 2;
  const int kItemsPerWorker = 3;
  std::vector<RCPtr<TestItem>> items;
  for (int i = 0; i < kWorkers * kItemsPerWorker; ++i) {
    items.emplace_back(new TestItem("item" + std::to_string(i), nullptr,
                                    [i](TestItem*, bool) { return i % 3 != 0; }));
  }
  ASSERT_TRUE(m_poll->StartScheduler());
  std::atomic<bool> stop{false};
  auto worker = [&](int index) {
    unsigned state = static_cast<unsigned>(index + 1);
    while (!stop) {
      state = state * 1103515245u + 12345u;
      TestItem* item =
          items[static_cast<size_t>(index * kItemsPerWorker) + (state >> 8) % kItemsPerWorker]
              .Ptr();
      switch ((state >> 16) % 7) {
        case 0:
          m_poll->AddItem(item, events[(state >> 4) % 3], static_cast<int32_t>(state % 5) - 1);
          break;
        case 1:
          item->Remove((state & 1) != 0);
          break;
        case 2:
          item->Disable((state & 1) != 0);
          item->Enable();
          break;
        case 3:
          events[(state >> 4) % 3]->Set();
          break;
        case 4:
          events[1]->Reset();
          break;
        case 5:
          item->SetTimeoutMS(static_cast<int32_t>(state % 4), false);
          break;
        default:
          item->PauseTimer();
          item->ResumeTimer();
          break;
      }
    }
  };
  std::vector<std::thread> workers;
  for (int i = 0; i < kWorkers; ++i) {
    workers.emplace_back(worker, i);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stop = true;
  for (std::thread& t : workers) {
    t.join();
  }
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
