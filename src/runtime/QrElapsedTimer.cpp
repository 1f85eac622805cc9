#include "runtime/QrElapsedTimer.h"

#include <time.h>

#include "logging/Log.h"

namespace {

const int64_t kNanosPerSecond = 1000000000;

// Resolution of the monotonic clock in nanoseconds, or -1 (logged) when unreadable.
int64_t ResolutionNanos() {
  struct timespec res;
  if (clock_getres(CLOCK_MONOTONIC, &res) != 0) {
    QR_LOG(LOGGER_LOG_ERROR, "clock_getres() failed\n");
    return -1;
  }
  int64_t nanos = static_cast<int64_t>(res.tv_sec) * kNanosPerSecond + res.tv_nsec;
  return nanos > 0 ? nanos : 1;
}

}  // namespace

int64_t QrElapsedTimer::GetTimerValue() {
  struct timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
    QR_LOG(LOGGER_LOG_ERROR, "clock_gettime() failed\n");
    return -1;
  }
  int64_t resolution = ResolutionNanos();
  if (resolution < 0) {
    return -1;
  }
  return (static_cast<int64_t>(now.tv_sec) * kNanosPerSecond + now.tv_nsec) / resolution;
}

int64_t QrElapsedTimer::GetTimerFrequency() {
  int64_t resolution = ResolutionNanos();
  if (resolution < 0) {
    return -1;
  }
  if (resolution >= kNanosPerSecond) {
    return 1;
  }
  return kNanosPerSecond / resolution;
}
