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
      {"pause freezes, resume shifts the start", 1000, T::DEFAULT_MODE,
       {{1100, T::PAUSE, 100, true}, {2100, T::NO_CHANGE, 100, true},
        {2100, T::RESUME, 100, false}, {2150, T::NO_CHANGE, 150, false}}},
      {"reset on a paused timer stays paused at zero", 1000, T::DEFAULT_MODE,
       {{1300, T::PAUSE, 300, true}, {1500, T::RESET, 300, true}, {9000, T::NO_CHANGE, 0, true},
        {9000, T::RESUME, 0, false}, {9010, T::NO_CHANGE, 10, false}}},
      {"redundant pause and resume change nothing", 1000, T::DEFAULT_MODE,
       {{1200, T::RESUME, 200, false}, {1250, T::PAUSE, 250, true}, {1400, T::PAUSE, 250, true},
        {1500, T::RESUME, 250, false}, {1600, T::NO_CHANGE, 350, false}}},
      {"reset modes restart from now", 0, T::DEFAULT_MODE,
       {{500, T::RESET_AND_PAUSE, 500, true}, {800, T::RESET_AND_RESUME, 0, false},
        {850, T::RESET, 50, false}, {870, T::RESET_AND_RESUME, 20, false},
        {900, T::NO_CHANGE, 30, false}}},
      // The clock starts above 0: a pause mark of 0 would mean "running".
      {"created paused", 100, T::RESET_AND_PAUSE,
       {{400, T::RESUME, 0, false}, {450, T::PAUSE, 50, true},
        {700, T::RESET_AND_PAUSE, 50, true}, {720, T::NO_CHANGE, 0, true}}},
      // A paused timer still answers, but a mode that needs the live clock leaves it as is.
      {"clock failure changes nothing", 1000, T::DEFAULT_MODE,
       {{-1, T::RESET_AND_PAUSE, -1, false}, {1040, T::PAUSE, 40, true},
        {-1, T::RESUME, 40, true}}},
      // clang-format on
  };
  for (const auto& scenario : scenarios) {
    FakeClockTimer t(scenario.start, scenario.initial);
    for (size_t i = 0; i < scenario.steps.size(); ++i) {
      const Step& step = scenario.steps[i];
      t.now = step.now;
      EXPECT_EQ(step.count, t.GetTimerCount(step.mode)) << scenario.name << ", step " << i;
      EXPECT_EQ(step.paused, t.IsPaused()) << scenario.name << ", step " << i;
    }
  }
}

TEST(QrTimerModes, MarkConvertsTicksToSecondsAndMilliseconds) {
  FakeClockTimer t(0);
  t.now = 2500000000LL;
  EXPECT_DOUBLE_EQ(2.5, t.Mark(QrTimer::NO_CHANGE));
  EXPECT_EQ(2500, t.MarkMS(QrTimer::RESET));
  EXPECT_EQ(0, t.MarkMS64(QrTimer::NO_CHANGE));
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

// The real clocks: wall time that can be frozen, processor time that sleep does not use,
// and media frames that wait for their time unless paused or rateless.
TEST(QrTimerClocks, WallTimeFreezesProcessorTimeCountsOnlyWorkAndFramesWait) {
  QrElapsedTimer wall;
  QrThreadTimer cpu;
  EXPECT_EQ(1000000000, wall.GetTimerFrequency());
  EXPECT_EQ(10000000, cpu.GetTimerFrequency());
  QrMediaTimer timer(10.0);  // 100 ms per frame
  long late = timer.WaitForNextFrame(0);
  EXPECT_LE(late, 0);
  EXPECT_GT(late, -2000);
  EXPECT_EQ(1, timer.GetFrameNum());
  EXPECT_EQ(2, timer.SkipFrame());
  EXPECT_GE(timer.ActualFrame(), 1);
  EXPECT_LT(cpu.MarkMS64(QrTimer::RESET), 100);
  int64_t atPause = wall.MarkMS64(QrTimer::PAUSE);
  EXPECT_GE(atPause, 90);
  EXPECT_LT(atPause, 2000);
  SleepMs(50);
  EXPECT_EQ(atPause, wall.MarkMS64(QrTimer::RESUME));
  double first = wall.Mark(QrTimer::RESET);
  EXPECT_LT(wall.Mark(QrTimer::NO_CHANGE), first);  // the reset restarted in the same step
  QrMediaTimer paused(1.0, QrTimer::RESET_AND_PAUSE), rateless(0.0);
  EXPECT_EQ(1000, paused.WaitForNextFrame(0));
  EXPECT_EQ(2000, paused.TimeToNextFrame());
  EXPECT_LE(rateless.WaitForNextFrame(0), 0);
  EXPECT_LT(wall.MarkMS64(QrTimer::NO_CHANGE), 500);  // neither slept
  rateless.OnReset();
  EXPECT_EQ(0, rateless.GetFrameNum());
  // A negative adjustment waits past the due time, in steps of a millisecond once it is near.
  QrMediaTimer fast(1000.0);
  EXPECT_LE(fast.WaitForNextFrame(-30), -30);
  volatile uint64_t sink = 0;
  while (wall.MarkMS64(QrTimer::NO_CHANGE) < 50) {
    for (int i = 0; i < 10000; ++i) sink = sink + static_cast<uint64_t>(i);
  }
  int64_t busy = cpu.GetTimerCount(QrTimer::NO_CHANGE);
  EXPECT_GT(busy, 0);
  EXPECT_LT(busy, 20 * 10000000LL);  // well under 20 s of processor time
}
