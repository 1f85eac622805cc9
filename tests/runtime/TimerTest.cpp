#include <vector>

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

struct Step {
  int64_t now;  // the clock when the step is taken (-1: the clock fails)
  QrTimer::Mode mode;
  int64_t count;  // what GetTimerCount answers
  bool paused;    // afterwards
};

}  // namespace

TEST(QrTimerModes, EveryModeFromRunningAndPausedStates) {
  using T = QrTimer;
  const struct {
    const char* name;
    int64_t start;
    T::Mode initial;
    std::vector<Step> steps;
  } scenarios[] = {
      // clang-format off
      {"created running", 1000, T::DEFAULT_MODE,
       {{1100, T::PAUSE, 100, true}, {2100, T::PAUSE, 100, true}, {2100, T::RESUME, 100, false},
        {2150, T::RESUME, 150, false}, {2200, T::RESET, 200, false},
        {2250, T::RESET_AND_PAUSE, 50, true}, {2300, T::RESET, 0, true},
        {9000, T::RESET_AND_PAUSE, 0, true}, {9000, T::RESET_AND_RESUME, 0, false},
        {9010, T::RESET_AND_RESUME, 10, false}, {9030, T::NO_CHANGE, 20, false}}},
      // The clock starts above 0: a pause mark of 0 would mean "running".
      {"created paused", 100, T::RESET_AND_PAUSE,
       {{400, T::NO_CHANGE, 0, true}, {400, T::RESUME, 0, false}, {450, T::NO_CHANGE, 50, false}}},
      // A paused timer still answers, but a mode that needs the live clock leaves it as is.
      {"clock failure changes nothing", 1000, T::DEFAULT_MODE,
       {{-1, T::RESET_AND_PAUSE, -1, false}, {1040, T::PAUSE, 40, true},
        {-1, T::RESUME, 40, true}}},
      // clang-format on
  };
  for (const auto& scenario : scenarios) {
    FakeClockTimer t(scenario.start, scenario.initial);
    for (const Step& step : scenario.steps) {
      t.now = step.now;
      EXPECT_EQ(step.count, t.GetTimerCount(step.mode)) << scenario.name << " at " << step.now;
      EXPECT_EQ(step.paused, t.IsPaused()) << scenario.name << " at " << step.now;
    }
  }
}

TEST(QrTimerModes, MarkConvertsTicksToSecondsAndMilliseconds) {
  FakeClockTimer t(0);
  t.now = 2500000000LL;
  EXPECT_DOUBLE_EQ(2.5, t.Mark(QrTimer::NO_CHANGE));
  EXPECT_EQ(2500, t.MarkMS(QrTimer::RESET));
  // Elapsed times beyond the range of a naive "ticks * 1000" stay correct.
  t.now += 200LL * 24 * 3600 * 1000000000LL;
  EXPECT_EQ(200LL * 24 * 3600 * 1000, t.MarkMS64(QrTimer::NO_CHANGE));
  // Milliseconds follow the timer's own tick rate (100 ns ticks for thread times).
  FakeClockTimer coarse(1000);
  coarse.frequency = 10000000;
  coarse.now = 1000 + 12345678;
  EXPECT_EQ(1234, coarse.MarkMS64(QrTimer::NO_CHANGE));
  EXPECT_DOUBLE_EQ(1.2345678, coarse.Mark(QrTimer::NO_CHANGE));
  FILETIME ft{0x89ABCDEFu, 0x01234567u};
  EXPECT_EQ(0x0123456789ABCDEFLL, QrThreadTimer::FileTimeToInt64(&ft));
  EXPECT_EQ(0, QrThreadTimer::FileTimeToInt64(nullptr));
}

TEST(QrTimerClocks, WallTimeProcessorTimeCountsOnlyWorkAndFramesWait) {
  QrElapsedTimer wall;
  QrThreadTimer cpu;
  EXPECT_EQ(10000000, cpu.GetTimerFrequency());
  QrMediaTimer timer(10.0);  // 100 ms per frame
  long late = timer.WaitForNextFrame(0);
  EXPECT_LE(late, 0);
  EXPECT_GT(late, -2000);
  EXPECT_EQ(2, timer.SkipFrame());
  EXPECT_GE(timer.ActualFrame(), 1);
  EXPECT_LT(cpu.MarkMS64(QrTimer::RESET), 100);
  int64_t waited = wall.MarkMS64(QrTimer::RESET);
  EXPECT_GE(waited, 90);
  EXPECT_LT(waited, 2000);
  QrMediaTimer paused(1.0, QrTimer::RESET_AND_PAUSE), rateless(0.0);
  EXPECT_EQ(1000, paused.WaitForNextFrame(0));
  EXPECT_EQ(2000, paused.TimeToNextFrame());
  EXPECT_LE(rateless.WaitForNextFrame(0), 0);
  rateless.OnReset();
  EXPECT_EQ(0, rateless.GetFrameNum());
  // A negative adjustment waits past the due time, in steps of a millisecond once it is near.
  QrMediaTimer fast(1000.0);
  EXPECT_LE(fast.WaitForNextFrame(-30), -30);
  while (wall.MarkMS64(QrTimer::NO_CHANGE) < 50) continue;  // work: reading the clock
  int64_t busy = cpu.GetTimerCount(QrTimer::NO_CHANGE);
  EXPECT_GT(busy, 0);
  EXPECT_LT(busy, 20 * 10000000LL);  // well under 20 s of processor time
}
