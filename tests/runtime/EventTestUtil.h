// Helpers for the event and thread tests: observe an event's wait list and wait for a
// condition with a generous limit instead of sleeping for a fixed time.
#ifndef TESTS_RUNTIME_EVENTTESTUTIL_H
#define TESTS_RUNTIME_EVENTTESTUTIL_H

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "runtime/QrEvent.h"
#include "runtime/QrEventData.h"

namespace testutil {

// Number of waiters registered on the event (all copies share them).
inline size_t WaiterCount(const QrEvent& event) {
  QrEventData* data = reinterpret_cast<QrEventData*>(event.DebugID());
  std::lock_guard<std::mutex> lock(data->m_mutex);
  return data->m_waitList.size();
}

// Whether the event is signalled, read without waiting: a Wait(0) would consume the signal
// of an auto-reset event and so hide whether someone else did.
inline bool IsSignaled(const QrEvent& event) {
  QrEventData* data = reinterpret_cast<QrEventData*>(event.DebugID());
  QrMutex& flagLock = QrEventData::SignalFlagLock();
  flagLock.Acquire(INFINITE);
  bool signaled = data->m_signaled;
  flagLock.Release();
  return signaled;
}

// Polls until cond holds or msLimit passes; answers cond's last value.
inline bool WaitUntil(const std::function<bool()>& cond, int msLimit = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(msLimit);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) {
      return cond();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline long MsSince(std::chrono::steady_clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count());
}

}  // namespace testutil

#endif  // TESTS_RUNTIME_EVENTTESTUTIL_H
