// A stopwatch of processor time: counts the CPU time (user and system) consumed by the
// thread that created the timer, in 100-nanosecond units, the way desktop thread times
// are reported. Useful to tell a busy thread from a waiting one; nothing in the plug-in
// relies on it. Not thread safe: one timer belongs to one thread at a time (reading it from
// another thread is fine but still reports the creating thread's time).
#ifndef RUNTIME_QRTHREADTIMER_H
#define RUNTIME_QRTHREADTIMER_H

#include <time.h>

#include "runtime/PlatformTypes.h"
#include "runtime/QrTimer.h"

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

class QrThreadTimer : public QrTimer {
 public:
  explicit QrThreadTimer(Mode mode = DEFAULT_MODE);
  ~QrThreadTimer() override = default;

  // CPU time of the creating thread in 100 ns units; -1 (logged) once it cannot be read,
  // for instance after that thread has ended.
  int64_t GetTimerValue() override;
  int64_t GetTimerFrequency() override { return 10000000; }

  // The two 32-bit halves (low, then high) as one 64-bit value; 0 for a null pointer.
  static int64_t FileTimeToInt64(const FILETIME* fileTime);

 private:
  clockid_t m_clock;
  bool m_haveClock;
};

#endif  // RUNTIME_QRTHREADTIMER_H
