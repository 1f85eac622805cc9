// The stopwatch used everywhere: a QrTimer over the monotonic clock, one tick per clock
// resolution step (a nanosecond on this platform). Unaffected by changes of the time of
// day. Not thread safe: one timer belongs to one thread at a time.
#ifndef RUNTIME_QRELAPSEDTIMER_H
#define RUNTIME_QRELAPSEDTIMER_H

#include "runtime/QrTimer.h"

class QrElapsedTimer : public QrTimer {
 public:
  explicit QrElapsedTimer(Mode mode = DEFAULT_MODE) { Init(mode); }
  ~QrElapsedTimer() override = default;

  int64_t GetTimerValue() override;
  int64_t GetTimerFrequency() override;
};

#endif  // RUNTIME_QRELAPSEDTIMER_H
