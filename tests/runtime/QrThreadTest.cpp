#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "EventTestUtil.h"
#include "runtime/QrEvent.h"
#include "runtime/QrThread.h"
#include "support/ScopedTestLogger.h"

using testutil::MsSince;
using testutil::WaitUntil;
using Clock = std::chrono::steady_clock;

namespace {

const DWORD kLong = 10000;

// What a callback saw, shared with the test thread.
struct Probe {
  std::atomic<int> runs{0};
  std::atomic<bool> result{true};  // what the callback answers
  // The owner handed to the callback dies with the QrThread object: a test that destroys
  // it during a run must not let the callback use it.
  bool useThread = true;
  std::atomic<QrThreadID> tid{0};
  std::atomic<bool> isCurrent{false};
  std::atomic<QrThread*> seenThread{nullptr};
  std::mutex timesLock;
  std::vector<Clock::time_point> endTimes;  // guarded by timesLock

  static bool Callback(void* userData, QrThread* thread) {
    Probe* probe = static_cast<Probe*>(userData);
    probe->tid = QrThread::GetCurrentThreadID();
    probe->seenThread = thread;
    if (thread != nullptr && probe->useThread) {
      probe->isCurrent = thread->IsCurrentThread();
    }
    ++probe->runs;
    {
      std::lock_guard<std::mutex> lock(probe->timesLock);
      probe->endTimes.push_back(Clock::now());
    }
    return probe->result;
  }
};

TEST(QrThread, CallbackReturningFalseRunsOnceAndIsJoined) {
  ScopedTestLogger log(LOGGER_LOG_INFO);
  Probe probe;
  probe.result = false;
  QrThread thread("once");
  ASSERT_TRUE(thread.Start(&Probe::Callback, &probe, 10));
  EXPECT_TRUE(thread.WaitForStop(kLong));
  EXPECT_EQ(1, probe.runs.load());
  EXPECT_EQ(0u, thread.ThreadID());
  EXPECT_TRUE(thread.IsStopped());
  EXPECT_TRUE(probe.isCurrent.load());
  EXPECT_EQ(&thread, probe.seenThread.load());
  EXPECT_FALSE(thread.IsCurrentThread());
  // Joined: the closing line, written after the exit event, is there too.
  EXPECT_EQ(2, log.Writer()->CountContaining("Thread once"));
  EXPECT_TRUE(log.Writer()->HasMessage("Thread once started"));
  EXPECT_TRUE(log.Writer()->HasMessage("Thread once exited by callback"));
}

TEST(QrThread, StartRefusesNullCallbackAndSecondStartButAllowsRestartAfterJoin) {
  Probe probe;
  QrThread thread;
  char expectedName[32];
  snprintf(expectedName, sizeof(expectedName), "0x%p", static_cast<void*>(&thread));
  EXPECT_EQ(expectedName, thread.Name());
  EXPECT_TRUE(thread.WaitForStop(0));  // never started
  EXPECT_TRUE(thread.Terminate(0));
  EXPECT_FALSE(thread.Start(nullptr, &probe, INFINITE));
  ASSERT_TRUE(thread.Start(&Probe::Callback, &probe, INFINITE));
  EXPECT_FALSE(thread.Start(&Probe::Callback, &probe, INFINITE));
  EXPECT_TRUE(thread.IsRunning());
  EXPECT_FALSE(thread.Terminate(0));  // not supported: the thread keeps running
  EXPECT_TRUE(thread.IsRunning());
  EXPECT_TRUE(thread.Stop(kLong));
  ASSERT_TRUE(WaitUntil([&] { return probe.runs.load() == 1; }));
  ASSERT_TRUE(thread.Start(&Probe::Callback, &probe, INFINITE));
  EXPECT_TRUE(thread.TerminateIfNotStopped(kLong, 0));
  EXPECT_EQ(2, probe.runs.load());
}

TEST(QrThread, InfiniteIntervalRunsOnlyWhenWoken) {
  ScopedTestLogger log(LOGGER_LOG_INFO);
  Probe probe;
  QrThread thread("woken");
  ASSERT_TRUE(thread.Start(&Probe::Callback, &probe, INFINITE));
  QrThreadID tid = thread.ThreadID();  // recorded before Start returns
  EXPECT_NE(0u, tid);
  ASSERT_TRUE(WaitUntil([&] { return probe.runs.load() == 1; }));
  EXPECT_EQ(tid, probe.tid.load());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(1, probe.runs.load());
  thread.Wakeup();
  ASSERT_TRUE(WaitUntil([&] { return probe.runs.load() == 2; }));
  // A WakeupIn made while the loop already waits applies from the next wait on, so it
  // needs a wake-up first. The loop counts as waiting once it is registered on the wake
  // event; before that (the callback has counted but not returned) the WakeupIn would
  // shorten the very wait the Wakeup ends.
  ASSERT_TRUE(WaitUntil([&] { return testutil::WaiterCount(thread.GetWakeEvent()) == 1; }));
  thread.WakeupIn(10);
  thread.Wakeup();
  ASSERT_TRUE(WaitUntil([&] { return probe.runs.load() >= 4; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(4, probe.runs.load());
  EXPECT_TRUE(thread.Stop(kLong));
  EXPECT_EQ(1, log.Writer()->CountContaining("Thread woken exited"));
  EXPECT_TRUE(log.Writer()->HasMessage("Thread woken exited"));
}

struct WakeupInProbe {
  QrThread* thread = nullptr;
  std::atomic<int> runs{0};
  std::mutex timesLock;
  std::vector<Clock::time_point> times;  // guarded by timesLock

  static bool Callback(void* userData, QrThread* thread) {
    WakeupInProbe* probe = static_cast<WakeupInProbe*>(userData);
    {
      std::lock_guard<std::mutex> lock(probe->timesLock);
      probe->times.push_back(Clock::now());
    }
    if (++probe->runs == 1) {
      thread->WakeupIn(10);
      thread->WakeupIn(500);  // longer than the one already asked for: ignored
    }
    return true;
  }
};

TEST(QrThread, WakeupInShortensOnlyTheNextWait) {
  WakeupInProbe probe;
  QrThread thread("wakeupIn");
  ASSERT_TRUE(thread.Start(&WakeupInProbe::Callback, &probe, 1000));
  ASSERT_TRUE(WaitUntil([&] { return probe.runs.load() >= 3; }));
  EXPECT_TRUE(thread.Stop(kLong));
  std::lock_guard<std::mutex> lock(probe.timesLock);
  auto gap = [&](size_t i) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(probe.times[i] -
                                                                 probe.times[i - 1])
        .count();
  };
  EXPECT_LT(gap(1), 400);  // after at most 10 ms, with a margin for a loaded machine
  EXPECT_GE(gap(2), 900);  // the full interval again
}

struct StopFromInsideProbe {
  std::atomic<int> runs{0};
  std::atomic<int> stopResult{-1};
  static bool Callback(void* userData, QrThread* thread) {
    StopFromInsideProbe* probe = static_cast<StopFromInsideProbe*>(userData);
    ++probe->runs;
    probe->stopResult = thread->Stop(0) ? 1 : 0;
    return true;
  }
};

TEST(QrThread, StopFromInsideTheCallbackFailsButEndsTheLoop) {
  StopFromInsideProbe probe;
  QrThread thread("selfStop");
  ASSERT_TRUE(thread.Start(&StopFromInsideProbe::Callback, &probe, 0));
  EXPECT_TRUE(thread.WaitForStop(kLong));
  EXPECT_EQ(0, probe.stopResult.load());
  EXPECT_EQ(1, probe.runs.load());
}

struct GateProbe {
  QrEvent entered{true, false};
  QrEvent gate{true, false};
  std::atomic<int> runs{0};
  static bool Callback(void* userData, QrThread* /*thread*/) {
    GateProbe* probe = static_cast<GateProbe*>(userData);
    ++probe->runs;
    probe->entered.Set();
    probe->gate.Wait(kLong);
    return true;
  }
};

TEST(QrThread, DestroyingTheOwnerWhileTheCallbackRunsEndsTheThreadAfterIt) {
  ScopedTestLogger log(LOGGER_LOG_DEBUG);
  for (int round = 0; round < 10; ++round) {
    GateProbe probe;
    auto thread = std::make_unique<QrThread>("deleted");
    QrEvent exitSeen(thread->GetExitEvent());  // a copy outlives the owner
    ASSERT_TRUE(thread->Start(&GateProbe::Callback, &probe, 0));
    ASSERT_EQ(QrEvent::WAIT_RC_OK, probe.entered.Wait(kLong));
    thread.reset();
    probe.gate.Set();
    EXPECT_EQ(QrEvent::WAIT_RC_OK, exitSeen.Wait(kLong));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(1, probe.runs.load());  // never called again
  }
  // The detached threads write their closing line after the exit event.
  EXPECT_TRUE(
      WaitUntil([&] { return log.Writer()->CountContaining("Thread deleted was deleted") == 10; }));
  EXPECT_EQ(20, log.Writer()->CountContaining("Thread deleted "));
  EXPECT_EQ(10, log.Writer()->CountContaining("Setting deleted flag for thread deleted(0x"));
}

TEST(QrThread, ShouldStopSleepsAndReportsAStopRequest) {
  QrThread thread("shouldStop");
  auto start = Clock::now();
  EXPECT_FALSE(thread.ShouldStop(50));
  EXPECT_GE(MsSince(start), 45);
  thread.GetExitEvent().Set();
  EXPECT_TRUE(thread.ShouldStop(kLong));
  QrThread moved(std::move(thread));
  EXPECT_TRUE(thread.ShouldStop(0));  // no data: stop
  EXPECT_EQ("", thread.Name());
  EXPECT_FALSE(thread.GetExitEvent().IsValid());
}

TEST(QrThread, MovedOwnerIsHandedToTheCallback) {
  Probe probe;
  QrThread first("moved");
  ASSERT_TRUE(first.Start(&Probe::Callback, &probe, INFINITE));
  ASSERT_TRUE(WaitUntil([&] { return probe.runs.load() == 1; }));
  QrThread second(std::move(first));
  EXPECT_TRUE(first.WaitForStop(0));  // no data left
  second.Wakeup();
  ASSERT_TRUE(WaitUntil([&] { return probe.runs.load() == 2; }));
  EXPECT_EQ(&second, probe.seenThread.load());
  EXPECT_EQ(probe.tid.load(), second.ThreadID());
  EXPECT_TRUE(second.Stop(kLong));
}

TEST(QrThread, MoveAssignmentHandsTheThreadOverAndTheEmptyHandleAnswersHarmlessly) {
  ScopedTestLogger log(LOGGER_LOG_WARN);
  Probe probe;
  QrThread first("first");
  ASSERT_TRUE(first.Start(&Probe::Callback, &probe, INFINITE));
  ASSERT_TRUE(WaitUntil([&] { return probe.runs.load() == 1; }));
  QrThread second("second");  // never started: dropped by the assignment
  second = std::move(first);
  EXPECT_EQ("first", second.Name());
  second.Wakeup();
  ASSERT_TRUE(WaitUntil([&] { return probe.runs.load() == 2; }));
  EXPECT_EQ(&second, probe.seenThread.load());

  first.SetName("renamed");
  first.WakeupIn(1);
  EXPECT_EQ("", first.Name());
  EXPECT_EQ(0u, first.ThreadID());
  EXPECT_FALSE(first.IsCurrentThread());
  EXPECT_TRUE(first.Stop(0));
  EXPECT_TRUE(first.Terminate(0));
  EXPECT_FALSE(first.GetWakeEvent().IsValid());
  EXPECT_FALSE(first.GetExitEvent().IsValid());
  EXPECT_FALSE(first.GetLock().IsValid());

  // A running thread is never killed: the request is refused and logged.
  EXPECT_FALSE(second.Terminate(0));
  char text[128];
  snprintf(text, sizeof(text), "Attempt to terminate thread first(0x%08lX) not supported",
           static_cast<unsigned long>(second.ThreadID()));
  EXPECT_TRUE(log.Writer()->HasMessage(text)) << text;
  EXPECT_TRUE(second.TerminateIfNotStopped(kLong, 0));
  EXPECT_TRUE(second.Terminate(0));  // ended: nothing left to terminate
}

// Stop requests, wake-ups and owner destruction at random moments of a busy loop.
TEST(QrThread, LifecycleRacesEndCleanly) {
  std::mt19937 rng(3);
  for (int round = 0; round < 60; ++round) {
    Probe probe;
    probe.useThread = false;
    auto thread = std::make_unique<QrThread>("race");
    QrEvent exitSeen(thread->GetExitEvent());
    ASSERT_TRUE(thread->Start(&Probe::Callback, &probe, rng() % 2 == 0 ? 0 : 1));
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 500));
    switch (rng() % 3) {
      case 0: {
        std::thread other([&] { thread->Wakeup(); });
        EXPECT_TRUE(thread->Stop(kLong));
        other.join();
        EXPECT_EQ(0u, thread->ThreadID());
        break;
      }
      case 1: {
        std::thread stopper([&] { thread->GetExitEvent().Set(); });
        EXPECT_TRUE(thread->WaitForStop(kLong));
        stopper.join();
        break;
      }
      default:
        thread.reset();
        break;
    }
    EXPECT_EQ(QrEvent::WAIT_RC_OK, exitSeen.Wait(kLong));
    thread.reset();
    int runs = probe.runs.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(runs, probe.runs.load());
  }
}

}  // namespace
