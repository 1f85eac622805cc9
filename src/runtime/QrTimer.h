// A pausable stopwatch: measures ticks since a start point; pausing freezes the
// measurement and resuming shifts the start by the length of the pause. Every read can
// change the mode in the same step (GetTimerCount(RESET) reads and restarts). Subclasses
// supply the clock; use QrElapsedTimer for wall-clock intervals.
// Not thread safe: one timer belongs to one thread at a time (callers lock around it).
#ifndef RUNTIME_QRTIMER_H
#define RUNTIME_QRTIMER_H

#include <cstdint>

class QrTimer {
 public:
  enum Mode {
    NO_CHANGE = 0,
    RESET = 1,
    RESUME = 2,
    PAUSE = 3,
    RESET_AND_RESUME = 4,
    RESET_AND_PAUSE = 5,
    DEFAULT_MODE = RESET_AND_RESUME
  };

  virtual ~QrTimer() = default;

  // Hooks for subclasses; the mode changes do not call them.
  virtual void OnReset() {}
  virtual void OnPause() {}
  virtual void OnResume() {}
  // Current clock ticks, or -1 (logged) when the clock cannot be read.
  virtual int64_t GetTimerValue() = 0;
  // Ticks per second, or -1 when the clock resolution cannot be read.
  virtual int64_t GetTimerFrequency() = 0;

  // Called once on a new timer: the start point becomes now, then `mode` applies.
  void Init(Mode mode);
  // Elapsed ticks (measured before newMode applies), or -1 with the timer unchanged.
  int64_t GetTimerCount(Mode newMode);
  double Mark(Mode newMode);
  int64_t MarkMS64(Mode newMode);
  int MarkMS(Mode newMode);
  bool IsPaused() const { return m_pauseTime != 0; }

 protected:
  QrTimer() = default;

  int64_t m_startTime = 0;
  int64_t m_pauseTime = 0;  // 0 while running
};

#endif  // RUNTIME_QRTIMER_H
