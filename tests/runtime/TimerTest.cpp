#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "runtime/QrElapsedTimer.h"
#include "runtime/QrMediaTimer.h"
#include "runtime/QrThreadTimer.h"

namespace {

// A timer over a clock the test moves by hand, so every mode change is checked exactly.
class FakeClockTimer : public QrTimer {
 public:
  explicit FakeClockTimer(int64_t start, Mode mode = DEFAULT_MODE) : now(start) { Init(mode); }
  int64_t GetTimerValue() override { return now; }
  int64_t GetTimerFrequency() override { return frequency; }
  int64_t now;
  int64_t frequency = 1000000000;
};

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

TEST(QrTimerModes, PauseFreezesAndResumeShiftsTheStart) {
  FakeClockTimer t(1000);
  t.now = 1100;
  EXPECT_EQ(100, t.GetTimerCount(QrTimer::PAUSE));
  EXPECT_TRUE(t.IsPaused());
  t.now = 2100;
  EXPECT_EQ(100, t.GetTimerCount(QrTimer::NO_CHANGE));
  EXPECT_EQ(100, t.GetTimerCount(QrTimer::RESUME));
  EXPECT_FALSE(t.IsPaused());
  t.now = 2150;
  EXPECT_EQ(150, t.GetTimerCount(QrTimer::NO_CHANGE));
}

TEST(QrTimerModes, ResetOnAPausedTimerStaysPausedAtZero) {
  FakeClockTimer t(1000);
  t.now = 1300;
  t.GetTimerCount(QrTimer::PAUSE);
  t.now = 1500;
  EXPECT_EQ(300, t.GetTimerCount(QrTimer::RESET));
  EXPECT_TRUE(t.IsPaused());
  t.now = 9000;
  EXPECT_EQ(0, t.GetTimerCount(QrTimer::NO_CHANGE));
  EXPECT_EQ(0, t.GetTimerCount(QrTimer::RESUME));
  t.now = 9010;
  EXPECT_EQ(10, t.GetTimerCount(QrTimer::NO_CHANGE));
}

TEST(QrTimerModes, RedundantPauseAndResumeChangeNothing) {
  FakeClockTimer t(1000);
  t.now = 1200;
  EXPECT_EQ(200, t.GetTimerCount(QrTimer::RESUME));
  t.now = 1250;
  EXPECT_EQ(250, t.GetTimerCount(QrTimer::PAUSE));
  t.now = 1400;
  EXPECT_EQ(250, t.GetTimerCount(QrTimer::PAUSE));
  t.now = 1500;
  EXPECT_EQ(250, t.GetTimerCount(QrTimer::RESUME));
  t.now = 1600;
  EXPECT_EQ(350, t.GetTimerCount(QrTimer::NO_CHANGE));
}

TEST(QrTimerModes, ResetModesRestartFromNowOrTheLiveClock) {
  FakeClockTimer running(0);
  running.now = 500;
  EXPECT_EQ(500, running.GetTimerCount(QrTimer::RESET_AND_PAUSE));
  EXPECT_TRUE(running.IsPaused());
  running.now = 800;
  EXPECT_EQ(0, running.GetTimerCount(QrTimer::RESET_AND_RESUME));
  EXPECT_FALSE(running.IsPaused());
  running.now = 850;
  EXPECT_EQ(50, running.GetTimerCount(QrTimer::RESET));
  running.now = 870;
  EXPECT_EQ(20, running.GetTimerCount(QrTimer::RESET_AND_RESUME));
  running.now = 900;
  EXPECT_EQ(30, running.GetTimerCount(QrTimer::NO_CHANGE));

  // The clock starts above 0: a pause mark of 0 would mean "running".
  FakeClockTimer paused(100, QrTimer::RESET_AND_PAUSE);
  EXPECT_TRUE(paused.IsPaused());
  paused.now = 400;
  EXPECT_EQ(0, paused.GetTimerCount(QrTimer::RESUME));
  paused.now = 450;
  EXPECT_EQ(50, paused.GetTimerCount(QrTimer::PAUSE));
  paused.now = 700;
  EXPECT_EQ(50, paused.GetTimerCount(QrTimer::RESET_AND_PAUSE));
  paused.now = 720;
  EXPECT_EQ(0, paused.GetTimerCount(QrTimer::NO_CHANGE));
}

TEST(QrTimerModes, ClockFailureReturnsMinusOneAndChangesNothing) {
  FakeClockTimer t(1000);
  t.now = -1;
  EXPECT_EQ(-1, t.GetTimerCount(QrTimer::RESET_AND_PAUSE));
  EXPECT_FALSE(t.IsPaused());
  t.now = 1040;
  EXPECT_EQ(40, t.GetTimerCount(QrTimer::PAUSE));
  // A paused timer still answers, but a mode that needs the live clock leaves it as is.
  t.now = -1;
  EXPECT_EQ(40, t.GetTimerCount(QrTimer::RESUME));
  EXPECT_TRUE(t.IsPaused());
}

TEST(QrTimerModes, MarkConvertsTicksToSecondsAndMilliseconds) {
  FakeClockTimer t(0);
  t.now = 2500000000LL;
  EXPECT_DOUBLE_EQ(2.5, t.Mark(QrTimer::NO_CHANGE));
  EXPECT_EQ(2500, t.MarkMS64(QrTimer::NO_CHANGE));
  EXPECT_EQ(2500, t.MarkMS(QrTimer::RESET));
  EXPECT_EQ(0, t.MarkMS64(QrTimer::NO_CHANGE));
  // Elapsed times beyond the range of a naive "ticks * 1000" stay correct.
  t.GetTimerCount(QrTimer::RESET_AND_RESUME);
  t.now += 200LL * 24 * 3600 * 1000000000LL;
  EXPECT_EQ(200LL * 24 * 3600 * 1000, t.MarkMS64(QrTimer::NO_CHANGE));

  // Milliseconds follow the timer's own tick rate (100 ns ticks for thread times).
  FakeClockTimer coarse(1000);
  coarse.frequency = 10000000;
  coarse.now = 1000 + 12345678;
  EXPECT_EQ(1234, coarse.MarkMS64(QrTimer::NO_CHANGE));
  EXPECT_DOUBLE_EQ(1.2345678, coarse.Mark(QrTimer::NO_CHANGE));
}

TEST(QrElapsedTimer, MeasuresAndFreezesOnTheMonotonicClock) {
  QrElapsedTimer timer;
  EXPECT_EQ(1000000000, timer.GetTimerFrequency());
  SleepMs(100);
  int64_t atPause = timer.MarkMS64(QrTimer::PAUSE);
  EXPECT_GE(atPause, 90);
  EXPECT_LT(atPause, 2000);
  SleepMs(150);
  EXPECT_EQ(atPause, timer.MarkMS64(QrTimer::RESUME));
  SleepMs(50);
  int64_t resumed = timer.MarkMS64(QrTimer::NO_CHANGE);
  EXPECT_GE(resumed, atPause + 45);
  EXPECT_LT(resumed, atPause + 2000);
}

TEST(QrElapsedTimer, MarkResetRestartsInTheSameStep) {
  QrElapsedTimer timer;
  SleepMs(200);
  double first = timer.Mark(QrTimer::RESET);
  EXPECT_GE(first, 0.19);
  double second = timer.Mark(QrTimer::NO_CHANGE);
  EXPECT_LT(second, first);
  EXPECT_GE(second, 0.0);
}

TEST(QrMediaTimer, WaitsUntilTheNextFrameIsDue) {
  QrMediaTimer timer(20.0);  // 50 ms per frame
  QrElapsedTimer watch;
  long late = timer.WaitForNextFrame(0);
  EXPECT_LE(late, 0);
  EXPECT_GT(late, -2000);
  EXPECT_GE(watch.MarkMS64(QrTimer::NO_CHANGE), 45);
  EXPECT_EQ(1, timer.GetFrameNum());
  EXPECT_EQ(2, timer.SkipFrame());
  EXPECT_GE(timer.ActualFrame(), 1);
}

TEST(QrMediaTimer, PausedOrRatelessTimersNeverSleep) {
  QrMediaTimer paused(1.0, QrTimer::RESET_AND_PAUSE);
  QrElapsedTimer watch;
  EXPECT_EQ(1000, paused.WaitForNextFrame(0));
  EXPECT_EQ(2000, paused.TimeToNextFrame());
  QrMediaTimer rateless(0.0);
  EXPECT_LE(rateless.WaitForNextFrame(0), 0);
  EXPECT_LT(watch.MarkMS64(QrTimer::NO_CHANGE), 500);
  rateless.OnReset();
  EXPECT_EQ(0, rateless.GetFrameNum());
}

TEST(QrThreadTimer, CountsProcessorTimeNotSleep) {
  QrThreadTimer timer;
  EXPECT_EQ(10000000, timer.GetTimerFrequency());
  SleepMs(200);
  // A sleeping thread burns next to no processor time.
  EXPECT_LT(timer.MarkMS64(QrTimer::RESET), 100);
  volatile uint64_t sink = 0;
  QrElapsedTimer wall;
  while (wall.MarkMS64(QrTimer::NO_CHANGE) < 100) {
    for (int i = 0; i < 10000; ++i) sink = sink + static_cast<uint64_t>(i);
  }
  int64_t busy = timer.GetTimerCount(QrTimer::NO_CHANGE);
  EXPECT_GT(busy, 0);
  EXPECT_LT(busy, 20 * 10000000LL);  // well under 20 s of processor time
}

TEST(QrThreadTimer, FileTimeHalvesFormOneValue) {
  FILETIME ft{0x89ABCDEFu, 0x01234567u};
  EXPECT_EQ(0x0123456789ABCDEFLL, QrThreadTimer::FileTimeToInt64(&ft));
  EXPECT_EQ(0, QrThreadTimer::FileTimeToInt64(nullptr));
}
