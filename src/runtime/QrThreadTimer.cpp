#include "runtime/QrThreadTimer.h"

#include <pthread.h>

#include "logging/Log.h"

QrThreadTimer::QrThreadTimer(Mode mode) : m_clock(CLOCK_THREAD_CPUTIME_ID) {
  // The calling thread's own CPU clock, fixed now so that later reads from any thread
  // still measure the creating thread.
  m_haveClock = pthread_getcpuclockid(pthread_self(), &m_clock) == 0;
  Init(mode);
}

int64_t QrThreadTimer::GetTimerValue() {
  struct timespec now;
  if (!m_haveClock || clock_gettime(m_clock, &now) != 0) {
    QR_LOG(LOGGER_LOG_ERROR, "clock_gettime() failed\n");
    return -1;
  }
  uint64_t units =
      static_cast<uint64_t>(now.tv_sec) * 10000000u + static_cast<uint64_t>(now.tv_nsec) / 100u;
  FILETIME fileTime;
  fileTime.dwLowDateTime = static_cast<DWORD>(units & 0xFFFFFFFFu);
  fileTime.dwHighDateTime = static_cast<DWORD>(units >> 32);
  return FileTimeToInt64(&fileTime);
}

int64_t QrThreadTimer::FileTimeToInt64(const FILETIME* fileTime) {
  if (fileTime == nullptr) {
    return 0;
  }
  uint64_t value = (static_cast<uint64_t>(fileTime->dwHighDateTime) << 32) |
                   static_cast<uint64_t>(fileTime->dwLowDateTime);
  return static_cast<int64_t>(value);
}
