#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/QrEvent.h"
#include "runtime/QrThread.h"
#include "runtime/RuntimeTestUtil.h"
#include "support/ScopedTestLogger.h"

using testutil::WaitUntil;

namespace {

const DWORD kLong = 10000;

struct Probe {
  std::atomic<int> runs{0};
  std::atomic<bool> result{true};  // what the callback answers
  bool useThread = true;  // false where the owner, so the callback's pointer, may die mid-run
  bool wakeupInOnFirstRun = false;
  std::atomic<bool> isCurrent{false};
  std::atomic<QrThread*> seenThread{nullptr};

  static bool Callback(void* userData, QrThread* thread) {
    Probe* probe = static_cast<Probe*>(userData);
    probe->seenThread = thread;
    if (probe->useThread) probe->isCurrent = thread->IsCurrentThread();
    if (++probe->runs == 1 && probe->wakeupInOnFirstRun) {
      thread->WakeupIn(10);
      thread->WakeupIn(500);  // longer than the one already asked for: ignored
    }
    return probe->result;
  }
};

// The callback is handed the owner, also after a move; one that stops its own thread
// cannot wait for itself but ends the loop.
TEST(QrThread, CallbackEndsTheLoopMovesHandTheThreadOverAndTerminateIsRefused) {
  ScopedTestLogger log(LOGGER_LOG_INFO);
  Probe probe;
  QrThread first("first");
  EXPECT_TRUE(first.WaitForStop(0));  // never started
  EXPECT_FALSE(first.Start(nullptr, &probe, INFINITE));
  ASSERT_TRUE(first.Start(&Probe::Callback, &probe, INFINITE));
  ASSERT_TRUE(WaitUntil([&] { return probe.runs.load() == 1; }));
  EXPECT_TRUE(probe.isCurrent.load());
  EXPECT_EQ(&first, probe.seenThread.load());
  QrThread second(std::move(first));
  QrThread third("third");  // never started: dropped by the assignment
  third = std::move(second);
  EXPECT_EQ("first", third.Name());
  for (QrThread* empty : {&first, &second}) {
    empty->SetName("renamed");
    empty->WakeupIn(1);
    EXPECT_EQ("", empty->Name());
    EXPECT_EQ(0u, empty->ThreadID());
    EXPECT_TRUE(empty->Stop(0) && empty->WaitForStop(0) && empty->Terminate(0) &&
                empty->ShouldStop(0));
    EXPECT_FALSE(empty->IsCurrentThread() || empty->GetWakeEvent().IsValid() ||
                 empty->GetExitEvent().IsValid() || empty->GetLock().IsValid());
  }
  EXPECT_FALSE(third.Terminate(0));
  EXPECT_TRUE(third.IsRunning());
  char text[128];
  snprintf(text, sizeof(text), "Attempt to terminate thread first(0x%08lX) not supported",
           static_cast<unsigned long>(third.ThreadID()));
  EXPECT_TRUE(log.Writer()->HasMessage(text)) << text;
  probe.result = false;
  third.Wakeup();
  ASSERT_TRUE(WaitUntil([&] { return third.ThreadID() == 0; }));  // ended, not yet joined
  EXPECT_FALSE(third.Terminate(0));
  EXPECT_TRUE(third.WaitForStop(kLong));
  EXPECT_FALSE(third.IsCurrentThread());
  EXPECT_EQ(2, probe.runs.load());
  EXPECT_EQ(&third, probe.seenThread.load());
  EXPECT_TRUE(third.TerminateIfNotStopped(kLong, 0));
  EXPECT_TRUE(third.Terminate(0));  // ended: nothing left to terminate
  // Joined: the closing line, written after the exit event, is there too.
  EXPECT_EQ((std::vector<std::string>{"Thread first started", "Thread first exited by callback"}),
            log.Writer()->MessagesContaining("Thread first"));

  auto stopsItself = [](void* userData, QrThread* self) {
    *static_cast<int*>(userData) += self->Stop(0) ? 100 : 1;
    return true;
  };
  int stopResults = 0;
  ASSERT_TRUE(third.Start(stopsItself, &stopResults, 0));         // again, once joined
  EXPECT_FALSE(third.Start(&Probe::Callback, &probe, INFINITE));  // not yet joined
  EXPECT_TRUE(third.WaitForStop(kLong));
  EXPECT_EQ(1, stopResults);  // called once, and its Stop failed
  QrThread unnamed;
  char expectedName[32];
  snprintf(expectedName, sizeof(expectedName), "0x%p", static_cast<void*>(&unnamed));
  EXPECT_EQ(expectedName, unnamed.Name());
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(unnamed.ShouldStop(50));
  EXPECT_GE(testutil::MsSince(start), 45);
  unnamed.GetExitEvent().Set();
  EXPECT_TRUE(unnamed.ShouldStop(kLong));
}

TEST(QrThread, WakeupRunsTheCallbackAndWakeupInShortensOnlyTheNextWait) {
  ScopedTestLogger log(LOGGER_LOG_INFO);
  Probe probe;
  probe.wakeupInOnFirstRun = true;
  QrThread thread("woken");
  ASSERT_TRUE(thread.Start(&Probe::Callback, &probe, INFINITE));
  EXPECT_NE(0u, thread.ThreadID());  // recorded before Start returns
  // The second run comes after at most 10 ms (with a margin for a loaded machine), not 500.
  ASSERT_TRUE(WaitUntil([&] { return probe.runs.load() == 2; }, 300));
  // Until the loop waits again, the WakeupIn would shorten the wait that Wakeup ends.
  ASSERT_TRUE(WaitUntil([&] { return testutil::WaiterCount(thread.GetWakeEvent()) == 1; }));
  testutil::SleepMs(50);
  EXPECT_EQ(2, probe.runs.load());
  thread.WakeupIn(10);
  thread.Wakeup();
  ASSERT_TRUE(WaitUntil([&] { return probe.runs.load() >= 4; }));
  testutil::SleepMs(50);
  EXPECT_EQ(4, probe.runs.load());
  EXPECT_TRUE(thread.Stop(kLong));
  EXPECT_EQ((std::vector<std::string>{"Thread woken exited"}),
            log.Writer()->MessagesContaining("Thread woken e"));
}

// Stop requests, wake-ups and owner destruction at random moments of a busy loop, with no
// logger to tell. A destroyed owner's thread never calls again.
TEST(QrThread, LifecycleRacesEndCleanly) {
  std::mt19937 rng(3);
  for (int round = 0; round < 50; ++round) {
    Probe probe;
    probe.useThread = false;
    auto thread = std::make_unique<QrThread>("race");
    QrEvent exitSeen(thread->GetExitEvent());  // a copy outlives the owner
    ASSERT_TRUE(thread->Start(&Probe::Callback, &probe, rng() % 2));
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 500));
    switch (rng() % 3) {
      case 0: {
        EXPECT_FALSE(thread->Terminate(0));  // never killed, also with no one to tell
        auto waker = std::async(std::launch::async, [&] { thread->Wakeup(); });
        EXPECT_TRUE(thread->Stop(kLong));
        break;
      }
      case 1: {
        auto stopper = std::async(std::launch::async, [&] { thread->GetExitEvent().Set(); });
        EXPECT_TRUE(thread->WaitForStop(kLong));
        break;
      }
      default:
        thread.reset();
        break;
    }
    EXPECT_EQ(QrEvent::WAIT_RC_OK, exitSeen.Wait(kLong));
    thread.reset();
    int runs = probe.runs.load();
    testutil::SleepMs(1);
    EXPECT_EQ(runs, probe.runs.load());
  }
}

}  // namespace
